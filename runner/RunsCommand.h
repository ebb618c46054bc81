#pragma once

#include "RunCommand.h"

#include <QCommandLineOption>

class QCommandLineParser;

// "rfbench runs": the runs of the results store, listed, one shown, its points exported to a CSV
// file or its setup printed; reads the store and changes nothing.
//   rfbench runs [--json] [--since DATE] [--match TEXT] [--limit N]
//   rfbench runs show ID [--json]
//   rfbench runs export ID --csv FILE
//   rfbench runs setup ID
// each with [--data-dir DIR] [--store FILE].
namespace RunsCommand {

using FolderChooser = RunCommand::FolderChooser;

// The exit codes of the commands that read the store, "rfbench runs" and "rfbench report".
enum Exit { Done = 0, CannotRead = 1, WrongCommand = 2 };

// The options that name the store those commands read: --data-dir and --store.
struct StoreOptions
{
    StoreOptions();
    QCommandLineOption dataDir;
    QCommandLineOption store;
};

// The store a command reads: --store's file or server address, else the data folder's store;
// empty with what is wrong.
QString storeAddress(const QCommandLineParser &parser, const StoreOptions &options, const FolderChooser &chooseFolder,
                     QString *wrong);

// Called with the whole command line (argv[1] is "runs"); makes its own QCoreApplication.
// Returns 0, 1 when the store or the CSV file cannot be used, 2 for a wrong command line or a
// run the store does not have.
int main(int argc, char *argv[], const FolderChooser &chooseFolder);

} // namespace RunsCommand
