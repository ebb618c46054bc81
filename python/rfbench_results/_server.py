"""A shared results server, read through psycopg2."""

from ._frames import StoreError, checked_version, peaks_frame, points_frame, runs_frame, since_text

# The newest server layout this package reads.
KNOWN_VERSION = 5


class ServerStore:
    """A results server read in read-only transactions. A run is known by the server's id; the
    outcome is the one last recorded (a station's writer cannot be asked from here)."""

    def __init__(self, url):
        try:
            import psycopg2
            import psycopg2.extras
        except ImportError:
            raise StoreError("reading a results server needs psycopg2 (Debian: python3-psycopg2)") from None
        self._psycopg2 = psycopg2
        try:
            self._db = psycopg2.connect(url)
            self._db.set_session(readonly=True, autocommit=True)
            self._cursor_factory = psycopg2.extras.RealDictCursor
            version = self._rows("SELECT MAX(version) AS version FROM schema_version")[0]["version"]
        except psycopg2.Error as error:
            raise StoreError("the results server cannot be read: %s" % str(error).strip()) from None
        self.version = checked_version(version, KNOWN_VERSION, "the results server")

    def _rows(self, sql, arguments=()):
        with self._db.cursor(cursor_factory=self._cursor_factory) as cursor:
            cursor.execute(sql, arguments)
            return [dict(row) for row in cursor.fetchall()]

    def runs(self, since=None, unit=None, station=None):
        sql = ("SELECT id, station, \"user\", started, ended, measurement, outcome, point_count, pass_count,"
               " trouble_count, unit, operator, verdict, failed_points, marginal_points, unread_points"
               " FROM run_list WHERE true")
        arguments = []
        if since is not None:
            sql += " AND started >= %s::timestamptz"
            arguments.append(since_text(since))
        if unit is not None:
            sql += " AND unit = %s"
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
        rows = self._rows(
            "SELECT %s AS run, pass, number, measured_at, row_kind, workbook, frequency, reading, output_power,"
            " synthesizer_power, temperature, span, bandwidth, NULL AS in_workbook, verdict, limit_margin,"
            " limit_upper, limit_lower, limit_spur, correction FROM points"
            " WHERE station = %s AND store = %s AND run = %s ORDER BY local_id",
            (int(run), key["station"], key["store"], key["local_id"]))
        return points_frame(rows)

    def peaks(self, run):
        key = self._where(run)
        rows = self._rows(
            "SELECT %s AS run, p.pass, p.number AS point, k.number AS peak, k.frequency, k.level, k.correction"
            " FROM peaks k JOIN points p ON p.station = k.station AND p.store = k.store AND p.local_id = k.point"
            " WHERE p.station = %s AND p.store = %s AND p.run = %s ORDER BY p.local_id, k.number",
            (int(run), key["station"], key["store"], key["local_id"]))
        return peaks_frame(rows)

    def close(self):
        if self._db is not None:
            self._db.close()
            self._db = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
