#include "ServerUpload.h"

#include "Counted.h"
#include "StoredRows.h"
#include "ServerConnection.h"
#include "ServerSchema.h"
#include "StoreSchema.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QVariantList>
#include <QtDebug>

#include <atomic>
#include <memory>
#include <utility>

namespace {

// Local rows, in the order of the server statements' values after the station. A store of a layout
// before judgements or corrections (one the worker has not opened since, or a copy) sends them empty.
#define LOCAL_POINTS(judgement)                                                                          \
    "SELECT id, run, pass, number, measured_at, row_kind, workbook, point_index, " STORED_POINT_VALUES  \
    ", " judgement " FROM points WHERE id > ? ORDER BY id LIMIT ?"
const char localPoints[] = LOCAL_POINTS(STORED_POINT_JUDGEMENT ", correction");
const char localUncorrectedPoints[] = LOCAL_POINTS(STORED_POINT_JUDGEMENT ", NULL");
const char localUnjudgedPoints[] = LOCAL_POINTS("NULL, NULL, NULL, NULL, NULL, NULL");
#define LOCAL_PEAKS(correction)                                                                          \
    "SELECT point, number, frequency, level, " correction " FROM peaks WHERE point > ? AND point <= ?"    \
    " ORDER BY point, number"
const char localPeaks[] = LOCAL_PEAKS("correction");
const char localUncorrectedPeaks[] = LOCAL_PEAKS("NULL");
// The correction tables of the runs sent, once each, with their runs.
const char localTables[] = "SELECT run, path, source, text, sha256, due, interpolation, beyond FROM run_tables"
                           " WHERE run > ? ORDER BY rowid";
#define RUN_VERDICT "verdict, failed_points, marginal_points, unread_points"
#define NO_RUN_VERDICT "'', 0, 0, 0"
#define LOCAL_RUNS(unit, verdict)                                                                        \
    "SELECT id, user, version, started, ended, measurement, outcome, setup, instruments, identities, note," \
    " writer, " unit ", " verdict " FROM runs WHERE id > ? ORDER BY id"
const char localRuns[] = LOCAL_RUNS("unit, operator", RUN_VERDICT);
const char localUnjudgedRuns[] = LOCAL_RUNS("'', ''", NO_RUN_VERDICT);
const int runEndedColumn = 4, runOutcomeColumn = 6; // of localRuns
const char localPasses[] = "SELECT rowid, run, pass, output_power, started FROM passes WHERE rowid > ? ORDER BY rowid";
const char localTroubles[] = "SELECT id, run, at, instrument, text FROM troubles WHERE id > ? ORDER BY id";
const char localWorkbooks[] = "SELECT rowid, run, workbook FROM run_workbooks WHERE rowid > ? ORDER BY rowid";
// A run's outcome and verdict as they stand.
const char localOutcomes[] = "SELECT id, outcome, ended, " RUN_VERDICT " FROM runs";
const char localUnjudgedOutcomes[] = "SELECT id, outcome, ended, " NO_RUN_VERDICT " FROM runs";
const char localLayout[] = "SELECT max(version) FROM schema_version";
const char localLast[] = "SELECT (SELECT coalesce(max(id), 0) FROM runs), (SELECT coalesce(max(id), 0) FROM points)";
const char localWaiting[] = "SELECT count(*) FROM points WHERE id > ?";
const char localLastPoint[] = "SELECT coalesce(max(id), 0) FROM points";
// The newest row of each table the server has of the store, told by what was recorded in it, in
// the order of Maxima's ids: runs, passes, points, troubles, workbooks. The same for a local row.
const char *const localMarks[] = {
    "SELECT started FROM runs WHERE id = ?",
    "SELECT run || '|' || pass FROM passes WHERE rowid = ?",
    "SELECT coalesce(measured_at, '') || '|' || run FROM points WHERE id = ?",
    "SELECT coalesce(at, '') || '|' || run || '|' || text FROM troubles WHERE id = ?",
    "SELECT run || '|' || workbook FROM run_workbooks WHERE rowid = ?",
};

// Each of them for this station's store.
const char serverMaxima[] =
    "SELECT (SELECT coalesce(max(local_id), 0) FROM runs WHERE station = ? AND store = ?),"
    " (SELECT coalesce(max(local_id), 0) FROM passes WHERE station = ? AND store = ?),"
    " (SELECT coalesce(max(local_id), 0) FROM points WHERE station = ? AND store = ?),"
    " (SELECT coalesce(max(local_id), 0) FROM troubles WHERE station = ? AND store = ?),"
    " (SELECT coalesce(max(local_id), 0) FROM run_workbooks WHERE station = ? AND store = ?),"
    " (SELECT " UTC_TEXT("started") " FROM runs WHERE station = ? AND store = ? ORDER BY local_id DESC LIMIT 1),"
    " (SELECT run || '|' || pass FROM passes WHERE station = ? AND store = ? ORDER BY local_id DESC LIMIT 1),"
    " (SELECT coalesce(" UTC_TEXT("measured_at") ", '') || '|' || run FROM points WHERE station = ? AND store = ?"
    "  ORDER BY local_id DESC LIMIT 1),"
    " (SELECT coalesce(" UTC_TEXT("at") ", '') || '|' || run || '|' || text FROM troubles"
    "  WHERE station = ? AND store = ? ORDER BY local_id DESC LIMIT 1),"
    " (SELECT run || '|' || workbook FROM run_workbooks WHERE station = ? AND store = ?"
    "  ORDER BY local_id DESC LIMIT 1)";
// The station a store first went up under.
const char storeStation[] = "SELECT station FROM runs WHERE store = ? ORDER BY id LIMIT 1";
// Whether this login may write as the station: the server's row-level security refuses its rows
// otherwise, and the refusal is better said before a batch than by it.
const char loginMayWrite[] = "SELECT may_write_as(session_user, ?), session_user";
// Taken in each batch's transaction: two uploaders of one store (under two names, or a copy) send
// one after the other, each checking under it what the other sent. An uploader that died with it
// held keeps it until the server notices; a batch waits for it a few seconds, then a round later.
const char lockWait[] = "SELECT set_config('lock_timeout', '5s', true)";
// Only the store's lock is waited for so briefly: the batch's inserts wait as long as the
// connection lets any statement wait for a lock.
const char lockWaitEnd[] = "SELECT set_config('lock_timeout', reset_val, true) FROM pg_settings WHERE name = 'lock_timeout'";
const char storeLock[] = "SELECT pg_advisory_xact_lock(1380336211, hashtext(?))";
const char serverOutcomes[] =
    "SELECT r.local_id, coalesce(o.outcome, r.outcome),"
    " " UTC_TEXT("CASE WHEN o.number IS NULL THEN r.ended ELSE o.ended END") ", coalesce(o.number, 0),"
    " CASE WHEN o.verdict IS NULL THEN r.verdict ELSE o.verdict END,"
    " CASE WHEN o.verdict IS NULL THEN r.failed_points ELSE o.failed_points END,"
    " CASE WHEN o.verdict IS NULL THEN r.marginal_points ELSE o.marginal_points END,"
    " CASE WHEN o.verdict IS NULL THEN r.unread_points ELSE o.unread_points END"
    " FROM runs r LEFT JOIN LATERAL (SELECT number, outcome, ended, " RUN_VERDICT " FROM run_outcomes x"
    "  WHERE x.station = r.station AND x.store = r.store AND x.run = r.local_id ORDER BY number DESC LIMIT 1) o"
    " ON true WHERE r.station = ? AND r.store = ?";
// ON CONFLICT DO NOTHING: a batch whose commit reached the server but whose answer did not is
// sent again by the next round, and finds its rows there.
const char insertRun[] =
    "INSERT INTO runs (station, store, local_id, \"user\", version, started, ended, measurement, outcome, setup,"
    " instruments, identities, note, writer, unit, operator, " RUN_VERDICT ") VALUES (?, ?, ?, ?, ?,"
    " CAST(? AS timestamptz), CAST(? AS timestamptz), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING";
const char insertPass[] = "INSERT INTO passes (station, store, local_id, run, pass, output_power, started)"
                          " VALUES (?, ?, ?, ?, ?, ?, CAST(? AS timestamptz)) ON CONFLICT DO NOTHING";
const char insertPoint[] =
    "INSERT INTO points (station, store, local_id, run, pass, number, measured_at, row_kind, workbook, point_index,"
    " " STORED_POINT_VALUES ", " STORED_POINT_JUDGEMENT ", correction) VALUES (?, ?, ?, ?, ?, ?,"
    " CAST(? AS timestamptz), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING";
const char insertPeak[] = "INSERT INTO peaks (station, store, point, number, frequency, level, correction)"
                          " VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING";
const char insertTable[] = "INSERT INTO run_tables (station, store, run, path, source, text, sha256, due, interpolation,"
                           " beyond) VALUES (?, ?, ?, ?, ?, ?, ?, CAST(? AS date), ?, ?) ON CONFLICT DO NOTHING";
const char insertTrouble[] = "INSERT INTO troubles (station, store, local_id, run, at, instrument, text)"
                             " VALUES (?, ?, ?, ?, CAST(? AS timestamptz), ?, ?) ON CONFLICT DO NOTHING";
const char insertWorkbook[] = "INSERT INTO run_workbooks (station, store, local_id, run, workbook)"
                              " VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING";
const char insertOutcome[] = "INSERT INTO run_outcomes (station, store, run, number, outcome, ended, " RUN_VERDICT ")"
                             " VALUES (?, ?, ?, ?, ?, CAST(? AS timestamptz), ?, ?, ?, ?) ON CONFLICT DO NOTHING";

using Rows = QList<QVariantList>;
using ServerConnection::firstLine;

} // namespace

