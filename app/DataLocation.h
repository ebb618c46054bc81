#pragma once

#include <QString>

// Where the application keeps its workbooks and its settings file: beside the executable in a
// portable or build-folder copy, in the user's own folders in an installed copy, or in a folder
// named on the command line.
struct DataLocation
{
    QString workbookFolder;
    QString settingsFile;
    // The results store named with --store; empty: the one the settings name, else
    // "rfbench.sqlite" beside the workbooks.
    QString storeFile;
    bool perUser = false; // the user's documents and configuration folders
    // Why no workbook can be written to the workbook folder; empty when one can, or when the
    // folder was not checked.
    QString problem;

    // The rule, free of I/O: the folder given with --data-dir holds both, taken from the working
    // directory when it is relative; otherwise the application directory, when it is a writable
    // folder of its own; otherwise the user's documents folder (subfolder "rfbench") and
    // configuration folder.
    static DataLocation choose(const QString &dataDirOption, const QString &workingDir,
                               const QString &applicationDir, bool applicationDirIsOwnAndWritable,
                               const QString &documentsDir, const QString &configDir);
    // The words for a workbook folder that does not exist or holds no new file; empty when it
    // exists and one can be created in it.
    static QString folderProblem(const QString &folder, bool exists, bool fileCanBeCreated);
    // The rule applied to this process: the application directory counts as its own when it is
    // not the folder the package installs into and a file can be created in it. Creates the
    // chosen folders and checks that a workbook can be written to its folder.
    static DataLocation forThisProcess(const QString &dataDirOption);
    // The same choice for a command that only reads: it leaves no folder or file behind and checks
    // nothing.
    static DataLocation locate(const QString &dataDirOption);

    // The location the window uses; the application directory until one is set.
    static DataLocation current();
    static void setCurrent(const DataLocation &location);
};
