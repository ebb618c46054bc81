#include "StoreFile.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QPair>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace StoreFile {

bool hasSqliteHeader(const QByteArray &start)
{
    static const char header[] = "SQLite format 3"; // 16 bytes with its NUL
    return start.size() >= int(sizeof header) && start.startsWith(QByteArray(header, sizeof header));
}

QStringList companionSuffixes()
{
    return {QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal"), QStringLiteral("-runs")};
}

QString runLocksPath(const QString &path)
{
    return path + QStringLiteral("-runs");
}

bool readStart(const QString &path, int bytes, QByteArray *start, QString *why)
{
    start->clear();
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct stat status{};
    if (::stat(name.constData(), &status) != 0)
        return errno == ENOENT || (*why = QString::fromLocal8Bit(std::strerror(errno)), false);
    // The process's own table, as SQLite keeps one of the files it has open.
    static QMutex guard;
    static QHash<QPair<quint64, quint64>, int> open;
    QMutexLocker locked(&guard);
    const QPair<quint64, quint64> key(quint64(status.st_dev), quint64(status.st_ino));
    int descriptor = open.value(key, -1);
    if (descriptor < 0) {
        descriptor = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        open.insert(key, descriptor);
    }
    start->resize(bytes);
    const ssize_t read = ::pread(descriptor, start->data(), size_t(bytes), 0);
    if (read < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        start->clear();
        return false;
    }
    start->resize(int(read));
    return true;
#else
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    *start = file.read(bytes);
    return true;
#endif
}

QString whyFileNotWritable(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    // As the process is now, its effective user: what SQLite meets when it opens the file.
    if (::access(name.constData(), F_OK) != 0 || ::faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) == 0)
        return QString();
    return QString::fromLocal8Bit(std::strerror(errno));
#else
    const QFileInfo info(path);
    return !info.exists() || info.isWritable() ? QString() : QStringLiteral("Permission denied");
#endif
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
    // Asked without opening them: closing a descriptor would drop the locks SQLite holds.
    if (const QString why = whyFileNotWritable(path); !why.isEmpty())
        return QStringLiteral("read-only: the file cannot be written (%1)").arg(why);
    // SQLite gives its log and index the mode of the database when it makes them: made while the
    // database was read-only, they stay so when it is writable again.
    for (const QString &suffix : companionSuffixes()) {
        if (const QString why = whyFileNotWritable(path + suffix); !why.isEmpty())
            return QStringLiteral("read-only: %1 cannot be written (%2)")
                .arg(QDir::toNativeSeparators(path + suffix), why);
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