struct ServerUpload::Snapshot
{
    Rows runs, tables, passes, points, peaks, troubles, workbooks, outcomes;
    bool morePoints = false;
    bool judged = true; // the local store has the columns of judgements

    bool isEmpty() const
    {
        return runs.isEmpty() && passes.isEmpty() && points.isEmpty() && troubles.isEmpty() && workbooks.isEmpty()
            && outcomes.isEmpty();
    }
};

ServerUpload::ServerUpload(const Options &options, QObject *parent)
    : QObject(parent),
      options(options),
      localName(QStringLiteral("rfbench-upload-local-%1").arg(quintptr(this), 0, 16)),
      serverName(QStringLiteral("rfbench-upload-server-%1").arg(quintptr(this), 0, 16))
{
}

ServerUpload::~ServerUpload()
{
    close();
}

void ServerUpload::close()
{
    serverReady = false;
    local.close();
    server.close();
    local = QSqlDatabase();
    server = QSqlDatabase();
    for (const QString &name : {localName, serverName})
        if (QSqlDatabase::contains(name))
            QSqlDatabase::removeDatabase(name);
}

void ServerUpload::start()
{
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        // Single shot, armed again after each round: a slow round never queues rounds behind it.
        connect(timer, &QTimer::timeout, this, [this] {
            uploadNow();
            if (timer)
                timer->start(options.intervalMs);
        });
    }
    timer->start(0);
}

