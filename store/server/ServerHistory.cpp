#include "ServerHistory.h"

#include "RunExport.h"
#include "ServerConnection.h"
#include "ServerSchema.h"
#include "SqliteStore.h"
#include "StoredRows.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

namespace {

using StoredRows::kindOf;
using StoredRows::numberOf;
using StoredRows::timeOf;


const char runColumns[] =
    "SELECT id, station, \"user\", version, " UTC_TEXT("started") ", " UTC_TEXT("ended") ", measurement, outcome,"
    " setup, instruments, identities, note, point_count, pass_count, trouble_count, local_id, store,"
    " (SELECT string_agg(workbook, E'\\n' ORDER BY w.local_id) FROM run_workbooks w"
    "  WHERE w.station = l.station AND w.store = l.store AND w.run = l.local_id),"
    " unit, operator, verdict, failed_points, marginal_points, unread_points"
    " FROM run_list l";
const int firstJudgementColumn = 18; // of runColumns
// A local store's LIKE ignores the case of ASCII letters alone: the same runs match here when
// both sides have those folded, and nothing else.
#define FOLD(text) "translate(" text ", 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz')"
// Newest first; a run matches the text in its measurement, station, outcome, setup, workbooks,
// unit or operator; the unit whole, as recorded; the verdict as StoredRows::verdictShown shows it.
const char listFilter[] =
    " WHERE (? = '' OR started >= CAST(? AS timestamptz)) AND (? = '' OR station = ?)"
    " AND (? = '' OR " FOLD("measurement") " LIKE ? OR " FOLD("station") " LIKE ? OR " FOLD("outcome") " LIKE ?"
    "  OR " FOLD("setup_text(setup)") " LIKE ? OR " FOLD("unit") " LIKE ? OR " FOLD("operator") " LIKE ?"
    "  OR EXISTS (SELECT 1 FROM run_workbooks w WHERE w.station = l.station AND w.store = l.store"
    "   AND w.run = l.local_id AND " FOLD("w.workbook") " LIKE ?))"
    " AND (? = '' OR unit = ?)"
    " AND (? = '' OR ? = CASE WHEN verdict NOT IN ('', 'FAIL') AND outcome IN ('stopped', 'failed', 'interrupted')"
    "  THEN 'INCOMPLETE' ELSE verdict END)"
    " ORDER BY started DESC, id DESC LIMIT ?";

QString asciiFolded(QString text)
{
    for (QChar &c : text)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    return text;
}
// The points of a run by its server id, in the order its station measured them.
const char pointsOfRun[] =
    "SELECT p.local_id, p.pass, p.number, " UTC_TEXT("p.measured_at") ", p.row_kind, p.workbook, p.point_index,"
    " " STORED_POINT_VALUES ", p.verdict, p.limit_margin, p.limit_upper, p.limit_lower, p.limit_spur, p.correction"
    " FROM points p JOIN runs r ON r.station = p.station AND r.store = p.store AND r.local_id = p.run"
    " WHERE r.id = ? ORDER BY p.local_id";
const char peaksOfRun[] =
    "SELECT k.point, k.frequency, k.level, k.correction FROM peaks k"
    " JOIN points p ON p.station = k.station AND p.store = k.store AND p.local_id = k.point"
    " JOIN runs r ON r.station = p.station AND r.store = p.store AND r.local_id = p.run"
    " WHERE r.id = ? ORDER BY k.point, k.number";
const char troublesOfRun[] =
    "SELECT " UTC_TEXT("t.at") ", t.instrument, t.text FROM troubles t"
    " JOIN runs r ON r.station = t.station AND r.store = t.store AND r.local_id = t.run"
    " WHERE r.id = ? ORDER BY t.local_id";
const char passesOfRun[] =
    "SELECT s.pass, s.output_power, " UTC_TEXT("s.started") " FROM passes s"
    " JOIN runs r ON r.station = s.station AND r.store = s.store AND r.local_id = s.run"
    " WHERE r.id = ? ORDER BY s.local_id";
const char tablesOfRun[] =
    "SELECT t.path, t.source, t.text, t.sha256, to_char(t.due, 'YYYY-MM-DD'), t.interpolation, t.beyond"
    " FROM run_tables t JOIN runs r ON r.station = t.station AND r.store = t.store AND r.local_id = t.run"
    " WHERE r.id = ? ORDER BY t.path";
const char stationsWithRuns[] = "SELECT DISTINCT station FROM runs ORDER BY station";

} // namespace

