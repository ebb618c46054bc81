"""A shared results server, read through psycopg2."""

from ._frames import (LATER_POINT_COLUMNS, LATER_RUN_COLUMNS, StoreError, checked_version, column_or,
                      peaks_frame, points_frame, runs_frame, since_text)

# The newest server layout this package reads, and the oldest that has what the frames need (each
# row's store).
KNOWN_VERSION = 5
READABLE_FROM = 2


class ServerStore:
    """A results server read in read-only transactions. A run is known by the server's id; the
    outcome is the one last recorded (a station's writer cannot be asked from here); in_workbook is
    missing: the server does not keep where a point's row was written."""

    def __init__(self, url):
        try:
            import psycopg2
            import psycopg2.extras
        except ImportError:
            raise StoreError("reading a results server needs psycopg2 (Debian: python3-psycopg2)") from None
        try:
            self._db = psycopg2.connect(url)
            self._db.set_session(readonly=True, autocommit=True)
            self._cursor_factory = psycopg2.extras.RealDictCursor
            version = self._rows("SELECT MAX(version) AS version FROM schema_version")[0]["version"]
            self.version = checked_version(version, KNOWN_VERSION, "the results server")
            if self.version < READABLE_FROM:
                raise StoreError("the results server has schema %d, older than this package reads (%d); the "
                                 "owner's rfbench upgrades it at its next connection" % (self.version, READABLE_FROM))
            # A server the owner has not upgraded yet lacks the columns of the layouts after its own.
            self._run_columns = self._columns("run_list")
            self._point_columns = self._columns("points")
            self._peak_columns = self._columns("peaks")
        except psycopg2.Error as error:
            self.close()
            raise StoreError("the results server cannot be read: %s" % str(error).strip()) from None
        except StoreError:
            self.close()
            raise

    def _columns(self, table):
        return {row["attname"] for row in self._rows(
            "SELECT attname FROM pg_attribute WHERE attrelid = to_regclass(%s) AND attnum > 0 AND NOT attisdropped",
            (table,))}

    def _rows(self, sql, arguments=()):
        with self._db.cursor(cursor_factory=self._cursor_factory) as cursor:
            cursor.execute(sql, arguments)
            return [dict(row) for row in cursor.fetchall()]

    def runs(self, since=None, unit=None, station=None):
        later = ", ".join(column_or(self._run_columns, name, value) for name, value in LATER_RUN_COLUMNS.items())
        sql = ("SELECT id, station, \"user\", started, ended, measurement, outcome, point_count, pass_count,"
               " trouble_count, " + later + " FROM run_list WHERE true")
        arguments = []
        if since is not None:
            sql += " AND started >= %s::timestamptz"
            arguments.append(since_text(since))
        if unit is not None:
            sql += " AND %s = %%s" % ("unit" if "unit" in self._run_columns else "''")
            arguments.append(unit)
        if station is not None:
            sql += " AND station = %s"
            arguments.append(station)
        return runs_frame(self._rows(sql + " ORDER BY started, id", arguments))

    def _where(self, run):
        found = self._rows("SELECT station, store, local_id FROM runs WHERE id = %s", (int(run),))
        if not found:
            raise StoreError("the results server has no run %d" % int(run))
        return found[0]

    def points(self, run):
        key = self._where(run)
        later = ", ".join(column_or(self._point_columns, name) for name in LATER_POINT_COLUMNS)
        rows = self._rows(
            "SELECT %s AS run, pass, number, measured_at, row_kind, workbook, frequency, reading, output_power,"
            " synthesizer_power, temperature, span, bandwidth, NULL AS in_workbook, " + later + " FROM points"
            " WHERE station = %s AND store = %s AND run = %s ORDER BY local_id",
            (int(run), key["station"], key["store"], key["local_id"]))
        return points_frame(rows)

    def peaks(self, run):
        key = self._where(run)
        correction = "k.correction" if "correction" in self._peak_columns else "NULL AS correction"
        rows = self._rows(
            "SELECT %s AS run, p.pass, p.number AS point, k.number AS peak, k.frequency, k.level, " + correction +
            " FROM peaks k JOIN points p ON p.station = k.station AND p.store = k.store AND p.local_id = k.point"
            " WHERE p.station = %s AND p.store = %s AND p.run = %s ORDER BY p.local_id, k.number",
            (int(run), key["station"], key["store"], key["local_id"]))
        return peaks_frame(rows)

    def close(self):
        database, self._db = getattr(self, "_db", None), None
        if database is not None:
            database.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
