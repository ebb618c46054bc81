#include "StoreFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryFile>

namespace StoreFile {

bool hasSqliteHeader(const QByteArray &start)
{
    static const char header[] = "SQLite format 3"; // 16 bytes with its NUL
    return start.size() >= int(sizeof header) && start.startsWith(QByteArray(header, sizeof header));
}

QStringList companionSuffixes()
{
    return {QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")};
}

QString setAside(const QString &path, const QString &label, const QDateTime &now, QString *error)
{
    const QString stem =
        path + QLatin1Char('.') + label + QLatin1Char('-') + now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QStringList suffixes = QStringList{QString()} + companionSuffixes();
    auto taken = [&suffixes](const QString &name) {
        for (const QString &suffix : suffixes)
            if (QFileInfo::exists(name + suffix))
                return true;
        return false;
    };
    QString target = stem;
    for (int n = 2; taken(target); ++n)
        target = stem + QLatin1Char('-') + QString::number(n);

    // The main file first: when it cannot move, nothing has.
    QStringList moved;
    for (const QString &suffix : suffixes) {
        QFile file(path + suffix);
        if (!file.exists())
            continue;
        if (!file.rename(target + suffix)) {
            *error = file.errorString();
            // A database parted from its journal or log reads wrong: the moved ones go back.
            for (const QString &back : moved)
                QFile::rename(target + back, path + back);
            return QString();
        }
        moved << suffix;
    }
    if (moved.isEmpty()) {
        *error = QStringLiteral("there is no file to set aside");
        return QString();
    }
    return target;
}

QString whyNotWritable(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("the folder %1 does not exist").arg(QDir::toNativeSeparators(folder));
    if (info.exists()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite))
            return QStringLiteral("read-only: the file cannot be written (%1)").arg(file.errorString());
    }
    // SQLite gives its log and index the mode of the database when it makes them: made while the
    // database was read-only, they stay so when it is writable again.
    for (const QString &suffix : companionSuffixes()) {
        QFile companion(path + suffix);
        if (companion.exists() && !companion.open(QIODevice::ReadWrite))
            return QStringLiteral("read-only: %1 cannot be written (%2)")
                .arg(QDir::toNativeSeparators(companion.fileName()), companion.errorString());
    }
    // SQLite makes its log and index files beside the database.
    QTemporaryFile probe(folder + QStringLiteral("/.rfbench-store-probe-XXXXXX"));
    if (!probe.open()) {
        if (QStorageInfo(folder).bytesAvailable() == 0)
            return QStringLiteral("disk full");
        return QStringLiteral("read-only: the folder %1 cannot be written (%2)")
            .arg(QDir::toNativeSeparators(folder), probe.errorString());
    }
    // Past the end of the largest file of the store: a store that cannot grow to there cannot
    // take the write that failed, whether the disk is full or a size limit or quota stops it.
    qint64 end = info.size();
    for (const QString &suffix : companionSuffixes())
        end = qMax(end, QFileInfo(path + suffix).size());
    if (!probe.seek(end + (qint64(1) << 20)) || probe.write("", 1) != 1 || !probe.flush())
        return QStringLiteral("disk full");
    return QString();
}

} // namespace StoreFile
