#include "ServerSchema.h"

namespace ServerSchema {

namespace {

// Layout 1: the records of every station. Rows are only ever added (a station's role may only
// insert and select): a run's later outcomes are rows of run_outcomes, and run_list shows each
// run as it stands now.
QStringList records()
{
    return {
        QStringLiteral("CREATE TABLE schema_version ("
                       " version integer PRIMARY KEY,"
                       " applied timestamptz NOT NULL DEFAULT now(),"
                       " program text NOT NULL)"),
        QStringLiteral("CREATE TABLE runs ("
                       " id bigserial PRIMARY KEY,"
                       " station text NOT NULL,"
                       " local_id bigint NOT NULL,"
                       " \"user\" text NOT NULL,"
                       " version text NOT NULL,"
                       " started timestamptz NOT NULL,"
                       " ended timestamptz,"
                       " measurement text NOT NULL,"
                       " outcome text NOT NULL"
                       "  CHECK (outcome IN ('running', 'finished', 'stopped', 'interrupted', 'failed')),"
                       " setup bytea,"
                       " instruments text NOT NULL,"
                       " identities text NOT NULL,"
                       " note text NOT NULL,"
                       " writer text NOT NULL,"
                       " UNIQUE (station, local_id))"),
        QStringLiteral("CREATE INDEX runs_by_start ON runs(started)"),
        QStringLiteral("CREATE TABLE run_outcomes ("
                       " station text NOT NULL,"
                       " run bigint NOT NULL,"
                       " number integer NOT NULL,"
                       " outcome text NOT NULL"
                       "  CHECK (outcome IN ('running', 'finished', 'stopped', 'interrupted', 'failed')),"
                       " ended timestamptz,"
                       " recorded timestamptz NOT NULL DEFAULT now(),"
                       " PRIMARY KEY (station, run, number))"),
        QStringLiteral("CREATE TABLE passes ("
                       " station text NOT NULL,"
                       " local_id bigint NOT NULL,"
                       " run bigint NOT NULL,"
                       " pass integer NOT NULL,"
                       " output_power double precision,"
                       " started timestamptz,"
                       " PRIMARY KEY (station, local_id))"),
        QStringLiteral("CREATE TABLE points ("
                       " station text NOT NULL,"
                       " local_id bigint NOT NULL,"
                       " run bigint NOT NULL,"
                       " pass integer NOT NULL,"
                       " number bigint NOT NULL,"
                       " measured_at timestamptz,"
                       " row_kind text NOT NULL CHECK (row_kind IN ('sweep', 'step', 'spur')),"
                       " workbook text NOT NULL,"
                       " point_index bigint NOT NULL,"
                       " frequency double precision,"
                       " reading double precision,"
                       " output_power double precision,"
                       " synthesizer_power double precision,"
                       " temperature double precision,"
                       " span double precision,"
                       " bandwidth double precision,"
                       " PRIMARY KEY (station, local_id))"),
        QStringLiteral("CREATE INDEX points_of_run ON points(station, run)"),
        QStringLiteral("CREATE TABLE peaks ("
                       " station text NOT NULL,"
                       " point bigint NOT NULL,"
                       " number integer NOT NULL,"
                       " frequency double precision,"
                       " level double precision,"
                       " PRIMARY KEY (station, point, number))"),
        QStringLiteral("CREATE TABLE troubles ("
                       " station text NOT NULL,"
                       " local_id bigint NOT NULL,"
                       " run bigint NOT NULL,"
                       " at timestamptz,"
                       " instrument text NOT NULL,"
                       " text text NOT NULL,"
                       " PRIMARY KEY (station, local_id))"),
        QStringLiteral("CREATE TABLE run_workbooks ("
                       " station text NOT NULL,"
                       " local_id bigint NOT NULL,"
                       " run bigint NOT NULL,"
                       " workbook text NOT NULL,"
                       " PRIMARY KEY (station, local_id))"),
        QStringLiteral(
            "CREATE VIEW run_list AS SELECT r.id, r.station, r.local_id, r.\"user\", r.version, r.started,"
            " CASE WHEN o.number IS NULL THEN r.ended ELSE o.ended END AS ended, r.measurement,"
            " COALESCE(o.outcome, r.outcome) AS outcome, r.setup, r.instruments, r.identities, r.note, r.writer,"
            " (SELECT count(*) FROM points p WHERE p.station = r.station AND p.run = r.local_id) AS point_count,"
            " (SELECT count(DISTINCT pass) FROM passes s WHERE s.station = r.station AND s.run = r.local_id)"
            "  AS pass_count,"
            " (SELECT count(*) FROM troubles t WHERE t.station = r.station AND t.run = r.local_id) AS trouble_count"
            " FROM runs r LEFT JOIN LATERAL (SELECT number, outcome, ended FROM run_outcomes x"
            "  WHERE x.station = r.station AND x.run = r.local_id ORDER BY number DESC LIMIT 1) o ON true"),
    };
}

// Layout 2: each row carries the identity of the local store it came from besides its station,
// so that a store made afresh under a station's name never meets the ids of the one before. Rows
// sent before keep the empty identity, which a store of those days keeps too. run_list gives it,
// and setup_text reads a setup as text for searching, whatever bytes it holds.
QStringList stores()
{
    QStringList sql;
    for (const char *table : {"runs", "run_outcomes", "passes", "points", "peaks", "troubles", "run_workbooks"})
        sql << QStringLiteral("ALTER TABLE %1 ADD COLUMN store text NOT NULL DEFAULT ''").arg(QLatin1String(table));
    sql << QStringLiteral("ALTER TABLE runs DROP CONSTRAINT runs_station_local_id_key,"
                          " ADD CONSTRAINT runs_station_store_local_id_key UNIQUE (station, store, local_id)")
        << QStringLiteral("ALTER TABLE run_outcomes DROP CONSTRAINT run_outcomes_pkey,"
                          " ADD PRIMARY KEY (station, store, run, number)")
        << QStringLiteral("ALTER TABLE peaks DROP CONSTRAINT peaks_pkey, ADD PRIMARY KEY (station, store, point, number)");
    for (const char *table : {"passes", "points", "troubles", "run_workbooks"})
        sql << QStringLiteral("ALTER TABLE %1 DROP CONSTRAINT %1_pkey, ADD PRIMARY KEY (station, store, local_id)")
                   .arg(QLatin1String(table));
    sql << QStringLiteral("DROP INDEX points_of_run")
        << QStringLiteral("CREATE INDEX points_of_run ON points(station, store, run)")
        << QStringLiteral("CREATE INDEX runs_by_station ON runs(station, started)")
        << QStringLiteral("CREATE FUNCTION setup_text(setup bytea) RETURNS text LANGUAGE plpgsql IMMUTABLE AS $$"
                          " BEGIN RETURN convert_from(setup, 'UTF8');"
                          " EXCEPTION WHEN OTHERS THEN RETURN encode(setup, 'escape'); END $$")
        << QStringLiteral("CREATE INDEX runs_by_store ON runs(store)")
        // Replaced, not dropped: the grants a station was given on it stay.
        << QStringLiteral(
               "CREATE OR REPLACE VIEW run_list AS SELECT r.id, r.station, r.local_id, r.\"user\", r.version, r.started,"
               " CASE WHEN o.number IS NULL THEN r.ended ELSE o.ended END AS ended, r.measurement,"
               " COALESCE(o.outcome, r.outcome) AS outcome, r.setup, r.instruments, r.identities, r.note, r.writer,"
               " (SELECT count(*) FROM points p WHERE p.station = r.station AND p.store = r.store"
               "  AND p.run = r.local_id) AS point_count,"
               " (SELECT count(DISTINCT pass) FROM passes s WHERE s.station = r.station AND s.store = r.store"
               "  AND s.run = r.local_id) AS pass_count,"
               " (SELECT count(*) FROM troubles t WHERE t.station = r.station AND t.store = r.store"
               "  AND t.run = r.local_id) AS trouble_count,"
               " r.store"
               " FROM runs r LEFT JOIN LATERAL (SELECT number, outcome, ended FROM run_outcomes x"
               "  WHERE x.station = r.station AND x.store = r.store AND x.run = r.local_id"
               "  ORDER BY number DESC LIMIT 1) o ON true");
    return sql;
}

// Layout 3: a login may be held to the stations station_logins names for it, so that a bench
// writes only as itself; a login without a row there writes as any station (a lab's one shared
// login). Row-level security enforces it on every table a station writes; table owners are not
// held to it, and nobody but the owner changes station_logins.
QStringList logins()
{
    QStringList sql{
        QStringLiteral("CREATE TABLE station_logins ("
                       " login name NOT NULL,"
                       " station text NOT NULL,"
                       " PRIMARY KEY (login, station))"),
        // As its owner: a login need not be able to read the table for its rows to be checked.
        // Its search path names the schema of the tables and puts a session's own temporary
        // tables last: a login must not answer for itself with a station_logins of its own.
        QStringLiteral("DO $do$ BEGIN EXECUTE format("
                       "'CREATE FUNCTION may_write_as(login name, station text) RETURNS boolean LANGUAGE sql STABLE"
                       " SECURITY DEFINER SET search_path = pg_catalog, %1$I, pg_temp AS $f$"
                       " SELECT NOT EXISTS (SELECT 1 FROM %1$I.station_logins l WHERE l.login = $1)"
                       " OR EXISTS (SELECT 1 FROM %1$I.station_logins l WHERE l.login = $1 AND l.station = $2) $f$',"
                       " current_schema()); END $do$"),
        QStringLiteral("ALTER TABLE station_logins ENABLE ROW LEVEL SECURITY"),
        QStringLiteral("CREATE POLICY readable ON station_logins FOR SELECT USING (true)"),
    };
    for (const char *table : {"runs", "run_outcomes", "passes", "points", "peaks", "troubles", "run_workbooks"})
        sql << QStringLiteral("ALTER TABLE %1 ENABLE ROW LEVEL SECURITY").arg(QLatin1String(table))
            << QStringLiteral("CREATE POLICY readable ON %1 FOR SELECT USING (true)").arg(QLatin1String(table))
            << QStringLiteral("CREATE POLICY own_station ON %1 FOR INSERT WITH CHECK (may_write_as(session_user, station))")
                   .arg(QLatin1String(table));
    return sql;
}

// Layout 4: the judgement of a test station, as the local store's layout 5 keeps it. A run's unit,
// operator and verdict as it went up are in runs; a verdict that changed since is a row of
// run_outcomes with the outcome, as an outcome is; rows of before keep NULL there, and run_list
// shows the run's own. Row-level security covers the new columns as it does their tables.
QStringList judgements()
{
    QStringList sql;
    for (const char *column : {"unit text NOT NULL DEFAULT ''", "operator text NOT NULL DEFAULT ''",
                               "verdict text NOT NULL DEFAULT ''", "failed_points bigint NOT NULL DEFAULT 0",
                               "marginal_points bigint NOT NULL DEFAULT 0", "unread_points bigint NOT NULL DEFAULT 0"})
        sql << QStringLiteral("ALTER TABLE runs ADD COLUMN %1").arg(QLatin1String(column));
    for (const char *column : {"verdict text", "failed_points bigint", "marginal_points bigint", "unread_points bigint"})
        sql << QStringLiteral("ALTER TABLE run_outcomes ADD COLUMN %1").arg(QLatin1String(column));
    for (const char *column : {"verdict text", "limit_margin double precision", "limit_upper double precision",
                               "limit_lower double precision", "limit_spur double precision"})
        sql << QStringLiteral("ALTER TABLE points ADD COLUMN %1").arg(QLatin1String(column));
    sql << QStringLiteral("CREATE INDEX runs_by_unit ON runs(unit, started) WHERE unit <> ''")
        // Replaced, not dropped, with the new columns at its end: the grants a station was given
        // on it stay.
        << QStringLiteral(
               "CREATE OR REPLACE VIEW run_list AS SELECT r.id, r.station, r.local_id, r.\"user\", r.version, r.started,"
               " CASE WHEN o.number IS NULL THEN r.ended ELSE o.ended END AS ended, r.measurement,"
               " COALESCE(o.outcome, r.outcome) AS outcome, r.setup, r.instruments, r.identities, r.note, r.writer,"
               " (SELECT count(*) FROM points p WHERE p.station = r.station AND p.store = r.store"
               "  AND p.run = r.local_id) AS point_count,"
               " (SELECT count(DISTINCT pass) FROM passes s WHERE s.station = r.station AND s.store = r.store"
               "  AND s.run = r.local_id) AS pass_count,"
               " (SELECT count(*) FROM troubles t WHERE t.station = r.station AND t.store = r.store"
               "  AND t.run = r.local_id) AS trouble_count,"
               " r.store, r.unit, r.operator,"
               " CASE WHEN o.verdict IS NULL THEN r.verdict ELSE o.verdict END AS verdict,"
               " CASE WHEN o.verdict IS NULL THEN r.failed_points ELSE o.failed_points END AS failed_points,"
               " CASE WHEN o.verdict IS NULL THEN r.marginal_points ELSE o.marginal_points END AS marginal_points,"
               " CASE WHEN o.verdict IS NULL THEN r.unread_points ELSE o.unread_points END AS unread_points"
               " FROM runs r LEFT JOIN LATERAL (SELECT number, outcome, ended, verdict, failed_points,"
               "  marginal_points, unread_points FROM run_outcomes x"
               "  WHERE x.station = r.station AND x.store = r.store AND x.run = r.local_id"
               "  ORDER BY number DESC LIMIT 1) o ON true");
    return sql;
}

// Layout 5: path-loss corrections, as the local store's layout 6 keeps them: the loss added to a
// point's reading and to each peak's level, and every correction table a run used, whole, once per
// run. A station writes the tables of its own runs alone, as it does their points.
QStringList corrections()
{
    return {
        QStringLiteral("ALTER TABLE points ADD COLUMN correction double precision"),
        QStringLiteral("ALTER TABLE peaks ADD COLUMN correction double precision"),
        QStringLiteral("CREATE TABLE run_tables ("
                       " station text NOT NULL,"
                       " store text NOT NULL DEFAULT '',"
                       " run bigint NOT NULL,"
                       " path text NOT NULL CHECK (path IN ('powerMeter.A', 'powerMeter.B', 'analyzer')),"
                       " source text NOT NULL,"
                       " text bytea NOT NULL,"
                       " sha256 text NOT NULL CHECK (sha256 ~ '^[0-9a-f]{64}$'),"
                       " due date,"
                       " interpolation text NOT NULL CHECK (interpolation IN ('linear', 'log')),"
                       " beyond text NOT NULL CHECK (beyond IN ('refuse', 'hold')),"
                       " PRIMARY KEY (station, store, run, path))"),
        QStringLiteral("ALTER TABLE run_tables ENABLE ROW LEVEL SECURITY"),
        QStringLiteral("CREATE POLICY readable ON run_tables FOR SELECT USING (true)"),
        QStringLiteral("CREATE POLICY own_station ON run_tables FOR INSERT WITH CHECK (may_write_as(session_user, station))"),
    };
}

} // namespace

QStringList step(int version)
{
    switch (version) {
    case 1:
        return records();
    case 2:
        return stores();
    case 3:
        return logins();
    case 4:
        return judgements();
    case 5:
        return corrections();
    default:
        return {};
    }
}

} // namespace ServerSchema