void ServerUpload::stop()
{
    delete timer;
    timer = nullptr;
}

bool ServerUpload::openLocal()
{
    // Opened afresh each round: a store set aside and made again under its name is the new one.
    if (local.isOpen())
        local.close();
    if (!QSqlDatabase::contains(localName))
        local = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), localName);
    local.setDatabaseName(options.localPath);
    local.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    if (!local.open()) {
        problemText = QStringLiteral("the local results store %1 cannot be read: %2")
                          .arg(options.localPath, firstLine(local.lastError()));
        return false;
    }
    return true;
}

bool ServerUpload::openServer()
{
    if (serverReady)
        return true;
    if (left)
        return false;
    switch (ServerConnection::open(&server, serverName, options.server, &problemText, options.timeouts)) {
    case ServerConnection::Failure::None:
        break;
    case ServerConnection::Failure::NoDriver:
        current = State::Refused;
        return false;
    case ServerConnection::Failure::LoginRefused:
        current = State::LoginRefused;
        return false;
    case ServerConnection::Failure::Unreachable:
        current = State::Unreachable;
        return false;
    }
    if (!prepareLayout()) {
        server.close();
        return false;
    }
    serverReady = true;
    return true;
}

bool ServerUpload::prepareLayout()
{
    int version = ServerConnection::layoutVersion(server, &problemText);
    if (version < 0) {
        current = State::Unreachable;
        return false;
    }
    if (version > ServerSchema::current) {
        problemText = QStringLiteral("the results server %1 has schema %2, newer than this rfbench knows (%3): runs "
                                     "stay in the local store until rfbench is upgraded")
                          .arg(options.server.shown(), QString::number(version),
                               QString::number(ServerSchema::current));
        current = State::Refused;
        return false;
    }
    if (version == ServerSchema::current)
        return true;

    // Made or upgraded once, under a lock, by a station whose role may: usually the database's owner.
    QSqlQuery query(server);
    server.transaction();
    // An upgrade rewrites whole tables: it may take longer than any statement of a batch.
    bool ok = query.exec(QStringLiteral("SET LOCAL statement_timeout = 0"))
           && query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(ServerSchema::layoutLock));
    if (ok && query.exec(QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL")) && query.next()
        && query.value(0).toBool())
        ok = query.exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_version")) && query.next()
          && ((version = query.value(0).toInt()), true);
    for (int step = version + 1; ok && step <= ServerSchema::current; ++step) {
        for (const QString &sql : ServerSchema::step(step))
            if (ok && !query.exec(sql))
                ok = false;
        if (ok) {
            query.prepare(QStringLiteral("INSERT INTO schema_version (version, program) VALUES (?, ?)"));
            query.addBindValue(step);
            query.addBindValue(QStringLiteral("rfbench ") + QCoreApplication::applicationVersion());
            ok = query.exec();
        }
    }
    if (ok && server.commit())
        return true;
    problemText = QStringLiteral("the results server %1 has %2 and this station cannot make the rest: %3")
                      .arg(options.server.shown(),
                           version == 0 ? QStringLiteral("no rfbench tables yet")
                                        : QStringLiteral("schema %1, older than this rfbench's %2")
                                              .arg(version)
                                              .arg(ServerSchema::current),
                           ServerConnection::failure(query.lastError().isValid() ? query.lastError()
                                                                                  : server.lastError(),
                                                     options.timeouts));
    server.rollback();
    current = State::Refused;
    return false;
}