ServerHistory::ServerHistory(const ServerAddress &address, const QString &addressError)
    : address(address), connectionName(QStringLiteral("rfbench-history-%1").arg(quintptr(this), 0, 16))
{
    if (!addressError.isEmpty()) {
        problemText = QStringLiteral("the results server's address: ") + addressError;
        return;
    }
    QString why;
    // A list is never held longer than this by a lock or a busy server.
    ServerConnection::Timeouts timeouts;
    timeouts.statementMs = 30000;
    switch (ServerConnection::open(&database, connectionName, address, &why, timeouts)) {
    case ServerConnection::Failure::None:
        break;
    case ServerConnection::Failure::LoginRefused:
        problemText = QStringLiteral("the results server %1 refused the login: %2 (the password comes from "
                                     "~/.pgpass or PGPASSWORD)")
                          .arg(address.shown(), why);
        return;
    case ServerConnection::Failure::Unreachable:
        problemText = QStringLiteral("the results server %1 is unreachable: %2").arg(address.shown(), why);
        return;
    case ServerConnection::Failure::NoDriver:
        problemText = why;
        return;
    }
    const int version = ServerConnection::layoutVersion(database, &why);
    if (version < 0)
        problemText = QStringLiteral("the results server %1 cannot be read: %2").arg(address.shown(), why);
    else if (version == 0)
        problemText = QStringLiteral("the results server %1 has no runs yet: no station has sent any").arg(address.shown());
    else if (version > ServerSchema::current)
        problemText = QStringLiteral("the results server %1 has schema %2, newer than this rfbench knows (%3): "
                                     "upgrade rfbench to read it")
                          .arg(address.shown(), QString::number(version), QString::number(ServerSchema::current));
    else if (version < ServerSchema::current)
        problemText = QStringLiteral("the results server %1 has schema %2, older than this rfbench's %3; it is "
                                     "upgraded when rfbench next connects to it as the database's owner")
                          .arg(address.shown(), QString::number(version), QString::number(ServerSchema::current));
    if (!problemText.isEmpty())
        database.close();
}

ServerHistory::~ServerHistory()
{
    database.close();
    database = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
}

bool ServerHistory::exec(QSqlQuery &query, const char *sql, const QVariantList &values)
{
    if (!database.isOpen())
        return false;
    query.setForwardOnly(true);
    bool ok = query.prepare(QString::fromUtf8(sql));
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    if (!ok)
        problemText = QStringLiteral("the results server %1 cannot be read: %2")
                          .arg(address.shown(), ServerConnection::firstLine(query.lastError()));
    return ok;
}

RunSummary ServerHistory::summaryOf(QSqlQuery &query)
{
    RunSummary run = StoredRows::summaryOf(query);
    run.localId = query.value(15).toLongLong();
    run.store = query.value(16).toString();
    if (!query.value(17).isNull())
        run.workbooks = query.value(17).toString().split(QLatin1Char('\n'));
    StoredRows::readJudgement(query, firstJudgementColumn, &run);
    run.verdict.verdict = StoredRows::verdictShown(run.verdict.verdict, run.outcome);
    return run;
}

QList<RunSummary> ServerHistory::runs(const RunFilter &filter)
{
    QList<RunSummary> list;
    QSqlQuery query(database);
    const QString since = filter.since.isValid() ? RunExport::utcText(filter.since) : QStringLiteral("");
    const QString station = filter.station.isNull() ? QStringLiteral("") : filter.station;
    const QString text = filter.text.isNull() ? QStringLiteral("") : filter.text;
    const QString pattern = asciiFolded(likePattern(text));
    const QString unit = filter.unit.isNull() ? QStringLiteral("") : filter.unit;
    const QString verdict = filter.verdict.isNull() ? QStringLiteral("") : filter.verdict;
    // LIMIT NULL is no limit.
    const QVariant limit = filter.limit > 0 ? QVariant(filter.limit) : QVariant(QVariant::LongLong);
    if (!exec(query, (QByteArray(runColumns) + listFilter).constData(),
              {since, since.isEmpty() ? QStringLiteral("-infinity") : since, station, station, text, pattern, pattern,
               pattern, pattern, pattern, pattern, pattern, unit, unit, verdict, verdict, limit}))
        return list;
    while (query.next())
        list << summaryOf(query);
    return list;
}

