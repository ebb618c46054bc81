#pragma once

#include <QSet>
#include <QString>
#include <QtGlobal>

// The locks by which a run's writer says that it lives: one byte per run of a file beside the
// store, held by an open file of the writing process and released by the operating system when
// that process ends, however it ends. A process number would outlive its process (numbers are
// reused, and mean nothing after a reboot or on another machine); a lock cannot. The file is not
// the database: a descriptor of the database closed in this process would drop SQLite's locks.
class RunLocks
{
public:
    // For the lock file at path; nothing is opened until a lock is taken or asked about, and the
    // file is made when a lock is first taken.
    RunLocks(const QString &path, const QString &storePath);
    ~RunLocks();
    RunLocks(const RunLocks &) = delete;
    RunLocks &operator=(const RunLocks &) = delete;

    // Takes the run's lock; false when another writer holds it or it cannot be taken (why()).
    bool take(qint64 run);
    // Lets the run's lock go, when this object holds it.
    void release(qint64 run);
    // A run whose lock this object holds.
    bool holds(qint64 run) const { return own.contains(run); }
    // Some writer, this one included, holds the run's lock. When it cannot be asked, a run is
    // taken as living: a live run taken for dead would have its rows written twice.
    bool alive(qint64 run);
    // Why the last lock could not be taken or asked about.
    QString why() const { return reason; }

private:
    bool openFile(bool forLocking);

    const QString path;
    const QString storePath;
    int descriptor = -1;
    bool writable = false;
    QSet<qint64> own;
    QString reason;
};
