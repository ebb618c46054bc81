#pragma once

#include "RunCommand.h"

// "rfbench runs": the runs of the results store, listed, one shown, its points exported to a CSV
// file or its setup printed; reads the store and changes nothing.
//   rfbench runs [--json] [--since DATE] [--match TEXT] [--limit N]
//   rfbench runs show ID [--json]
//   rfbench runs export ID --csv FILE
//   rfbench runs setup ID
// each with [--data-dir DIR] [--store FILE].
namespace RunsCommand {

using FolderChooser = RunCommand::FolderChooser;

// The store a command reads: --store's file or server address, else the data folder's store;
// empty with what is wrong.
QString storeAddress(const QString &store, const QString &dataDir, const FolderChooser &chooseFolder, QString *wrong);

// Called with the whole command line (argv[1] is "runs"); makes its own QCoreApplication.
// Returns 0, 1 when the store or the CSV file cannot be used, 2 for a wrong command line or a
// run the store does not have.
int main(int argc, char *argv[], const FolderChooser &chooseFolder);

} // namespace RunsCommand
