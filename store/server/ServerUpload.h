#pragma once

#include "ServerAddress.h"
#include "ServerConnection.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>

class QEventLoop;
class QSqlError;
class QSqlQuery;
class QThread;
class QTimer;

// Sends what the local SQLite results store holds and the shared server lacks, off the
// measurement's path: the server's rows are keyed by (station, store identity, local id), so each
// round asks the server how far it got and sends what follows in id order, one server transaction
// per batch.
class ServerUpload : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        ServerAddress server;
        QString localPath;      // the local SQLite store the worker writes
        QString station;        // the name this station's rows carry on the server
        int batchPoints = 500;  // points per server transaction
        int intervalMs = 1000;  // between rounds, with start()
        // A statement the server has not ended in this time, or that waited this long for a lock
        // another session holds, is cancelled, and the round ends with the points waiting.
        ServerConnection::Timeouts timeouts{30000, 10000};
    };

    // Where the server stands, as the last round found it.
    enum class State { Unknown, Up, Unreachable, LoginRefused, Refused, LocalUnreadable, Busy };

    explicit ServerUpload(const Options &options, QObject *parent = nullptr);
    ~ServerUpload() override;
    ServerUpload(const ServerUpload &) = delete;
    ServerUpload &operator=(const ServerUpload &) = delete;

    // One round in the calling thread, which must be the same at every call: batch after batch
    // until the server has every point of the local store. False when it was cut short; problem()
    // says why and waiting() how many points the server still lacks.
    bool uploadNow();

    State state() const { return current; }
    QString problem() const { return problemText; }
    // Points of the local store the server lacks; counted from the last id the server was seen to
    // have, by this upload or, for a store it has not reached the server with, by the one before
    // (knownPath); all of them when the server was never seen to have any.
    qint64 waiting() const { return waitingPoints; }
    qint64 pointsSent() const { return sent; }
    // Where the upload stands, in words: the notice of the state the last round found.
    QString describe() const;
    // Beside the store: the last point id of it the server was seen to have, and by whom.
    static QString knownPath(const QString &localPath) { return localPath + QStringLiteral("-uploaded"); }

    // From any thread: the front end went on without this upload, and the process may be ending.
    // A round stuck on a silent server, when it wakes, ends at its next step, says nothing and
    // leaves its connections as they are.
    void leave() { left = true; }
    bool wasLeft() const { return left; }

public slots:
    // Rounds every intervalMs in this object's thread, until stop() or its end.
    void start();
    void stop();
    // Closes both connections; call it in the thread that used them.
    void close();

signals:
    // For the status bar or standard error: "results server unreachable: 120 points waiting to
    // upload", then "results server: every point is up" once the server has every point after it
    // was away, or behind with points from before this upload began.
    void notice(const QString &text);
    // A round of finish() ended.
    void roundEnded();

private:
    struct Snapshot;
    struct Maxima
    {
        qint64 runs = 0, passes = 0, points = 0, troubles = 0, workbooks = 0;
        // What the newest run, pass, point, trouble and workbook row holds: a run's start, a
        // point's time and run, and so on; empty: none.
        QString marks[5];

        bool operator==(const Maxima &other) const
        {
            return runs == other.runs && passes == other.passes && points == other.points
                && troubles == other.troubles && workbooks == other.workbooks
                && std::equal(std::begin(marks), std::end(marks), std::begin(other.marks));
        }
    };

    bool openLocal();
    bool openServer();
    bool prepareLayout();
    void dropServer(const QString &why);
    // A failed statement: a lock that stayed taken leaves the server Busy, anything else Unreachable.
    void dropServer(const QSqlError &error);
    // False, Refused, when the store went up under another station name.
    bool checkStation();
    bool serverMaxima(Maxima *maxima);
    bool readLocal(const Maxima &maxima, Snapshot *snapshot);
    // False with *localError set when the local store failed; when the server did, it is dropped.
    bool changedOutcomes(Snapshot *snapshot, QString *localError);
    bool readIdentity();
    // readWith: what the server had when the snapshot was read.
    bool send(const Snapshot &snapshot, const Maxima &readWith);
    // The server has the store's points up to id: kept for the count, and beside the store.
    void learn(qint64 id);
    // Whose knowledge knownPath holds: this store, station and server.
    // What an upload writes beside the store: its key line and the last point id.
    static bool isKnownFile(const QByteArray &content);
    QString knownKey() const;
    qint64 countWaiting();
    qint64 lastLocalPoint();
    void report(State state);
    std::unique_ptr<QSqlQuery> serverQuery(const char *sql);

    const Options options;
    const QString localName;
    const QString serverName;
    QSqlDatabase local;
    QSqlDatabase server;
    bool serverReady = false;
    QString identity; // the local store's
    bool serverMoved = false; // another uploader sent while a batch was read: the round begins again
    State current = State::Unknown;
    QString problemText;
    qint64 knownOnServer = -1; // the highest local point id the server was seen to have; -1: unknown
    QString knownOf;           // the identity of the store knownOnServer is of
    qint64 kept = -1;          // what knownPath holds, as this upload last read or wrote it
    qint64 backlog = -1;       // the store's last point id when this upload began; 0 once the server had it
    bool behind = false;       // the server lacked points from before this upload began
    qint64 waitingPoints = -1;
    qint64 sent = 0;
    QTimer *timer = nullptr;
    QElapsedTimer lastNotice;
    QString lastNoticeText;
    State noticed = State::Unknown;
    std::atomic<bool> left{false};
};

// A ServerUpload in a thread of its own, for the front ends: the measurement never waits for it,
// and neither does the end of the program for longer than a bound.
class ServerUploadThread : public QObject
{
    Q_OBJECT

public:
    explicit ServerUploadThread(const ServerUpload::Options &options, QObject *parent = nullptr);
    // Ends the upload as end(endWaitMs) does.
    ~ServerUploadThread() override;

    // How long ending waits for a round under way: its statements end in this time unless the
    // server stopped answering.
    static constexpr int endWaitMs = 3000;

    // A last round, waited for at most timeoutMs or until stopWaiting(), with the events of the
    // calling thread going on: true when the server then has every point; *waiting: the points
    // it lacks (-1: the round did not end); *text: the state in words, or why the wait ended
    // first; *state: where the server stood (Unknown: the round did not end).
    bool finish(int timeoutMs, qint64 *waiting = nullptr, QString *text = nullptr,
                ServerUpload::State *state = nullptr);
    // Stops the upload and its thread, waiting at most timeoutMs. False when a round stuck on a
    // server that stopped answering had to be left: a thread cannot be ended from outside, so it
    // is left running to the process's end, doing nothing more (ServerUpload::leave).
    bool end(int timeoutMs);

public slots:
    // A finish() under way returns now, as if its time were up.
    void stopWaiting();

signals:
    void notice(const QString &text);

private:
    QThread *thread;
    ServerUpload *upload;
    QEventLoop *finishing = nullptr; // the wait of finish(), while it waits
    bool waitStopped = false;        // stopWaiting() ended it
};
