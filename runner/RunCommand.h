#pragma once

#include <QString>

#include <functional>

// "rfbench run SETUP.json [--set key=value]... [--data-dir DIR] [--trace FILE] [--json]": reads
// the setup, runs it without a window or a display, and returns the exit code of the run.
namespace RunCommand {

// The workbook folder for a --data-dir option (empty: the default place), or an empty text with
// the reason in *error when the folder cannot be used.
using FolderChooser = std::function<QString(const QString &dataDirOption, QString *error)>;
// The station the window's settings name for a --data-dir option; empty: none.
using StationChooser = std::function<QString(const QString &dataDirOption)>;

// Called with the whole command line (argv[1] is "run"); makes its own QCoreApplication.
int main(int argc, char *argv[], const FolderChooser &chooseFolder, const StationChooser &namedStation = {});

} // namespace RunCommand
