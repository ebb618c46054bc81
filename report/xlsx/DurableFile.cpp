#include "DurableFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtDebug>

#include <cerrno>
#include <climits>
#include <cstring>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace DurableFile {

namespace {

// A temporary file's name is the file's own, ".~" and this many random digits and lower-case
// letters: a shape that copies an operator makes by hand (".bak", ".1", ".old") never have.
const char temporaryMark[] = ".~";
const int temporaryRandomLength = 6;
const char temporaryAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";

} // namespace

Failure classify(int error)
{
    switch (error) {
    case 0:
        return Failure::None;
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return Failure::DiskFull;
    case EACCES:
    case EPERM:
#ifdef EROFS
    case EROFS:
#endif
        return Failure::NoPermission;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return Failure::FolderMissing;
    default:
        return Failure::Other;
    }
}

bool isTemporaryName(const QString &fileName, const QString &candidate)
{
    const QString head = fileName + QLatin1String(temporaryMark);
    if (candidate.size() != head.size() + temporaryRandomLength || !candidate.startsWith(head))
        return false;
    for (const QChar c : candidate.midRef(head.size())) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))))
            return false;
    }
    return true;
}

QString lockPath(const QString &path)
{
    // Shorter than a temporary file's random part, so never taken for one.
    return path + QLatin1String(".~lock");
}

#ifdef Q_OS_UNIX

namespace {

QByteArray temporarySuffix()
{
    QByteArray suffix(temporaryMark);
    for (int i = 0; i < temporaryRandomLength; ++i)
        suffix += temporaryAlphabet[QRandomGenerator::global()->bounded(int(sizeof temporaryAlphabet) - 1)];
    return suffix;
}

Result failed(int error, const char *step, const QString &path)
{
    Result result;
    result.failure = classify(error);
    if (result.failure == Failure::None)
        result.failure = Failure::Other;
    result.message = QString::fromLocal8Bit(std::strerror(error));
    qDebug() << "saving" << path << "failed at" << step << ":" << result.message;
    return result;
}

// Writes all of data, across short writes and interrupted calls; the errno of the failure, or 0.
int writeAll(int fd, const QByteArray &data)
{
    const char *at = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, at, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        at += written;
        left -= written;
    }
    return 0;
}

// The folder part of an absolute path.
QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash > 0 ? path.left(slash) : QByteArray("/");
}

// Follows path through symbolic links to the file they end at, which need not exist: the
// errno of a failure (ELOOP for a cycle), or 0.
int followLinks(QByteArray *path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat link;
        if (::lstat(path->constData(), &link) != 0 || !S_ISLNK(link.st_mode))
            return 0;
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path->constData(), target.data(), size_t(target.size()));
        if (length < 0)
            return errno;
        if (length >= target.size())
            return ENAMETOOLONG;
        target.truncate(int(length));
        *path = target.startsWith('/') ? target : folderOf(*path) + '/' + target;
    }
    return ELOOP;
}

// Why the existing file may not be replaced by this program, or 0. Root passes every access
// check, so a file without a write bit for anyone is refused by its mode: that is how a
// finished report is protected.
int refusal(const QByteArray &file, const struct stat &status)
{
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return EACCES;
    if (::faccessat(AT_FDCWD, file.constData(), W_OK, AT_EACCESS) != 0)
        return errno;
    return 0;
}

// Gives the new file the old one's owner and group where this program may: both when it runs
// as root, else the group alone when the user belongs to it (a lab's shared folder).
void takeOwnership(int fd, const struct stat &old, const QString &path)
{
    if (::geteuid() == 0) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            qDebug() << "the owner of" << path << "could not be kept:" << std::strerror(errno);
    } else if (old.st_gid != ::getegid()) {
        // Refused unless the user belongs to the group; the new file then keeps the group it
        // was made with.
        if (::fchown(fd, uid_t(-1), old.st_gid) != 0)
            qDebug() << "the group of" << path << "could not be kept:" << std::strerror(errno);
    }
}

// Removes the temporary files of earlier saves of target that were cut short; only regular
// files whose names follow the pattern exactly.
void removeTemporaries(const QByteArray &target)
{
    const QByteArray folder = folderOf(target);
    const QString fileName = QFile::decodeName(target.mid(target.lastIndexOf('/') + 1));
    DIR *entries = ::opendir(folder.constData());
    if (!entries)
        return;
    const int folderFd = ::dirfd(entries);
    while (const dirent *entry = ::readdir(entries)) {
        if (!isTemporaryName(fileName, QFile::decodeName(entry->d_name)))
            continue;
        struct stat status;
        if (::fstatat(folderFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)) {
            qDebug() << "removing" << entry->d_name << ", left by a save that was cut short";
            ::unlinkat(folderFd, entry->d_name, 0);
        }
    }
    ::closedir(entries);
}

} // namespace

Result replace(const QString &path, const QByteArray &bytes)
{
    QByteArray target = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    if (const int error = followLinks(&target))
        return failed(error, "following the link", path);
    const QByteArray folder = folderOf(target);

    struct stat old;
    const bool hadFile = ::stat(target.constData(), &old) == 0;
    if (hadFile) {
        if (const int error = refusal(target, old))
            return failed(error, "checking the permission of the file", path);
    }

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = target + temporarySuffix();
        // 0666 through the umask, as any new file; O_EXCL never reuses another writer's file.
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return failed(errno, "creating the temporary file", path);
    }
    if (fd < 0)
        return failed(EEXIST, "creating the temporary file", path);

    auto abandon = [&](int error, const char *step) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temporary.constData());
        return failed(error, step, path);
    };
    if (hadFile) {
        // The owner before the mode, which a change of owner may alter.
        takeOwnership(fd, old, path);
        ::fchmod(fd, old.st_mode & 0777);
    }
    if (const int error = writeAll(fd, bytes))
        return abandon(error, "writing");
    if (::fsync(fd) != 0)
        return abandon(errno, "syncing the file");
    const int closed = ::close(fd);
    fd = -1;
    // Network file systems may report a failed write only when the file is closed.
    if (closed != 0)
        return abandon(errno, "closing the file");
    if (::rename(temporary.constData(), target.constData()) != 0)
        return abandon(errno, "renaming");
    removeTemporaries(target);

    // The rename itself is durable only once the folder is synced. The new content is in place
    // whatever happens here, so a failure is reported on the debug output and not as a failed
    // save, which would append the same rows again.
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || (::fsync(dir) != 0 && errno != EINVAL))
        qDebug() << "the folder of" << path << "could not be synced:" << std::strerror(errno);
    if (dir >= 0)
        ::close(dir);
    return Result();
}

#else

Result replace(const QString &path, const QByteArray &bytes)
{
    // Unbuffered, so that every write's failure is seen by the write itself and by commit().
    QSaveFile file(path);
    Result result;
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(bytes) == bytes.size()
        && file.commit())
        return result;
    result.failure = Failure::Other;
    result.message = file.errorString();
    file.cancelWriting();
    qDebug() << "saving" << path << "failed:" << result.message;
    return result;
}

#endif

} // namespace DurableFile
