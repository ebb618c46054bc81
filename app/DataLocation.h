#pragma once

#include <QString>

// Where the application keeps its workbooks and its settings file: beside the executable in a
// portable or build-folder copy, in the user's own folders in an installed copy, or in a folder
// named on the command line.
struct DataLocation
{
    QString workbookFolder;
    QString settingsFile;
    bool perUser = false; // the user's documents and configuration folders

    // The rule, free of I/O: the folder given with --data-dir holds both; otherwise the
    // application directory, when it is a writable folder of its own; otherwise the user's
    // documents folder (subfolder "rfbench") and configuration folder.
    static DataLocation choose(const QString &dataDirOption, const QString &applicationDir,
                               bool applicationDirIsOwnAndWritable, const QString &documentsDir,
                               const QString &configDir);
    // The rule applied to this process: the application directory counts as its own when it is
    // not the folder the package installs into and a file can be created in it. Creates the
    // chosen folders.
    static DataLocation forThisProcess(const QString &dataDirOption);

    // The location the window uses; the application directory until one is set.
    static DataLocation current();
    static void setCurrent(const DataLocation &location);
};