void ServerUpload::dropServer(const QString &why)
{
    problemText = why;
    // Closed at the next connection, after the statements of this round are gone: Qt's driver
    // cannot free a statement of a closed connection.
    serverReady = false;
    current = State::Unreachable;
}

void ServerUpload::dropServer(const QSqlError &error)
{
    dropServer(ServerConnection::failure(error, options.timeouts));
    if (error.nativeErrorCode() == QLatin1String("55P03"))
        current = State::Busy;
}

std::unique_ptr<QSqlQuery> ServerUpload::serverQuery(const char *sql)
{
    // A round the front end left goes no further: the process may be ending.
    if (left) {
        dropServer(QStringLiteral("the upload was left"));
        return nullptr;
    }
    // Prepared for each use: a connection made again after the server came back has none.
    auto query = std::make_unique<QSqlQuery>(server);
    query->setForwardOnly(true);
    if (!query->prepare(QString::fromUtf8(sql))) {
        dropServer(query->lastError());
        return nullptr;
    }
    return query;
}

bool ServerUpload::checkStation()
{
    const std::unique_ptr<QSqlQuery> login(serverQuery(loginMayWrite));
    if (!login)
        return false;
    login->addBindValue(options.station);
    if (!login->exec() || !login->next()) {
        dropServer(login->lastError());
        return false;
    }
    if (!login->value(0).toBool()) {
        problemText = QStringLiteral("the results server %1 does not let the login \"%2\" write as station \"%3\" "
                                     "(its table station_logins names the stations a login may write as)")
                          .arg(options.server.shown(), login->value(1).toString(), options.station);
        current = State::Refused;
        return false;
    }
    // A store keeps the station it first went up under: under another name (a bench renamed, a
    // store copied to another bench) every run would be on the server twice, or two benches' runs
    // mixed. The server cannot tell the two apart; the operator can.
    if (identity.isEmpty())
        return true;
    const std::unique_ptr<QSqlQuery> query(serverQuery(storeStation));
    if (!query)
        return false;
    query->addBindValue(identity);
    if (!query->exec()) {
        dropServer(query->lastError());
        return false;
    }
    if (!query->next() || query->value(0).toString() == options.station)
        return true;
    problemText = QStringLiteral("the results server %1 has this store's runs as station \"%2\", not \"%3\": a store "
                                 "keeps one station name; name this bench \"%2\" again, or, if this store is a copy "
                                 "of that bench's, move it aside so that a new store is made")
                      .arg(options.server.shown(), query->value(0).toString(), options.station);
    current = State::Refused;
    return false;
}

bool ServerUpload::serverMaxima(Maxima *maxima)
{
    const std::unique_ptr<QSqlQuery> query(serverQuery(::serverMaxima));
    if (!query)
        return false;
    for (int i = 0; i < 10; ++i) {
        query->addBindValue(options.station);
        query->addBindValue(identity);
    }
    if (!query->exec() || !query->next()) {
        dropServer(query->lastError());
        return false;
    }
    for (int i = 0; i < 5; ++i)
        maxima->marks[i] = query->value(5 + i).toString();
    maxima->runs = query->value(0).toLongLong();
    maxima->passes = query->value(1).toLongLong();
    maxima->points = query->value(2).toLongLong();
    maxima->troubles = query->value(3).toLongLong();
    maxima->workbooks = query->value(4).toLongLong();
    return true;
}

