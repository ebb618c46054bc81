#include "StoreSchema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace StoreSchema {

namespace {

// Layout 1: the records. Times are UTC texts, "2026-12-08T10:32:00.123Z"; a value that is not a
// number is NULL. Records are only ever added: the triggers refuse deleting them and changing
// what was measured.
QStringList records()
{
    return {
        QStringLiteral("PRAGMA application_id = %1").arg(applicationId),
        QStringLiteral("CREATE TABLE schema_version ("
                       " version INTEGER PRIMARY KEY,"
                       " applied TEXT NOT NULL,"
                       " program TEXT NOT NULL)"),
        QStringLiteral(
            "CREATE TABLE runs ("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " station TEXT NOT NULL,"
            " user TEXT NOT NULL,"
            " version TEXT NOT NULL,"
            " started TEXT NOT NULL,"
            " ended TEXT,"
            " measurement TEXT NOT NULL,"
            " outcome TEXT NOT NULL"
            "  CHECK (outcome IN ('running', 'finished', 'stopped', 'interrupted', 'failed')),"
            " setup,"
            " instruments TEXT NOT NULL,"
            " identities TEXT NOT NULL,"
            " note TEXT NOT NULL,"
            " writer TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE passes ("
                       " run INTEGER NOT NULL REFERENCES runs(id),"
                       " pass INTEGER NOT NULL,"
                       " output_power REAL,"
                       " started TEXT)"),
        QStringLiteral("CREATE INDEX passes_of_run ON passes(run, pass)"),
        QStringLiteral("CREATE TABLE points ("
                       " id INTEGER PRIMARY KEY,"
                       " run INTEGER NOT NULL REFERENCES runs(id),"
                       " pass INTEGER NOT NULL,"
                       " number INTEGER NOT NULL,"
                       " measured_at TEXT,"
                       " row_kind TEXT NOT NULL CHECK (row_kind IN ('sweep', 'step', 'spur')),"
                       " workbook TEXT NOT NULL,"
                       " point_index INTEGER NOT NULL,"
                       " frequency REAL,"
                       " reading REAL,"
                       " output_power REAL,"
                       " synthesizer_power REAL,"
                       " temperature REAL,"
                       " span REAL,"
                       " bandwidth REAL,"
                       " in_workbook TEXT)"),
        QStringLiteral("CREATE INDEX points_of_run ON points(run)"),
        QStringLiteral("CREATE TABLE peaks ("
                       " point INTEGER NOT NULL REFERENCES points(id),"
                       " number INTEGER NOT NULL,"
                       " frequency REAL,"
                       " level REAL,"
                       " PRIMARY KEY (point, number)) WITHOUT ROWID"),
        QStringLiteral("CREATE TABLE troubles ("
                       " id INTEGER PRIMARY KEY,"
                       " run INTEGER NOT NULL REFERENCES runs(id),"
                       " at TEXT,"
                       " instrument TEXT NOT NULL,"
                       " text TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX troubles_of_run ON troubles(run)"),
        QStringLiteral("CREATE TRIGGER runs_kept BEFORE DELETE ON runs"
                       " BEGIN SELECT RAISE(ABORT, 'runs are kept'); END"),
        QStringLiteral("CREATE TRIGGER passes_kept BEFORE DELETE ON passes"
                       " BEGIN SELECT RAISE(ABORT, 'passes are kept'); END"),
        QStringLiteral("CREATE TRIGGER points_kept BEFORE DELETE ON points"
                       " BEGIN SELECT RAISE(ABORT, 'points are kept'); END"),
        QStringLiteral("CREATE TRIGGER peaks_kept BEFORE DELETE ON peaks"
                       " BEGIN SELECT RAISE(ABORT, 'peaks are kept'); END"),
        QStringLiteral("CREATE TRIGGER troubles_kept BEFORE DELETE ON troubles"
                       " BEGIN SELECT RAISE(ABORT, 'troubles are kept'); END"),
        QStringLiteral("CREATE TRIGGER points_as_measured BEFORE UPDATE OF id, run, pass, number, measured_at,"
                       " row_kind, workbook, point_index, frequency, reading, output_power, synthesizer_power,"
                       " temperature, span, bandwidth ON points"
                       " BEGIN SELECT RAISE(ABORT, 'measured points are not changed'); END"),
        QStringLiteral("CREATE TRIGGER peaks_as_measured BEFORE UPDATE ON peaks"
                       " BEGIN SELECT RAISE(ABORT, 'measured peaks are not changed'); END"),
    };
}

// Layout 2: what lists need without reading every point: counts kept in runs, the workbooks of
// each run, the runs by start and the points whose rows wait for their workbook.
QStringList lists()
{
    return {
        QStringLiteral("ALTER TABLE runs ADD COLUMN point_count INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN pass_count INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN trouble_count INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("UPDATE runs SET"
                       " point_count = (SELECT COUNT(*) FROM points WHERE points.run = runs.id),"
                       " pass_count = (SELECT COUNT(DISTINCT pass) FROM passes WHERE passes.run = runs.id),"
                       " trouble_count = (SELECT COUNT(*) FROM troubles WHERE troubles.run = runs.id)"),
        // In the order the workbooks first appear in the run.
        QStringLiteral("CREATE TABLE run_workbooks ("
                       " run INTEGER NOT NULL REFERENCES runs(id),"
                       " workbook TEXT NOT NULL,"
                       " UNIQUE (run, workbook))"),
        QStringLiteral("INSERT OR IGNORE INTO run_workbooks (run, workbook)"
                       " SELECT run, name FROM (SELECT run, id, 0 AS second, workbook AS name FROM points"
                       "  UNION ALL SELECT run, id, 1, in_workbook FROM points WHERE in_workbook IS NOT NULL)"
                       " ORDER BY id, second"),
        QStringLiteral("CREATE TRIGGER points_counted AFTER INSERT ON points BEGIN"
                       " UPDATE runs SET point_count = point_count + 1 WHERE id = NEW.run;"
                       " INSERT OR IGNORE INTO run_workbooks (run, workbook) VALUES (NEW.run, NEW.workbook);"
                       " INSERT OR IGNORE INTO run_workbooks (run, workbook)"
                       "  SELECT NEW.run, NEW.in_workbook WHERE NEW.in_workbook IS NOT NULL;"
                       " END"),
        QStringLiteral("CREATE TRIGGER points_placed AFTER UPDATE OF in_workbook ON points"
                       " WHEN NEW.in_workbook IS NOT NULL BEGIN"
                       " INSERT OR IGNORE INTO run_workbooks (run, workbook) VALUES (NEW.run, NEW.in_workbook);"
                       " END"),
        QStringLiteral("CREATE TRIGGER passes_counted AFTER INSERT ON passes BEGIN"
                       " UPDATE runs SET pass_count = (SELECT COUNT(DISTINCT pass) FROM passes"
                       "  WHERE passes.run = NEW.run) WHERE id = NEW.run;"
                       " END"),
        QStringLiteral("CREATE TRIGGER troubles_counted AFTER INSERT ON troubles BEGIN"
                       " UPDATE runs SET trouble_count = trouble_count + 1 WHERE id = NEW.run;"
                       " END"),
        QStringLiteral("CREATE INDEX runs_by_start ON runs(started)"),
        QStringLiteral("CREATE INDEX points_waiting ON points(id) WHERE in_workbook IS NULL"),
    };
}

// Layout 3: the store's identity, which its rows carry on a shared results server so that a store
// made afresh under a station's name never meets the ids of the one before. A store that already
// has runs keeps the empty identity its rows went up with before there were identities.
QStringList identity()
{
    return {
        QStringLiteral("CREATE TABLE store_identity (id TEXT NOT NULL)"),
        QStringLiteral("INSERT INTO store_identity (id) SELECT CASE WHEN EXISTS (SELECT 1 FROM runs) THEN ''"
                       " ELSE lower(hex(randomblob(16))) END"),
        QStringLiteral("CREATE TRIGGER store_identity_kept BEFORE DELETE ON store_identity"
                       " BEGIN SELECT RAISE(ABORT, 'the store keeps its identity'); END"),
        QStringLiteral("CREATE TRIGGER store_identity_fixed BEFORE UPDATE ON store_identity"
                       " BEGIN SELECT RAISE(ABORT, 'the store keeps its identity'); END"),
    };
}

// Layout 4: where each run's rows go and where each row stands. A run records its data folder, so
// that its rows are written there whatever folder a later start has; a point records the file,
// sheet and row its row takes before the row is saved, so that after a kill between the save and
// its mark the row is found at its place rather than guessed.
QStringList places()
{
    return {
        QStringLiteral("ALTER TABLE runs ADD COLUMN data_folder TEXT"),
        QStringLiteral("ALTER TABLE points ADD COLUMN placed_path TEXT"),
        QStringLiteral("ALTER TABLE points ADD COLUMN placed_sheet TEXT"),
        QStringLiteral("ALTER TABLE points ADD COLUMN placed_row INTEGER"),
    };
}

// Layout 5: the judgement of a test station. A point keeps its verdict, its margin to the nearest
// limit and the limits at its frequency, all NULL for a run without limits; a run keeps the unit
// under test, the operator, and its verdict with its counts as the worker last wrote them (empty:
// no limits). What a point was judged is part of what was measured.
QStringList judgements()
{
    return {
        QStringLiteral("ALTER TABLE runs ADD COLUMN unit TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN operator TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN verdict TEXT NOT NULL DEFAULT ''"
                       " CHECK (verdict IN ('', 'PASS', 'MARGINAL', 'NO READING', 'FAIL', 'INCOMPLETE'))"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN failed_points INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN marginal_points INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE runs ADD COLUMN unread_points INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("CREATE INDEX runs_by_unit ON runs(unit, started) WHERE unit <> ''"),
        QStringLiteral("ALTER TABLE points ADD COLUMN verdict TEXT"
                       " CHECK (verdict IN ('PASS', 'MARGINAL', 'NO READING', 'FAIL'))"),
        QStringLiteral("ALTER TABLE points ADD COLUMN limit_margin REAL"),
        QStringLiteral("ALTER TABLE points ADD COLUMN limit_upper REAL"),
        QStringLiteral("ALTER TABLE points ADD COLUMN limit_lower REAL"),
        QStringLiteral("ALTER TABLE points ADD COLUMN limit_spur REAL"),
        QStringLiteral("DROP TRIGGER IF EXISTS points_as_measured"),
        QStringLiteral("CREATE TRIGGER points_as_measured BEFORE UPDATE OF id, run, pass, number, measured_at,"
                       " row_kind, workbook, point_index, frequency, reading, output_power, synthesizer_power,"
                       " temperature, span, bandwidth, verdict, limit_margin, limit_upper, limit_lower, limit_spur"
                       " ON points BEGIN SELECT RAISE(ABORT, 'measured points are not changed'); END"),
    };
}

// Layout 6: path-loss corrections. A point keeps the loss added to its reading and a peak the
// loss added to its level, NULL where no table was on the path; the values as measured stay. A
// run keeps every correction table it used, whole, so that a file changed later changes nothing
// of its record. Both are part of what was measured.
QStringList corrections()
{
    return {
        QStringLiteral("ALTER TABLE points ADD COLUMN correction REAL"),
        QStringLiteral("ALTER TABLE peaks ADD COLUMN correction REAL"),
        QStringLiteral("CREATE TABLE run_tables ("
                       " run INTEGER NOT NULL REFERENCES runs(id),"
                       " path TEXT NOT NULL CHECK (path IN ('powerMeter.A', 'powerMeter.B', 'analyzer')),"
                       " source TEXT NOT NULL,"
                       " text BLOB NOT NULL,"
                       " sha256 TEXT NOT NULL CHECK (length(sha256) = 64 AND sha256 NOT GLOB '*[^0-9a-f]*'),"
                       " due TEXT CHECK (due IS NULL OR due GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]'),"
                       " interpolation TEXT NOT NULL CHECK (interpolation IN ('linear', 'log')),"
                       " beyond TEXT NOT NULL CHECK (beyond IN ('refuse', 'hold')),"
                       " UNIQUE (run, path))"),
        QStringLiteral("CREATE TRIGGER run_tables_kept BEFORE DELETE ON run_tables"
                       " BEGIN SELECT RAISE(ABORT, 'correction tables are kept'); END"),
        QStringLiteral("CREATE TRIGGER run_tables_as_used BEFORE UPDATE ON run_tables"
                       " BEGIN SELECT RAISE(ABORT, 'correction tables are not changed'); END"),
        QStringLiteral("DROP TRIGGER IF EXISTS points_as_measured"),
        QStringLiteral("CREATE TRIGGER points_as_measured BEFORE UPDATE OF id, run, pass, number, measured_at,"
                       " row_kind, workbook, point_index, frequency, reading, output_power, synthesizer_power,"
                       " temperature, span, bandwidth, verdict, limit_margin, limit_upper, limit_lower, limit_spur,"
                       " correction ON points BEGIN SELECT RAISE(ABORT, 'measured points are not changed'); END"),
    };
}

} // namespace

QStringList step(int version)
{
    switch (version) {
    case 1:
        return records();
    case 2:
        return lists();
    case 3:
        return identity();
    case 4:
        return places();
    case 5:
        return judgements();
    case 6:
        return corrections();
    default:
        return {};
    }
}

bool readIdentity(QSqlDatabase &database, QString *identity, QSqlError *error)
{
    *identity = QStringLiteral("");
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'store_identity'")) || !query.next()) {
        *error = query.lastError();
        return false;
    }
    if (query.value(0).toInt() == 0)
        return true;
    if (!query.exec(QStringLiteral("SELECT id FROM store_identity")) || !query.next()) {
        *error = query.lastError();
        return false;
    }
    if (!query.value(0).toString().isNull())
        *identity = query.value(0).toString();
    return true;
}

} // namespace StoreSchema
