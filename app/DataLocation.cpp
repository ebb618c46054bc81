#include "DataLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QtDebug>

#include <optional>

namespace {

std::optional<DataLocation> &chosen()
{
    static std::optional<DataLocation> location;
    return location;
}

DataLocation inFolder(const QString &folder)
{
    DataLocation location;
    location.workbookFolder = QDir::cleanPath(folder);
    location.settingsFile = QDir::toNativeSeparators(location.workbookFolder + QStringLiteral("/settings.ini"));
    return location;
}

bool canCreateFileIn(const QString &folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.rfbench-write-test-XXXXXX"));
    return probe.open();
}

} // namespace

DataLocation DataLocation::choose(const QString &dataDirOption, const QString &workingDir,
                                  const QString &applicationDir, bool applicationDirIsOwnAndWritable,
                                  const QString &documentsDir, const QString &configDir)
{
    // Absolute, so that what the window names and the workbooks written later do not depend
    // on the directory the program was started from.
    if (!dataDirOption.isEmpty())
        return inFolder(QDir(workingDir).absoluteFilePath(dataDirOption));
    if (applicationDirIsOwnAndWritable)
        return inFolder(applicationDir);
    DataLocation location;
    location.perUser = true;
    location.workbookFolder = QDir::cleanPath(documentsDir + QStringLiteral("/rfbench"));
    location.settingsFile = QDir::toNativeSeparators(QDir::cleanPath(configDir + QStringLiteral("/settings.ini")));
    return location;
}

QString DataLocation::folderProblem(const QString &folder, bool exists, bool fileCanBeCreated)
{
    const QString shown = QDir::toNativeSeparators(folder);
    if (!exists)
        return QStringLiteral("the folder %1 cannot be created").arg(shown);
    if (!fileCanBeCreated)
        return QStringLiteral("no file can be created in the folder %1").arg(shown);
    return QString();
}

DataLocation DataLocation::locate(const QString &dataDirOption)
{
    const QString applicationDir = QCoreApplication::applicationDirPath();
#ifdef RFBENCH_INSTALL_BINDIR
    // Root can write into the installed program's folder, but workbooks do not belong there.
    const bool installed = QFileInfo(applicationDir).canonicalFilePath()
                           == QFileInfo(QStringLiteral(RFBENCH_INSTALL_BINDIR)).canonicalFilePath();
#else
    const bool installed = false;
#endif
    const bool own = !installed && dataDirOption.isEmpty() && canCreateFileIn(applicationDir);
    return choose(dataDirOption, QDir::currentPath(), applicationDir, own,
                  QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
                  QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

DataLocation DataLocation::forThisProcess(const QString &dataDirOption)
{
    DataLocation location = locate(dataDirOption);
    const QString settingsFolder = QFileInfo(location.settingsFile).absolutePath();
    if (!QDir().mkpath(settingsFolder))
        qDebug() << "folder" << settingsFolder << "cannot be created";
    const bool exists = QDir().mkpath(location.workbookFolder);
    location.problem = folderProblem(location.workbookFolder, exists, exists && canCreateFileIn(location.workbookFolder));
    return location;
}

DataLocation DataLocation::current()
{
    if (chosen())
        return *chosen();
    return inFolder(QCoreApplication::applicationDirPath());
}

void DataLocation::setCurrent(const DataLocation &location)
{
    chosen() = location;
}