bool ServerUpload::readLocal(const Maxima &maxima, Snapshot *snapshot)
{
    // One read transaction: the rows read are of one moment of the store, so a point's run is
    // among the runs read with it.
    if (!local.transaction()) {
        problemText = QStringLiteral("the local results store %1 cannot be read: %2")
                          .arg(options.localPath, firstLine(local.lastError()));
        current = State::LocalUnreadable;
        return false;
    }
    QSqlQuery query(local);
    query.setForwardOnly(true);
    auto read = [&](const char *sql, const QVariantList &values, Rows *rows) {
        if (!query.prepare(QString::fromUtf8(sql)))
            return false;
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!query.exec())
            return false;
        const int columns = query.record().count();
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < columns; ++i)
                row << query.value(i);
            *rows << row;
        }
        return !query.lastError().isValid();
    };
    // What the server has of this store is what the store holds: it has no more runs or points,
    // and its newest run and point are the local ones of their numbers. Otherwise the two went
    // apart (an older copy put back, a copy that went on at another bench) and new ids would
    // meet the server's.
    Rows lastIds;
    bool ok = read(localLast, {}, &lastIds);
    bool apart = ok && !lastIds.isEmpty()
              && (maxima.runs > lastIds.first().value(0).toLongLong()
                  || maxima.points > lastIds.first().value(1).toLongLong());
    const qint64 ids[] = {maxima.runs, maxima.passes, maxima.points, maxima.troubles, maxima.workbooks};
    for (int i = 0; ok && !apart && i < 5; ++i) {
        Rows mark;
        ok = ids[i] == 0 || read(localMarks[i], {ids[i]}, &mark);
        apart = ok && ids[i] > 0 && mark.value(0).value(0).toString() != maxima.marks[i];
    }
    if (apart) {
        problemText = QStringLiteral("the local results store %1 and what the results server %2 holds of it as station "
                                     "\"%3\" went apart: it is an older copy put back, or a copy that went on at "
                                     "another bench; put the newer store back if there is one, else move this one "
                                     "aside so that a new store is made")
                          .arg(options.localPath, options.server.shown(), options.station);
        local.commit();
        current = State::Refused;
        return false;
    }
    Rows layout;
    ok = ok && read(localLayout, {}, &layout);
    snapshot->judged = ok && layout.value(0).value(0).toInt() >= 5;
    const bool corrected = ok && layout.value(0).value(0).toInt() >= 6;
    ok = ok && read(corrected ? localPoints : snapshot->judged ? localUncorrectedPoints : localUnjudgedPoints,
                    {maxima.points, options.batchPoints}, &snapshot->points);
    snapshot->morePoints = snapshot->points.size() >= options.batchPoints;
    if (ok && !snapshot->points.isEmpty())
        ok = read(corrected ? localPeaks : localUncorrectedPeaks, {maxima.points, snapshot->points.last().first()},
                  &snapshot->peaks);
    ok = ok && read(snapshot->judged ? localRuns : localUnjudgedRuns, {maxima.runs}, &snapshot->runs)
      && (!corrected || read(localTables, {maxima.runs}, &snapshot->tables))
      && read(localPasses, {maxima.passes}, &snapshot->passes)
      && read(localTroubles, {maxima.troubles}, &snapshot->troubles)
      && read(localWorkbooks, {maxima.workbooks}, &snapshot->workbooks);
    bool localFailed = !ok;
    QString localError = ok ? QString() : firstLine(query.lastError());
    query.finish();
    // A run's outcome goes up after its last point, never before: with points still to come, a
    // run goes up as running, and its outcome follows as a row of run_outcomes once every point
    // is there. The server may fail here too: then it is the server that is away, not the store
    // that is unreadable.
    if (ok && snapshot->morePoints) {
        for (QVariantList &run : snapshot->runs) {
            run[runEndedColumn] = QVariant(QVariant::String);
            run[runOutcomeColumn] = QStringLiteral("running");
        }
    }
    if (ok && !snapshot->morePoints) {
        ok = changedOutcomes(snapshot, &localError);
        localFailed = !ok && serverReady;
    }
    local.commit();
    if (localFailed) {
        problemText = QStringLiteral("the local results store %1 cannot be read: %2").arg(options.localPath, localError);
        current = State::LocalUnreadable;
    }
    return ok;
}

