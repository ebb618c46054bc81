#pragma once

// What the results store's SQLite files share: the statements, each prepared once per connection,
// and the conversions of values to and from their columns. For the store's own sources alone.

#include "RunExport.h"
#include "RunHistory.h"
#include "StoreSchema.h"
#include "StoredRows.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QSysInfo>
#include <QVariant>

namespace StoreSql {

using StoredRows::kindOf;
using StoredRows::numberOf;
using StoredRows::timeOf;

// The primary result codes of SQLite that the store tells apart.
enum SqliteCode { Constraint = 19, Busy = 5, ReadOnly = 8, IoError = 10, Corrupt = 11, Full = 13, CantOpen = 14, NotADatabase = 26 };

inline int codeOf(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xff;
}

// Opening waits this long for another program that makes or upgrades the store; a write while
// measuring waits only writeWaitMs and then waits in memory instead, so that a store held by
// another program never holds up the measurement for long.
inline constexpr int busyTimeoutMs = 5000;
inline constexpr int writeWaitMs = 250;

inline QVariant textValue(const QString &text)
{
    // A null QString would be bound as NULL.
    return text.isNull() ? QStringLiteral("") : text;
}

inline QVariant timeValue(const QDateTime &time)
{
    return time.isValid() ? QVariant(RunExport::utcText(time)) : QVariant();
}

inline QVariant numberValue(double number)
{
    return qIsNaN(number) ? QVariant() : QVariant(number);
}

// UTF-8 text is kept as text, readable in any SQLite tool; other bytes as they are.
inline QVariant bytesValue(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? textValue(text) : QVariant(bytes);
}

inline QString kindText(StoredPoint::Row row)
{
    switch (row) {
    case StoredPoint::Row::Step:
        return QStringLiteral("step");
    case StoredPoint::Row::Spur:
        return QStringLiteral("spur");
    case StoredPoint::Row::Sweep:
        break;
    }
    return QStringLiteral("sweep");
}


// Who writes a run: this machine and process.
inline QString thisWriter()
{
    return QSysInfo::machineHostName() + QLatin1Char(' ') + QString::number(QCoreApplication::applicationPid());
}

inline QString seconds(qint64 milliseconds)
{
    return QString::number(double(milliseconds) / 1000.0, 'f', 1);
}

// The UTC day as a store's record of the checks of its whole file counts it, a Julian day number.
// That record is the store's PRAGMA user_version: the day of the last check that found it sound;
// that day negated once damage was found in it, by a check or by SQLite as it was written; 0
// before its first check. It is in the file's header: read at no cost, written without a table.
inline int today()
{
    return int(QDateTime::currentDateTimeUtc().date().toJulianDay());
}

// Whether LIKE '%part%' finds part in text, as SQLite matches: ASCII letters of either case alike.
inline bool likeContains(const QString &text, const QString &part)
{
    auto folded = [](QString letters) {
        for (QChar &letter : letters)
            if (letter >= QLatin1Char('A') && letter <= QLatin1Char('Z'))
                letter = QChar(letter.unicode() + ('a' - 'A'));
        return letters;
    };
    return folded(text).contains(folded(part));
}

inline QString quoted(QString name)
{
    return QLatin1Char('"') + name.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

// A statement for each table and index of the database that reads its last entry alone: the
// right edge of its tree, from its root down. False with *error when the schema cannot be read.
inline bool lastEntries(QSqlDatabase &database, QStringList *statements, QSqlError *error)
{
    QSqlQuery query(database);
    QList<QStringList> trees; // type, name, table, SQL
    if (query.exec(QStringLiteral("SELECT type, name, tbl_name, sql FROM sqlite_master WHERE type IN ('table', 'index')")))
        while (query.next())
            trees << QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                                 query.value(3).toString()};
    for (const QStringList &tree : trees) {
        if (query.lastError().isValid())
            break;
        const bool index = tree.at(0) == QLatin1String("index");
        const QString &sql = tree.at(3);
        QString first = QStringLiteral("rowid"); // the column the tree is ordered by first
        if (index || sql.contains(QLatin1String("WITHOUT ROWID"), Qt::CaseInsensitive)) {
            query.prepare(index ? QStringLiteral("SELECT name FROM pragma_index_info(?) WHERE seqno = 0")
                                : QStringLiteral("SELECT name FROM pragma_table_info(?) WHERE pk = 1"));
            query.addBindValue(tree.at(1));
            first = query.exec() && query.next() ? query.value(0).toString() : QString();
            if (first.isEmpty())
                continue; // an index of an expression, or an error said below
            first = quoted(first);
        }
        // A partial index is read with its condition.
        const int partial = index ? sql.indexOf(QLatin1String(" WHERE "), 0, Qt::CaseInsensitive) : -1;
        *statements << QStringLiteral("SELECT %1 FROM %2%3%4 ORDER BY %1 DESC LIMIT 1")
                           .arg(first, quoted(tree.at(2)),
                                index ? QStringLiteral(" INDEXED BY ") + quoted(tree.at(1)) : QString(),
                                partial >= 0 ? sql.mid(partial) : QString());
    }
    *error = query.lastError();
    return !error->isValid();
}

inline QString newerText(int version)
{
    return QStringLiteral("the results store was written by a newer rfbench (schema %1; this one knows %2)")
        .arg(version)
        .arg(StoreSchema::current);
}

// Statements; each is prepared once per connection.
inline constexpr char insertRun[] =
    "INSERT INTO runs (station, user, version, started, measurement, outcome, setup, instruments, identities,"
    " note, writer, data_folder, unit, operator) VALUES (?, ?, ?, ?, ?, 'running', ?, ?, ?, ?, ?, ?, ?, ?)";
inline constexpr char runningRuns[] = "SELECT id, station, writer FROM runs WHERE outcome = 'running'";
inline constexpr char interruptRun[] = "UPDATE runs SET outcome = 'interrupted' WHERE id = ? AND outcome = 'running'";
inline constexpr char insertPoint[] = "INSERT INTO points (run, pass, number, measured_at, row_kind, workbook, point_index,"
                           " " STORED_POINT_VALUES ", in_workbook, " STORED_POINT_JUDGEMENT ", correction)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
inline constexpr char insertPeak[] = "INSERT INTO peaks (point, number, frequency, level, correction) VALUES (?, ?, ?, ?, ?)";
inline constexpr char insertRunTable[] = "INSERT INTO run_tables (run, path, source, text, sha256, due, interpolation, beyond)"
                                         " VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
inline constexpr char insertPass[] = "INSERT INTO passes (run, pass, output_power, started) VALUES (?, ?, ?, ?)";
inline constexpr char insertTrouble[] = "INSERT INTO troubles (run, at, instrument, text) VALUES (?, ?, ?, ?)";
inline constexpr char placePoint[] = "UPDATE points SET in_workbook = ? WHERE id = ?";
inline constexpr char placeRow[] = "UPDATE points SET placed_path = ?, placed_sheet = ?, placed_row = ? WHERE id = ?";
inline constexpr char placedRows[] = "SELECT id, placed_path, placed_sheet, placed_row FROM points"
                          " WHERE placed_path = ? AND placed_row > ? ORDER BY placed_row";
inline constexpr char folderOfRun[] = "SELECT data_folder FROM runs WHERE id = ?";
inline constexpr char unmarkedOfRun[] = "SELECT COUNT(*) FROM points WHERE run = ? AND in_workbook IS NULL";
inline constexpr char endRunSql[] = "UPDATE runs SET outcome = ?, ended = ? WHERE id = ?";
inline constexpr char verdictSql[] =
    "UPDATE runs SET verdict = ?, failed_points = ?, marginal_points = ?, unread_points = ? WHERE id = ?";
inline constexpr char reopenRunSql[] = "UPDATE runs SET outcome = 'running', ended = NULL, writer = ? WHERE id = ?";
// A point's columns, in the order pointsWhere reads them; the places, the judgement and the
// correction read as NULL in a store of a layout before them.
#define POINT_COLUMNS(places, judgement)                                                                  \
    "SELECT id, run, pass, number, measured_at, row_kind, workbook, point_index, " STORED_POINT_VALUES   \
    ", in_workbook, " places ", " judgement " FROM points"
#define POINT_PLACES "placed_path, placed_sheet, placed_row, (SELECT data_folder FROM runs WHERE runs.id = run)"
#define NO_POINT_PLACES "NULL, NULL, NULL, NULL"
#define POINT_JUDGEMENT STORED_POINT_JUDGEMENT ", correction"
#define UNCORRECTED_POINT_JUDGEMENT STORED_POINT_JUDGEMENT ", NULL"
#define NO_POINT_JUDGEMENT "NULL, NULL, NULL, NULL, NULL, NULL"
inline constexpr char waitingPoints[] =
    POINT_COLUMNS(POINT_PLACES, POINT_JUDGEMENT) " WHERE in_workbook IS NULL ORDER BY id";
inline constexpr int firstValueColumn = 8; // of the points' columns
inline constexpr int firstJudgementColumn = 20;
inline constexpr int correctionColumn = 25;
inline constexpr char peaksOfWaiting[] = "SELECT point, frequency, level, correction FROM peaks"
                              " WHERE point IN (SELECT id FROM points WHERE in_workbook IS NULL)"
                              " ORDER BY point, number";
inline constexpr char pointsOfRun[] =
    POINT_COLUMNS(POINT_PLACES, POINT_JUDGEMENT) " WHERE run = ? ORDER BY id";
// The same of a store of a layout before the corrections, of one before the judgements too, and
// of one before the rows' places as well.
inline constexpr char pointsOfUncorrectedRun[] =
    POINT_COLUMNS(POINT_PLACES, UNCORRECTED_POINT_JUDGEMENT) " WHERE run = ? ORDER BY id";
inline constexpr char pointsOfUnjudgedRun[] =
    POINT_COLUMNS(POINT_PLACES, NO_POINT_JUDGEMENT) " WHERE run = ? ORDER BY id";
inline constexpr char pointsOfOlderRun[] =
    POINT_COLUMNS(NO_POINT_PLACES, NO_POINT_JUDGEMENT) " WHERE run = ? ORDER BY id";
#define PEAKS_OF_RUN(correction)                                                                           \
    "SELECT point, frequency, level, " correction " FROM peaks"                                            \
    " WHERE point IN (SELECT id FROM points WHERE run = ?) ORDER BY point, number"
inline constexpr char peaksOfRun[] = PEAKS_OF_RUN("correction");
inline constexpr char peaksOfUncorrectedRun[] = PEAKS_OF_RUN("NULL");
inline constexpr char tablesOfRun[] =
    "SELECT path, source, text, sha256, due, interpolation, beyond FROM run_tables WHERE run = ? ORDER BY rowid";
inline constexpr char workbooksOfRun[] = "SELECT workbook FROM run_workbooks WHERE run = ? ORDER BY rowid";
inline constexpr char troublesOfRun[] = "SELECT at, instrument, text FROM troubles WHERE run = ? ORDER BY id";
inline constexpr char passesOfRun[] = "SELECT pass, output_power, started FROM passes WHERE run = ? ORDER BY rowid";
// A run's columns as StoredRows::summaryOf and judgementOf read them: the judgement from column
// 16 on; empty in a store of a layout before it.
#define RUN_COLUMNS(judgement)                                                                            \
    "id, station, user, version, started, ended, measurement, outcome, setup, instruments, identities,"   \
    " note, point_count, pass_count, trouble_count, writer, " judgement
#define RUN_JUDGEMENT "unit, operator, verdict, failed_points, marginal_points, unread_points"
#define NO_RUN_JUDGEMENT "'' AS unit, '' AS operator, '' AS verdict, 0, 0, 0"
inline constexpr int firstRunJudgementColumn = 16;
// Newest first; a run matches the text in its measurement, station, setup or workbooks (told by
// the column after the judgement), in its unit or operator, or in its outcome as shown; and the
// unit whole, as recorded. Its outcome and verdict as shown only reading tells for a run recorded
// as running: these are all listed, and so are the runs whose verdict may show as INCOMPLETE, for
// the reader to take those that match.
#define LIST_RUNS(judgement)                                                                               \
    "SELECT * FROM (SELECT " RUN_COLUMNS(judgement) ", ? <> '' AND (measurement LIKE ? ESCAPE '\\'"     \
    " OR station LIKE ? ESCAPE '\\' OR setup LIKE ? ESCAPE '\\' OR EXISTS (SELECT 1 FROM run_workbooks" \
    " WHERE run_workbooks.run = runs.id AND workbook LIKE ? ESCAPE '\\')) AS elsewhere"                   \
    " FROM runs WHERE started >= ? AND (? = '' OR station = ?))"                                          \
    " WHERE (? = '' OR elsewhere OR unit LIKE ? ESCAPE '\\' OR operator LIKE ? ESCAPE '\\'"             \
    " OR outcome LIKE ? ESCAPE '\\' OR outcome = 'running')"                                             \
    " AND (? = '' OR unit = ?)"                                                                           \
    " AND (? = '' OR verdict = ? OR (? = 'INCOMPLETE' AND verdict NOT IN ('', 'FAIL')))"                  \
    " ORDER BY started DESC, id DESC"
inline constexpr int elsewhereColumn = 22;
inline constexpr char listRuns[] = LIST_RUNS(RUN_JUDGEMENT);
inline constexpr char listUnjudgedRuns[] = LIST_RUNS(NO_RUN_JUDGEMENT);
inline constexpr char stationsWithRuns[] = "SELECT DISTINCT station FROM runs ORDER BY station";
inline constexpr char oneRun[] = "SELECT " RUN_COLUMNS(RUN_JUDGEMENT) " FROM runs WHERE id = ?";
inline constexpr char oneUnjudgedRun[] = "SELECT " RUN_COLUMNS(NO_RUN_JUDGEMENT) " FROM runs WHERE id = ?";

} // namespace StoreSql
