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

DataLocation DataLocation::choose(const QString &dataDirOption, const QString &applicationDir,
                                  bool applicationDirIsOwnAndWritable, const QString &documentsDir,
                                  const QString &configDir)
{
    if (!dataDirOption.isEmpty())
        return inFolder(dataDirOption);
    if (applicationDirIsOwnAndWritable)
        return inFolder(applicationDir);
    DataLocation location;
    location.perUser = true;
    location.workbookFolder = QDir::cleanPath(documentsDir + QStringLiteral("/rfbench"));
    location.settingsFile = QDir::toNativeSeparators(QDir::cleanPath(configDir + QStringLiteral("/settings.ini")));
    return location;
}

DataLocation DataLocation::forThisProcess(const QString &dataDirOption)
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
    DataLocation location = choose(dataDirOption, applicationDir, own,
                                   QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
                                   QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    for (const QString &folder : {location.workbookFolder, QFileInfo(location.settingsFile).absolutePath()})
        if (!QDir().mkpath(folder))
            qDebug() << "folder" << folder << "cannot be created";
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