bool ServerUpload::changedOutcomes(Snapshot *snapshot, QString *localError)
{
    const std::unique_ptr<QSqlQuery> remote(serverQuery(serverOutcomes));
    if (!remote)
        return false;
    remote->addBindValue(options.station);
    remote->addBindValue(identity);
    if (!remote->exec()) {
        dropServer(remote->lastError());
        return false;
    }
    // What the server shows of each run: outcome, ended, then the verdict and its three counts.
    struct Seen
    {
        QStringList shown;
        int number = 0;
    };
    QHash<qint64, Seen> seen;
    while (remote->next())
        seen.insert(remote->value(0).toLongLong(),
                    Seen{{remote->value(1).toString(), remote->value(2).toString(), remote->value(4).toString(),
                          remote->value(5).toString(), remote->value(6).toString(), remote->value(7).toString()},
                         remote->value(3).toInt()});
    QSqlQuery query(local);
    query.setForwardOnly(true);
    if (query.exec(QString::fromUtf8(snapshot->judged ? localOutcomes : localUnjudgedOutcomes))) {
        while (query.next()) {
            const auto there = seen.constFind(query.value(0).toLongLong());
            if (there == seen.constEnd())
                continue; // sent with this batch, as it is now
            QStringList here;
            for (int column = 1; column <= 6; ++column)
                here << query.value(column).toString();
            if (here != there->shown)
                snapshot->outcomes << QVariantList{query.value(0), there->number + 1, query.value(1), query.value(2),
                                                   query.value(3), query.value(4), query.value(5), query.value(6)};
        }
    }
    if (!query.lastError().isValid())
        return true;
    *localError = firstLine(query.lastError());
    return false;
}

bool ServerUpload::readIdentity()
{
    // Never a null text: the driver binds that as NULL, which matches no row.
    QSqlError error;
    if (StoreSchema::readIdentity(local, &identity, &error))
        return true;
    problemText = QStringLiteral("the local results store %1 cannot be read: %2").arg(options.localPath, firstLine(error));
    current = State::LocalUnreadable;
    return false;
}

bool ServerUpload::send(const Snapshot &snapshot, const Maxima &readWith)
{
    if (!server.transaction()) {
        dropServer(server.lastError());
        return false;
    }
    if (!identity.isEmpty()) {
        for (const char *sql : {lockWait, storeLock, lockWaitEnd}) {
            const std::unique_ptr<QSqlQuery> query(serverQuery(sql));
            if (!query)
                return false;
            if (sql == storeLock)
                query->addBindValue(identity);
            if (query->exec())
                continue;
            // lock_not_available: the server is there, another uploader of the store holds it.
            if (query->lastError().nativeErrorCode() == QLatin1String("55P03")) {
                query->finish();
                server.rollback();
                problemText = QStringLiteral("another uploader of this store is sending it");
                current = State::Busy;
                return false;
            }
            dropServer(query->lastError());
            return false;
        }
        // Under the lock, the server as the batch was read against: else another uploader of the
        // store sent meanwhile, and the round begins again from what is there now.
        Maxima now;
        if (!checkStation()) {
            server.rollback();
            return false;
        }
        if (!serverMaxima(&now))
            return false;
        if (!(now == readWith)) {
            server.rollback();
            serverMoved = true;
            return false;
        }
    }
    auto insert = [&](const char *sql, const Rows &rows, int bytesColumn = -1) {
        if (rows.isEmpty())
            return true;
        const std::unique_ptr<QSqlQuery> query(serverQuery(sql));
        if (!query)
            return false;
        for (const QVariantList &row : rows) {
            query->bindValue(0, options.station);
            query->bindValue(1, identity);
            for (int i = 0; i < row.size(); ++i) {
                QVariant value = row.at(i);
                // The setup is kept as bytes: SQLite holds it as text when it is UTF-8.
                if (i == bytesColumn && !value.isNull() && value.type() != QVariant::ByteArray)
                    value = value.toString().toUtf8();
                query->bindValue(i + 2, value);
            }
            if (!query->exec()) {
                dropServer(query->lastError());
                return false;
            }
        }
        return true;
    };
    const bool ok = insert(insertRun, snapshot.runs, 7) && insert(insertTable, snapshot.tables, 3)
                 && insert(insertPass, snapshot.passes)
                 && insert(insertPoint, snapshot.points) && insert(insertPeak, snapshot.peaks)
                 && insert(insertTrouble, snapshot.troubles) && insert(insertWorkbook, snapshot.workbooks)
                 && insert(insertOutcome, snapshot.outcomes);
    if (ok && server.commit())
        return true;
    // A failed statement dropped the connection already, and the server rolled its part back.
    if (serverReady) {
        const QSqlError why = server.lastError();
        server.rollback();
        dropServer(why);
    }
    return false;
}

