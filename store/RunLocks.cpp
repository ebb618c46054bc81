#include "RunLocks.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
// The lock of a run's byte, which is its id.
struct flock byteOf(qint64 run, short type)
{
    struct flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = run;
    lock.l_len = 1;
    return lock;
}
#endif

} // namespace

RunLocks::RunLocks(const QString &path, const QString &storePath) : path(path), storePath(storePath) {}

RunLocks::~RunLocks()
{
#ifdef Q_OS_UNIX
    if (descriptor >= 0)
        ::close(descriptor);
#endif
}

bool RunLocks::openFile(bool forLocking)
{
#ifdef Q_OS_UNIX
    if (descriptor >= 0 && (writable || !forLocking))
        return true;
    // A descriptor only asked through holds no lock: it may be closed for one that can lock.
    if (descriptor >= 0)
        ::close(descriptor);
    const QByteArray name = QFile::encodeName(path);
    descriptor = forLocking ? ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
    if (descriptor >= 0) {
        // Made with the store's mode, as SQLite makes its log: whoever may write the store may
        // lock its runs.
        struct stat store{};
        if (::stat(QFile::encodeName(storePath).constData(), &store) == 0)
            ::fchmod(descriptor, store.st_mode & 0666);
    } else {
        descriptor = ::open(name.constData(), O_RDWR | O_CLOEXEC);
    }
    writable = descriptor >= 0;
    if (descriptor < 0 && !forLocking)
        descriptor = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        reason = QStringLiteral("%1 cannot be opened: %2")
                     .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
#else
    reason = QStringLiteral("runs cannot be locked on this system");
    return false;
#endif
}

bool RunLocks::take(qint64 run)
{
    if (own.contains(run))
        return true;
#ifdef Q_OS_UNIX
    if (!openFile(true))
        return false;
    // An open file description's lock, not a process's: closing another descriptor of the same
    // file in this process (the database's own, a reader's) must not drop it.
    struct flock lock = byteOf(run, F_WRLCK);
    if (::fcntl(descriptor, F_OFD_SETLK, &lock) != 0) {
        reason = errno == EAGAIN || errno == EACCES
                     ? QStringLiteral("another program is writing run %1").arg(run)
                     : QStringLiteral("run %1 cannot be locked: %2").arg(run).arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    own.insert(run);
    return true;
#else
    return false;
#endif
}

void RunLocks::release(qint64 run)
{
    if (!own.remove(run))
        return;
#ifdef Q_OS_UNIX
    struct flock lock = byteOf(run, F_UNLCK);
    ::fcntl(descriptor, F_OFD_SETLK, &lock);
#endif
}

bool RunLocks::alive(qint64 run)
{
    if (own.contains(run))
        return true;
#ifdef Q_OS_UNIX
    // Without the file no run was ever locked: no writer of it lives.
    if (!QFile::exists(path))
        return false;
    if (!openFile(false))
        return true;
    struct flock lock = byteOf(run, F_WRLCK);
    if (::fcntl(descriptor, F_OFD_GETLK, &lock) != 0) {
        reason = QStringLiteral("the lock of run %1 cannot be asked about: %2")
                     .arg(run)
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return true;
    }
    return lock.l_type != F_UNLCK;
#else
    return true;
#endif
}