RunSummary ServerHistory::run(qint64 id)
{
    QSqlQuery query(database);
    if (!exec(query, (QByteArray(runColumns) + " WHERE id = ?").constData(), {id}) || !query.next())
        return RunSummary();
    RunSummary found = summaryOf(query);
    QSqlQuery tables(database);
    if (!exec(tables, tablesOfRun, {id}))
        return RunSummary();
    while (tables.next()) {
        RecordedTable table;
        table.path = tables.value(0).toString();
        table.source = tables.value(1).toString();
        table.text = tables.value(2).toByteArray();
        table.sha256 = tables.value(3).toString();
        table.due = QDate::fromString(tables.value(4).toString(), Qt::ISODate);
        table.interpolation = tables.value(5).toString();
        table.beyond = tables.value(6).toString();
        found.tables << table;
    }
    return found;
}

QList<StoredPoint> ServerHistory::points(qint64 run)
{
    QList<StoredPoint> points;
    QSqlQuery query(database);
    if (!exec(query, pointsOfRun, {run}))
        return points;
    const QStringList columns = SqliteStore::valueNames(StoredPoint::Row::Step)
                              + SqliteStore::valueNames(StoredPoint::Row::Spur);
    const int firstValue = 7;
    QHash<qint64, int> at;
    while (query.next()) {
        StoredPoint point;
        point.id = query.value(0).toLongLong();
        point.run = run;
        point.pass = query.value(1).toInt();
        point.number = query.value(2).toULongLong();
        point.measuredAt = timeOf(query.value(3));
        point.row = kindOf(query.value(4).toString());
        point.workbook = query.value(5).toString();
        point.pointIndex = query.value(6).toULongLong();
        for (const QString &name : SqliteStore::valueNames(point.row))
            point.values << numberOf(query.value(firstValue + columns.indexOf(name)));
        StoredRows::readJudgement(query, firstValue + 7, &point);
        point.correction = numberOf(query.value(firstValue + 12));
        at.insert(point.id, points.size());
        points << point;
    }
    QSqlQuery peaks(database);
    if (!exec(peaks, peaksOfRun, {run}))
        return {};
    while (peaks.next()) {
        const auto index = at.constFind(peaks.value(0).toLongLong());
        if (index == at.constEnd())
            continue; // a point sent between the two queries
        points[*index].peakFrequencies << numberOf(peaks.value(1));
        points[*index].peakLevels << numberOf(peaks.value(2));
        points[*index].peakCorrections << numberOf(peaks.value(3));
    }
    StoredRows::dropUncorrectedPeaks(&points);
    return points;
}

QList<RunTrouble> ServerHistory::troubles(qint64 run)
{
    QList<RunTrouble> list;
    QSqlQuery query(database);
    if (exec(query, troublesOfRun, {run}))
        while (query.next())
            list << RunTrouble{timeOf(query.value(0)), query.value(1).toString(), query.value(2).toString()};
    return list;
}

QList<StoredPass> ServerHistory::passes(qint64 run)
{
    QList<StoredPass> list;
    QSqlQuery query(database);
    if (exec(query, passesOfRun, {run}))
        while (query.next())
            list << StoredPass{query.value(0).toInt(), numberOf(query.value(1)), timeOf(query.value(2))};
    return list;
}

QStringList ServerHistory::stations()
{
    QStringList list;
    QSqlQuery query(database);
    if (exec(query, stationsWithRuns, {}))
        while (query.next())
            list << query.value(0).toString();
    return list;
}

std::unique_ptr<RunHistory> RunHistory::open(const QString &store)
{
    if (!ServerAddress::isServerAddress(store))
        return SqliteStore::open(store, SqliteStore::Mode::Read, nullptr);
    QString why;
    const ServerAddress address = ServerAddress::parse(store, &why);
    return std::make_unique<ServerHistory>(address, why);
}
