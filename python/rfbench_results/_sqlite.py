"""A local results store, an SQLite file, read without changing or leaving anything."""

import fcntl
import os
import sqlite3
import struct
import urllib.parse

from ._frames import (LATER_POINT_COLUMNS, LATER_RUN_COLUMNS, StoreError, checked_version, column_or,
                      peaks_frame, points_frame, runs_frame, since_text)

# PRAGMA application_id of every results store.
APPLICATION_ID = 0x52464253
# The newest layout this package reads, and the oldest that has what the frames need.
KNOWN_VERSION = 6
READABLE_FROM = 2


def _writer_lives(lock_path, run):
    """Whether a writer holds the run's byte of the lock file beside the store.

    Without the file no run was ever locked; when the lock cannot be asked about, the run is
    taken as living, as rfbench takes it."""
    try:
        descriptor = os.open(lock_path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return False
    except OSError:
        return True
    try:
        # struct flock: l_type, l_whence, l_start, l_len, l_pid (0 for open file description locks).
        asked = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, run, 1, 0)
        answer = fcntl.fcntl(descriptor, fcntl.F_OFD_GETLK, asked)
        return struct.unpack("hhqqi4x", answer)[0] != fcntl.F_UNLCK
    except (OSError, AttributeError):
        return True
    finally:
        os.close(descriptor)


class SqliteStore:
    """A local store opened read-only: the file is never made, and SQLite's log and index that
    reading makes are taken away again when they were not there before."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        if not os.path.isfile(self.path):
            raise StoreError("%s: no such results store" % self.path)
        self._found = {suffix: os.path.exists(self.path + suffix) for suffix in ("-wal", "-shm")}
        uri = "file:%s?mode=ro" % urllib.parse.quote(self.path)
        try:
            self._db = sqlite3.connect(uri, uri=True, isolation_level=None)
            self._db.row_factory = sqlite3.Row
            self._check()
        except sqlite3.DatabaseError as error:
            self.close()
            raise StoreError("%s is not a results store (%s)" % (self.path, error)) from None
        except StoreError:
            self.close()
            raise

    def _check(self):
        if self._scalar("PRAGMA application_id") != APPLICATION_ID:
            raise StoreError("%s is not a results store (it is another program's database)" % self.path)
        version = self._scalar("SELECT MAX(version) FROM schema_version")
        self.version = checked_version(version, KNOWN_VERSION, "the results store %s" % self.path)
        if self.version < READABLE_FROM:
            raise StoreError("the results store %s has schema %d, older than rfbench reads (%d); "
                             "open it once with rfbench to upgrade it" % (self.path, self.version, READABLE_FROM))
        self._run_columns = self._columns("runs")
        self._point_columns = self._columns("points")
        self._peak_columns = self._columns("peaks")

    def _scalar(self, sql, arguments=()):
        return self._db.execute(sql, arguments).fetchone()[0]

    def _columns(self, table):
        return {row[1] for row in self._db.execute("SELECT * FROM pragma_table_info(?)", (table,))}

    def runs(self, since=None, unit=None, station=None):
        """The runs, oldest first; those started at or after since (a time; naive: UTC), of the
        unit and of the station given. A run recorded as running whose writer is gone reads as
        interrupted."""
        later = ", ".join(column_or(self._run_columns, name, value) for name, value in LATER_RUN_COLUMNS.items())
        sql = ("SELECT id, station, user, started, ended, measurement, outcome, point_count, pass_count,"
               " trouble_count, " + later + " FROM runs WHERE started >= ?")
        arguments = [since_text(since)]
        if unit is not None:
            sql += " AND %s = ?" % ("unit" if "unit" in self._run_columns else "''")
            arguments.append(unit)
        if station is not None:
            sql += " AND station = ?"
            arguments.append(station)
        rows = [dict(row) for row in self._db.execute(sql + " ORDER BY started, id", arguments)]
        lock_path = self.path + "-runs"
        for row in rows:
            if row["outcome"] == "running" and not _writer_lives(lock_path, row["id"]):
                row["outcome"] = "interrupted"
        return runs_frame(rows)

    def points(self, run):
        """The run's points in the order measured."""
        later = ", ".join(column_or(self._point_columns, name) for name in LATER_POINT_COLUMNS)
        rows = self._db.execute(
            "SELECT run, pass, number, measured_at, row_kind, workbook, frequency, reading, output_power,"
            " synthesizer_power, temperature, span, bandwidth, in_workbook, " + later +
            " FROM points WHERE run = ? ORDER BY id", (int(run),))
        return points_frame([dict(row) for row in rows])

    def peaks(self, run):
        """The peaks of the run's spur points, the carrier (rank 0) first at each point."""
        correction = "k.correction" if "correction" in self._peak_columns else "NULL AS correction"
        rows = self._db.execute(
            "SELECT p.run, p.pass, p.number AS point, k.number AS peak, k.frequency, k.level, " + correction +
            " FROM peaks k JOIN points p ON p.id = k.point WHERE p.run = ? ORDER BY p.id, k.number", (int(run),))
        return peaks_frame([dict(row) for row in rows])

    def close(self):
        database, self._db = getattr(self, "_db", None), None
        if database is None:
            return
        database.close()
        self._tidy()

    def _tidy(self):
        # A read-only connection leaves the log it opened, empty, and its index behind; a
        # connection that may write takes both away when it is the store's last one, as SQLite
        # decides under its own locks. Opened without "create": a store moved away meanwhile
        # leaves nothing new at its path.
        log = self.path + "-wal"
        if self._found["-wal"] or not os.path.exists(log) or os.path.getsize(log) != 0 \
                or not os.access(self.path, os.W_OK) or not os.access(os.path.dirname(self.path), os.W_OK):
            return
        try:
            writer = sqlite3.connect("file:%s?mode=rw" % urllib.parse.quote(self.path), uri=True,
                                     isolation_level=None)
            try:
                writer.execute("PRAGMA application_id").fetchone()
            finally:
                writer.close()
        except sqlite3.Error:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()