bool ServerUpload::isKnownFile(const QByteArray &content)
{
    const QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
    bool number = false;
    lines.value(1).toLongLong(&number);
    return lines.size() == 2 && lines.first().count(QLatin1Char('\t')) >= 2 && number;
}

QString ServerUpload::knownKey() const
{
    return identity + QLatin1Char('\t') + options.station + QLatin1Char('\t') + options.server.shown();
}

void ServerUpload::learn(qint64 id)
{
    knownOnServer = id;
    knownOf = identity;
    // Stores made before stores had identities cannot be told from a store made afresh in their place.
    if (id == kept || identity.isEmpty())
        return;
    // A file of that name that is not this program's is left as it is.
    QFile earlier(knownPath(options.localPath));
    if (earlier.exists() && !(earlier.open(QIODevice::ReadOnly) && isKnownFile(earlier.read(4096))))
        return;
    earlier.close();
    QSaveFile file(knownPath(options.localPath));
    // Left unwritten, the next upload counts from an older id: more points waiting, never fewer.
    if (file.open(QIODevice::WriteOnly) && file.write((knownKey() + QLatin1Char('\n') + QString::number(id)).toUtf8()) > 0
        && file.commit())
        kept = id;
}

qint64 ServerUpload::countWaiting()
{
    // A store this upload has not reached the server with (since it began, or since the store was
    // made afresh): what the server had of it as an upload before this one saw it, if that was
    // this station's upload to this server.
    if (knownOf != identity) {
        knownOf = identity;
        knownOnServer = kept = -1;
        QFile file(knownPath(options.localPath));
        bool number = false;
        if (!identity.isEmpty() && file.open(QIODevice::ReadOnly)) {
            const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
            const qint64 id = lines.value(1).toLongLong(&number);
            if (lines.size() == 2 && lines.first() == knownKey() && number && id >= 0)
                knownOnServer = kept = id;
        }
    }
    QSqlQuery query(local);
    if (!query.prepare(QString::fromUtf8(localWaiting)))
        return -1;
    query.addBindValue(std::max<qint64>(knownOnServer, 0));
    return query.exec() && query.next() ? query.value(0).toLongLong() : -1;
}

qint64 ServerUpload::lastLocalPoint()
{
    QSqlQuery query(local);
    return query.exec(QString::fromUtf8(localLastPoint)) && query.next() ? query.value(0).toLongLong() : -1;
}

bool ServerUpload::uploadNow()
{
    // Before the worker made the store there is nothing to send.
    if (!QFileInfo::exists(options.localPath)) {
        waitingPoints = 0;
        report(State::Up);
        return true;
    }
    if (!openLocal() || !readIdentity()) {
        report(State::LocalUnreadable);
        return false;
    }
    if (backlog < 0)
        backlog = lastLocalPoint();
    if (!openServer()) {
        waitingPoints = countWaiting();
        report(current);
        return false;
    }
    for (;;) {
        Maxima maxima;
        if (!checkStation() || !serverMaxima(&maxima)) {
            waitingPoints = countWaiting();
            report(current);
            return false;
        }
        learn(maxima.points);
        if (backlog > 0) {
            behind = maxima.points < backlog;
            backlog = 0;
        }
        Snapshot snapshot;
        if (!readLocal(maxima, &snapshot)) {
            waitingPoints = countWaiting();
            report(current);
            return false;
        }
        if (snapshot.isEmpty()) {
            waitingPoints = 0;
            problemText.clear();
            report(State::Up);
            return true;
        }
        if (!send(snapshot, maxima)) {
            if (std::exchange(serverMoved, false))
                continue;
            waitingPoints = countWaiting();
            report(current);
            return false;
        }
        sent += snapshot.points.size();
        if (!snapshot.points.isEmpty())
            learn(snapshot.points.last().first().toLongLong());
    }
}

QString ServerUpload::describe() const
{
    const QString count = waitingPoints < 0 ? QStringLiteral("some points") : Counted::of(waitingPoints, "point");
    switch (current) {
    case State::Up:
    case State::Unknown:
        return waitingPoints == 0 ? QStringLiteral("results server: every point is up")
                                  : QStringLiteral("results server: %1 waiting to upload").arg(count);
    case State::LoginRefused:
        return QStringLiteral("results server %1 refused the login: %2 (the password comes from ~/.pgpass or "
                              "PGPASSWORD); %3 waiting to upload")
            .arg(options.server.shown(), problemText, count);
    case State::Refused:
        return QStringLiteral("%1: %2 waiting to upload").arg(problemText, count);
    case State::LocalUnreadable:
        return QStringLiteral("results server upload waits: %1; %2 waiting to upload").arg(problemText, count);
    case State::Busy:
        return QStringLiteral("results server: %1; %2 waiting to upload").arg(problemText, count);
    case State::Unreachable:
        break;
    }
    return QStringLiteral("results server unreachable: %1 waiting to upload (%2)").arg(count, problemText);
}

