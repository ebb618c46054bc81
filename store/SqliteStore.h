#pragma once

#include "ResultsStore.h"
#include "StoreFile.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QStringList>
#include <QVariantList>

#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>

class RunLocks;
class QSqlError;
class QSqlQuery;
class StoreCheck;

// The results store in an SQLite file, through Qt SQL's QSQLITE driver. Each instance has its own
// connection and is used from the thread that opened it: the worker's thread writes, the window
// and the "runs" commands open instances of their own to read.
class SqliteStore : public ResultsStore
{
public:
    enum class Mode { Write, Read };

    // Never null. Write: creates the store when there is none, upgrades an older layout, and sets
    // a file that is not a store (or a store found damaged) aside under a new name before
    // starting a new one, unless a setup file named the path: then that file is left as it is and
    // nothing is written; what it did is added to *announcements. Read: changes nothing; a file
    // it cannot read is named in problem(). A store it cannot use (a newer layout, a read-only or
    // full disk) writes nothing and says why in problem().
    static std::unique_ptr<SqliteStore> open(const QString &path, Mode mode, QStringList *announcements,
                                             StoreFile::NamedBy namedBy = StoreFile::NamedBy::User);
    // Why opening the path for writing would set aside what is there, or refuse it where a setup
    // file named it: "<path> is not a results store (why)". Empty for a store, for no file and for
    // an empty one (as another rfbench has it while it makes a store there).
    static QString refusal(const QString &path);
    // How long a file that a setup names may stay empty while another rfbench makes it a store.
    static constexpr int makingWaitMs = 2000;
    static constexpr int makingPollMs = 50;
    // Where a data folder keeps its store unless another is named: "rfbench.sqlite" in it.
    static QString defaultPath(const QString &dataFolder);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore &) = delete;
    SqliteStore &operator=(const SqliteStore &) = delete;

    QString path() const { return file; }

    // A write that fails sets it and the next that succeeds clears it; a read that fails sets it.
    QString problem() const override;
    QString cause() const override { return problemText; }
    QString takeNews() override;
    QString where() const override;
    bool knowsWorkbookRows() const override { return true; }
    // Made when the store is made; its rows carry it on a results server. Empty for a store that
    // had runs before stores had identities.
    QString identity() const { return identityText; }
    // The check of the whole file that opening for writing began, at most once a UTC day; null
    // when none was due. Its result is recorded in the store when the store is closed, and a store
    // found damaged is set aside when it is next opened for writing.
    StoreCheck *wholeFileCheck() const { return check.get(); }

    qint64 beginRun(const RunStart &run) override;
    qint64 addPoint(const StoredPoint &point) override;
    void addPass(qint64 run, int pass, double outputPower, const QDateTime &started) override;
    void addTrouble(qint64 run, const RunTrouble &trouble) override;
    bool placeRows(const QList<RowPlace> &places) override;
    void markInWorkbook(const QList<qint64> &points, const QString &workbook) override;
    void endRun(qint64 run, const QString &outcome, const QDateTime &ended) override;
    void setVerdict(qint64 run, const RunVerdict &verdict) override;
    bool reopenRun(qint64 run) override;
    bool flush() override;
    int waitingWrites() const override { return int(pending.size()); }
    qint64 storedId(qint64 written) const override { return resolve(written); }
    // Since when the writes wait (monotonic ms), 0 when none does.
    qint64 waitingSince() const { return waitStarted; }

    QList<StoredPoint> pointsNotInWorkbook() override;
    QList<RowPlace> placedBelow(const QString &path, int row) override;
    // Some writer, this one or another program, is writing the run now.
    bool runIsWritten(qint64 run);
    QList<RunSummary> runs(const RunFilter &filter) override;
    RunSummary run(qint64 id) override;
    QList<StoredPoint> points(qint64 run) override;
    QList<RunTrouble> troubles(qint64 run) override;
    QList<StoredPass> passes(qint64 run) override;
    QStringList stations() override;

    // The names of a row kind's values, in the order of StoredPoint::values; each is a column of
    // the points table. A point carries at most these.
    static QStringList valueNames(StoredPoint::Row row);

    // The writes made while it lives are one transaction, committed when it ends: for filling a
    // store fast. A kill before its end loses all of them.
    class Batch
    {
    public:
        explicit Batch(SqliteStore &store);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        SqliteStore &store;
    };

