#pragma once

#include "ServerAddress.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <algorithm>
#include <iterator>
#include <memory>

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
    // have (all of them before it was ever reached).
    qint64 waiting() const { return waitingPoints; }
    qint64 pointsSent() const { return sent; }
    // Where the upload stands, in words: the notice of the state the last round found.
    QString describe() const;

public slots:
    // Rounds every intervalMs in this object's thread, until stop() or its end.
    void start();
    void stop();
    // Closes both connections; call it in the thread that used them.
    void close();

signals:
    // For the status bar or standard error: "results server unreachable: 120 points waiting to
    // upload", then "results server: every point is up".
    void notice(const QString &text);

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
    // False, Refused, when the store went up under another station name.
    bool checkStation();
    bool serverMaxima(Maxima *maxima);
    bool readLocal(const Maxima &maxima, Snapshot *snapshot);
    // False with *localError set when the local store failed; when the server did, it is dropped.
    bool changedOutcomes(Snapshot *snapshot, QString *localError);
    bool readIdentity();
    // readWith: what the server had when the snapshot was read.
    bool send(const Snapshot &snapshot, const Maxima &readWith);
    qint64 countWaiting();
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
    qint64 knownOnServer = 0; // the highest local point id the server was seen to have
    qint64 waitingPoints = -1;
    qint64 sent = 0;
    QTimer *timer = nullptr;
    QElapsedTimer lastNotice;
    QString lastNoticeText;
    State noticed = State::Unknown;
};

// A ServerUpload in a thread of its own, for the front ends: the measurement never waits for it.
class ServerUploadThread : public QObject
{
    Q_OBJECT

public:
    explicit ServerUploadThread(const ServerUpload::Options &options, QObject *parent = nullptr);
    ~ServerUploadThread() override;

    // A last round, waited for at most timeoutMs: true when the server then has every point;
    // *waiting: the points it lacks (-1: the round did not end in time); *text: the state in words;
    // *state: where the server stood (Unknown: the round did not end in time).
    bool finish(int timeoutMs, qint64 *waiting = nullptr, QString *text = nullptr,
                ServerUpload::State *state = nullptr);

signals:
    void notice(const QString &text);

private:
    QThread *thread;
    ServerUpload *upload;
};
