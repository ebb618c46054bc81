#include "DurableFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtDebug>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace DurableFile {

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

#ifdef Q_OS_UNIX

namespace {

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

} // namespace

Result replace(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());

    struct stat old;
    const bool hadFile = ::stat(target.constData(), &old) == 0;

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = target + '.' + QByteArray::number(QRandomGenerator::global()->generate() & 0xffffff, 36);
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
    if (hadFile)
        ::fchmod(fd, old.st_mode & 07777);
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