private:
    SqliteStore(const QString &path, Mode mode);

    // What open found at the path.
    struct Found
    {
        enum class Kind { Nothing, Store, NotAStore, Damaged, Unreadable } kind = Kind::Nothing;
        int version = 0;
        int checks = 0; // Store: its record of the checks of the whole file
        QString why;    // NotAStore, Damaged, Unreadable
    };
    // A file in the way of a store: set aside under a new name with the label, or refused.
    struct Obstacle
    {
        QString label; // empty: none
        QString what;  // "<path> is not a results store (why)"
    };

    void openForWriting(QStringList *announcements, StoreFile::NamedBy namedBy);
    Obstacle obstacle(Found *found);
    void openForReading();
    // uriQuery: SQLite's URI parameters for the file, e.g. "immutable=1"; none when empty.
    bool connect(bool readOnly, const char *uriQuery = nullptr);
    void disconnect();
    // Lets SQLite take away the empty log and its index that a reader made beside a store.
    void tidyAfterReading();
    Found inspect(bool forWriting);
    bool prepareForWriting();
    bool upgrade(QStringList *announcements);
    // Ends the check of the whole file and records what it found, with any damage this instance
    // met; a store that another program keeps locked goes without the record.
    void recordChecks();

    // A cached statement run with these values, or null when it failed (problem() says why);
    // the caller finishes it.
    QSqlQuery *exec(const char *sql, const QVariantList &values = {});
    // Ends a query whose rows were read; false, with problem() set, when an error cut them short.
    bool done(QSqlQuery &query);
    bool execOnce(const QString &sql);
    void failed(const QSqlError &error);
    // A write waiting to be made; false when it failed (problem() says why).
    using Write = std::function<bool()>;
    enum class Written { Made, Waits, Refused };
    // Queues the write behind those that wait and writes them all, unless a failed write is
    // tried again only later.
    Written write(qint64 run, Write body);
    // Queues a trouble of the run that says a write of it was refused.
    void noteRefused(qint64 run, const QString &why);
    // Writes what waits now; false while some of it waits still.
    bool writePending();
    // The store's id of an id that write returned, 0 while that write waits.
    qint64 resolve(qint64 id) const;
    // A new id for a write that waits.
    qint64 placeholder() { return --lastPlaceholder; }
    // Records as interrupted the runs still running whose writer has ended.
    bool interruptRuns();
    RunSummary summaryOf(QSqlQuery &query);
    QList<StoredPoint> pointsWhere(const char *sql, const char *peaksSql, const QVariantList &values);

    const QString file;
    const Mode mode;
    // Whether SQLite's log or its index lay beside the store when this instance came.
    const bool logsFound;
    const QString connectionName;
    QSqlDatabase database;
    std::unordered_map<const char *, std::unique_ptr<QSqlQuery>> statements;
    bool readable = false;
    QString identityText;
    bool readIdentity();
    bool writable = false;
    // Writes that failed are tried again with the next write once this expires, so that a store
    // held by another program does not hold up each point; monotonic, so that a clock set back
    // cannot keep the store shut.
    QDeadlineTimer retryAfter{0};
    static constexpr qint64 retryIntervalMs = 1000;
    // When the next write asks which running runs have lost their writer; monotonic.
    QDeadlineTimer interruptsDue{0};
    static constexpr qint64 interruptIntervalMs = 1000;
    std::unique_ptr<StoreCheck> check;
    bool damageMet = false; // SQLite found damage in the store while this instance wrote it
    bool inBatch = false;
    QString problemText;
    // The writes not yet made, oldest first, each with its number in the order queued.
    struct Queued
    {
        std::size_t number;
        qint64 run; // whose write it is, 0: of none
        Write body;
    };
    std::deque<Queued> pending;
    qint64 waitStarted = 0;
    QString news;
    // The ids of writes that waited, by the placeholder they were given; those of a pending
    // flush until it commits.
    QHash<qint64, qint64> resolved;
    QHash<qint64, qint64> fresh;
    QList<qint64> freshLocks; // runs locked by the flush in progress
    // Runs ended by this writer whose locks it holds while rows of them wait for a workbook; those
    // ended by the flush in progress.
    QSet<qint64> endedRuns;
    QList<qint64> freshEnded;
    void releaseEnded();
    // Writes are numbered as queued; those of the last flush that the store refused.
    std::size_t queued = 0;
    QSet<std::size_t> refused;
    int lastCode = 0; // of the last error
    int layout = 0;           // the store's layout version, as opened
    qint64 lastPlaceholder = 0;
    std::unique_ptr<RunLocks> locks;
    QString dataFolderOf(qint64 run);
};