void ServerUpload::report(State state)
{
    current = state;
    if (left)
        return;
    QString text;
    if (state == State::Up) {
        // Said once the server has every point after a time it did not: it was away or refused
        // them, or it lacked points from before this upload began.
        const bool wasBehind = std::exchange(behind, false);
        const bool wasDown = wasBehind || (noticed != State::Up && noticed != State::Unknown);
        if (waitingPoints != 0 || !wasDown) {
            if (waitingPoints == 0)
                noticed = State::Up;
            return;
        }
        text = QStringLiteral("results server: every point is up");
    } else {
        text = describe();
        // A count that changes every point is said again at most every 10 s.
        if (text == lastNoticeText || (state == noticed && lastNotice.isValid() && lastNotice.elapsed() < 10000))
            return;
    }
    noticed = state;
    lastNotice.start();
    lastNoticeText = text;
    qDebug() << "server upload:" << text;
    emit notice(text);
}

ServerUploadThread::ServerUploadThread(const ServerUpload::Options &options, QObject *parent)
    : QObject(parent), thread(new QThread(this)), upload(new ServerUpload(options))
{
    thread->setObjectName(QStringLiteral("server upload"));
    upload->moveToThread(thread);
    connect(upload, &ServerUpload::notice, this, &ServerUploadThread::notice);
    connect(thread, &QThread::started, upload, &ServerUpload::start);
    thread->start(QThread::LowPriority);
}

ServerUploadThread::~ServerUploadThread()
{
    end(endWaitMs);
}

bool ServerUploadThread::end(int timeoutMs)
{
    if (!thread)
        return true;
    QThread *const ending = thread;
    ServerUpload *const ended = upload;
    thread = nullptr;
    upload = nullptr;
    // Queued behind a round under way; the thread quits from inside, after the upload closed.
    QMetaObject::invokeMethod(ended, [ending, ended] {
        if (!ended->wasLeft()) {
            ended->stop();
            ended->close();
        }
        ending->quit();
    }, Qt::QueuedConnection);
    if (ending->wait(timeoutMs)) {
        delete ended;
        delete ending;
        return true;
    }
    // Destroying a running QThread ends the process; the round, stuck in the driver, is left.
    ended->leave();
    ending->setParent(nullptr);
    return false;
}

void ServerUploadThread::stopWaiting()
{
    if (!finishing)
        return;
    waitStopped = true;
    finishing->quit();
}

bool ServerUploadThread::finish(int timeoutMs, qint64 *waiting, QString *text, ServerUpload::State *state)
{
    // Shared with the round, which may outlive a wait that gave up.
    struct Round
    {
        QSemaphore done;
        std::atomic<bool> upToDate{false};
        std::atomic<qint64> waiting{-1};
        std::atomic<ServerUpload::State> state{ServerUpload::State::Unknown};
        QString text; // written before done is released, read after it is acquired
    };
    const auto round = std::make_shared<Round>();
    QEventLoop loop;
    ServerUpload *const sending = upload;
    // The round's end reaches the loop as a queued call, also when it comes before the loop runs.
    const QMetaObject::Connection ended = connect(sending, &ServerUpload::roundEnded, &loop, &QEventLoop::quit,
                                                  Qt::QueuedConnection);
    QMetaObject::invokeMethod(sending, [sending, round] {
        sending->stop();
        round->upToDate = sending->uploadNow();
        round->waiting = sending->waiting();
        round->state = sending->state();
        round->text = sending->describe();
        round->done.release();
        emit sending->roundEnded();
    }, Qt::QueuedConnection);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    finishing = &loop;
    waitStopped = false;
    loop.exec();
    finishing = nullptr;
    disconnect(ended);
    const bool finished = round->done.tryAcquire();
    if (waiting)
        *waiting = finished ? round->waiting.load() : -1;
    if (text)
        *text = finished      ? round->text
              : waitStopped ? QStringLiteral("results server: the last upload was left at a stop request")
                            : QStringLiteral("results server: the last upload did not end within %1 s and was left")
                                  .arg(timeoutMs / 1000.0);
    if (state)
        *state = finished ? round->state.load() : ServerUpload::State::Unknown;
    return finished && round->upToDate;
}
