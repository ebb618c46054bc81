#pragma once

#include "RunCommand.h"

// "rfbench report": the test report of runs of the results store, as a PDF or an HTML file or
// both, made without a display.
//   rfbench report ID [ID ...] [--pdf FILE] [--html FILE] [--data-dir DIR] [--store FILE]
namespace ReportCommand {

// Called with the whole command line (argv[1] is "report"); makes its own QApplication on the
// offscreen platform. Returns 0, 1 when the store or a report file cannot be read or written, 2
// for a wrong command line, a run the store does not have or a file there that is not a report.
int main(int argc, char *argv[], const RunCommand::FolderChooser &chooseFolder);

} // namespace ReportCommand
