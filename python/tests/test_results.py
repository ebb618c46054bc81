"""The results as frames, against stores written by a real rfbench run on the simulated bench."""

import glob
import json
import os
import pwd
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import unittest.mock
import urllib.parse

import openpyxl
import pandas as pd

import rfbench_results

RFBENCH = os.environ.get("RFBENCH_PATH", "rfbench")
BENCHSIM = os.environ.get("BENCHSIM_PATH", "benchsim")

SETUP = """{"format": 1,
"synthesizer": {"transport": "lan", "address": "%s"},
"powerMeter": {"address": "%s", "channel": "A"},
"analyzer": {"address": "%s", "model": "rs"},
"measurements": [{"kind": "power", "start": 1000, "stop": 1100, "points": 6, "power": -5, "delay": 0,
  "fetchValues": false, "limits": {"upper": [[1000, -60], [1100, -60]], "lower": [[1000, -70.2], [1100, -70.2]]}}]}
"""

# Holds a run's byte of the lock file as a living writer does, until its input closes.
HOLDER = """import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, int(sys.argv[2]), 1, 0))
print("held", flush=True)
sys.stdin.read()
"""


def loopback():
    return "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255), random.randint(2, 254))


def run_on_benchsim(folder, units, extra_setup=None, extra_arguments=()):
    """Runs rfbench once for each unit on one simulated bench; the data folder."""
    addresses = [loopback() for _ in range(3)]
    sim = subprocess.Popen([BENCHSIM, "--synth-address", addresses[0], "--powermeter-address", addresses[1],
                            "--analyzer-address", addresses[2]], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    try:
        for line in sim.stdout:
            if line == "benchsim ready\n":
                break
        setup = os.path.join(folder, "setup.json")
        with open(setup, "w") as file:
            json.dump(dict(json.loads(SETUP % tuple(addresses)), **(extra_setup or {})), file)
        data = os.path.join(folder, "data")
        os.mkdir(data)
        for unit in units:
            done = subprocess.run([RFBENCH, "run", setup, "--data-dir", data, "--unit", unit, "--operator", "ann",
                                   *extra_arguments], capture_output=True, timeout=120)
            assert done.returncode in (0, 7), done.stderr
    finally:
        sim.terminate()
        sim.wait()
        sim.stdout.close()
    return data


class PowerRunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.data = run_on_benchsim(cls.folder, ("SN0001", "SN0002"))
        cls.store = os.path.join(cls.data, "rfbench.sqlite")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def copy(self):
        """A copy of the store the test may change."""
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "copy.sqlite")
        with sqlite3.connect(self.store) as source, sqlite3.connect(path) as target:
            source.backup(target)
        return path

    def rows(self, sql, arguments=()):
        with sqlite3.connect("file:%s?mode=ro" % self.store, uri=True) as db:
            return db.execute(sql, arguments).fetchall()

    def test_frames_equal_the_stores_rows_and_the_workbooks_cells(self):
        with rfbench_results.open_store(self.store) as store:
            runs = store.runs()
            first = store.runs(unit="SN0001")
            points = store.points(first.id[0])
        self.assertEqual(list(runs.unit), ["SN0001", "SN0002"])
        self.assertEqual(len(first), 1)
        self.assertEqual(str(runs.started.dt.tz), "UTC")
        recorded = self.rows("SELECT frequency, reading, synthesizer_power, temperature, limit_upper, limit_lower,"
                             " limit_margin, verdict FROM points WHERE run = ? ORDER BY id", (int(first.id[0]),))
        self.assertEqual(len(points), len(recorded))
        for (frequency, reading, synth, temperature, upper, lower, margin, verdict), (_, point) in \
                zip(recorded, points.iterrows()):
            self.assertEqual(point.frequency_hz, frequency * 1e6)
            self.assertEqual((point.reading_dbm, point.corrected_dbm, point.synth_power_dbm, point.temperature_c),
                             (reading, reading, synth, temperature))
            self.assertEqual((point.limit_upper_dbm, point.limit_lower_dbm, point.limit_margin_db, point.verdict),
                             (upper, lower, margin, verdict))
        (counts,) = self.rows("SELECT verdict, failed_points, marginal_points, point_count FROM runs WHERE id = ?",
                              (int(first.id[0]),))
        self.assertEqual((first.verdict[0], first.failed[0], first.marginal[0], first.points[0]), counts)
        self.assertEqual(first.outcome[0], "finished")
        # The workbook holds both runs' rows, the first run's first.
        book = openpyxl.load_workbook(os.path.join(self.data, points.workbook[0] + ".xlsx"))
        cells = [row for row in book.worksheets[0].iter_rows(values_only=True)][:len(points)]
        self.assertEqual([(row[0] * 1e6, row[1]) for row in cells],
                         list(zip(points.frequency_hz, points.reading_dbm)))

    def test_a_run_without_its_writer_reads_interrupted(self):
        path = self.copy()
        with sqlite3.connect(path) as db:
            db.execute("UPDATE runs SET outcome = 'running', ended = NULL, verdict = 'PASS' WHERE id = 1")
        cases = [("no lock file", False, ("interrupted", "INCOMPLETE")),
                 ("lock held", True, ("running", "PASS"))]
        for name, held, (outcome, verdict) in cases:
            with self.subTest(name):
                holder = None
                if held:
                    holder = subprocess.Popen([sys.executable, "-c", HOLDER, path + "-runs", "1"],
                                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                    self.assertEqual(holder.stdout.readline(), "held\n")
                try:
                    with rfbench_results.open_store(path) as store:
                        run = store.runs().iloc[0]
                finally:
                    if holder:
                        holder.stdin.close()
                        holder.wait()
                        holder.stdout.close()
                self.assertEqual(run.outcome, outcome)
                self.assertEqual(run.verdict, verdict)

    def test_corrections_and_peaks(self):
        # Made by hand: rfbench run leaves the synthesizer's RF off, so a spur run finds no peaks.
        path = self.copy()
        with sqlite3.connect(path) as db:
            db.execute("INSERT INTO points (id, run, pass, number, row_kind, workbook, point_index, frequency, reading,"
                       " correction) VALUES (100, 2, 1, 7, 'sweep', 'x', 6, 1200, -10, 1.5)")
            db.execute("INSERT INTO points (id, run, pass, number, row_kind, workbook, point_index, span, bandwidth)"
                       " VALUES (101, 2, 1, 8, 'spur', 'x', 7, 10, 50)")
            db.executemany("INSERT INTO peaks (point, number, frequency, level, correction) VALUES (101, ?, ?, ?, ?)",
                           [(1, 1.2e9, -5.0, 2.0), (2, 1.2004e9, -60.0, None)])
        with rfbench_results.open_store(path) as store:
            points = store.points(2).set_index("point")
            peaks = store.peaks(2)
        self.assertEqual(points.loc[7, "corrected_dbm"], -8.5)
        self.assertEqual((points.loc[8, "span_hz"], points.loc[8, "bandwidth_hz"]), (10e6, 50))
        self.assertEqual(list(peaks["rank"]), [0, 1])
        self.assertEqual(list(peaks.frequency_hz), [1.2e9, 1.2004e9])
        self.assertEqual(list(peaks.corrected_dbm), [-3.0, -60.0])

    def test_refused_stores(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        newer = self.copy()
        with sqlite3.connect(newer) as db:
            db.execute("INSERT INTO schema_version VALUES (7, '2030-01-01T00:00:00.000Z', 'rfbench 9')")
        foreign = os.path.join(folder, "foreign.sqlite")
        with sqlite3.connect(foreign) as db:
            db.execute("CREATE TABLE runs (id)")
        text = os.path.join(folder, "notes.txt")
        with open(text, "w") as file:
            file.write("not a database at all, just some text long enough " * 20)
        cases = [(newer, "schema 7; this package knows 6"), (foreign, "not a results store"),
                 (text, "not a results store"), (os.path.join(folder, "none.sqlite"), "no such results store")]
        for path, message in cases:
            with self.subTest(path=os.path.basename(path)):
                with self.assertRaisesRegex(rfbench_results.StoreError, message):
                    rfbench_results.open_store(path)
        self.assertEqual(sorted(os.listdir(folder)), ["foreign.sqlite", "notes.txt"])

    def test_reading_leaves_no_file(self):
        before = sorted(os.listdir(self.data))
        with open(self.store, "rb") as file:
            content = file.read()
        store = rfbench_results.open_store(self.store)
        store.points(1)
        store.close()
        self.assertEqual(sorted(os.listdir(self.data)), before)
        with open(self.store, "rb") as file:
            self.assertEqual(file.read(), content)


def server_programs():
    """The folder of PostgreSQL's server programs, or why there is none."""
    folders = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda path: float(path.split("/")[-2]))
    folder = os.environ.get("RFBENCH_PG_BIN") or (folders[-1] if folders else "")
    if not all(os.access(os.path.join(folder, name), os.X_OK) for name in ("initdb", "pg_ctl")):
        return None, "no PostgreSQL server programs in %s (Debian package postgresql)" % (
            folder or "/usr/lib/postgresql/*/bin")
    try:
        import psycopg2  # noqa: F401 (only whether it is there)
    except ImportError:
        return None, "no psycopg2 (Debian package python3-psycopg2)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            return None, 'running as root, but there is no "postgres" user to run the server'
    return folder, None


class Cluster:
    """A private PostgreSQL server in a temporary folder, listening on a Unix socket there only.
    As root the server runs as "postgres": initdb refuses root."""

    ADMIN = "rfbench_admin"
    PORT = 54329

    def __init__(self, programs):
        self.programs = programs
        self.folder = tempfile.mkdtemp()
        self.data = os.path.join(self.folder, "data")
        self.running = False
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.folder, user.pw_uid, user.pw_gid)
        self._as_server("initdb", "-D", self.data, "-U", self.ADMIN, "-A", "trust", "-E", "UTF8", "--no-sync")
        # The superuser without a password; every other role with its own.
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as file:
            file.write("local all %s trust\nlocal all all scram-sha-256\n" % self.ADMIN)
        self._as_server("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"), "-w", "-t", "60", "-o",
                        "-c listen_addresses='' -k %s -p %d -c fsync=off -c max_connections=20"
                        % (self.folder, self.PORT), "start")
        self.running = True

    def _as_server(self, program, *arguments):
        command = [os.path.join(self.programs, program), *arguments]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--"] + command
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, "%s failed: %s%s" % (program, done.stdout, done.stderr)

    def url(self, user, database):
        return "postgresql://%s@%s:%d/%s" % (user, urllib.parse.quote(self.folder, safe=""), self.PORT, database)

    def execute(self, database, *statements):
        import psycopg2
        db = psycopg2.connect(host=self.folder, port=self.PORT, user=self.ADMIN, dbname=database)
        try:
            db.autocommit = True
            with db.cursor() as cursor:
                for statement in statements:
                    cursor.execute(statement)
                return cursor.fetchall() if cursor.description else None
        finally:
            db.close()

    def remove(self):
        if self.running:
            self._as_server("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")
        shutil.rmtree(self.folder)


class ServerTest(unittest.TestCase):
    """The frames of a results server, against those of the local store its runs went up from."""

    @classmethod
    def setUpClass(cls):
        programs, missing = server_programs()
        if missing:
            # CI installs the server: there a missing one is a fault, not a reason to pass.
            assert not os.environ.get("CI"), missing
            raise unittest.SkipTest(missing)
        cls.folder = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        cls.cluster = Cluster(programs)
        cls.addClassCleanup(cls.cluster.remove)
        cls.cluster.execute("postgres", "CREATE DATABASE results", "CREATE ROLE reader LOGIN PASSWORD 'reader secret'")
        # Uploaded by the database's owner, which makes the layout on its first connection. Another
        # bench's run first: the server's ids are not the local ones, and its local ids are ours too.
        upload = lambda station: ("--store", cls.cluster.url(Cluster.ADMIN, "results"), "--station", station)
        os.mkdir(os.path.join(cls.folder, "b"))
        run_on_benchsim(os.path.join(cls.folder, "b"), ("SN0001",), None, upload("bench-b"))
        # Corrected readings fail the lower limit at the start, pass in the middle and fail the upper at the end.
        cls.data = run_on_benchsim(cls.folder, ("SN0001", "SN0002"),
                                   {"corrections": {"powerMeter": {"A": [[1000, -3], [1100, 15]]}}}, upload("bench-a"))
        # The package needs no more than a station's right to read.
        cls.cluster.execute("results", "GRANT SELECT ON ALL TABLES IN SCHEMA public TO reader")
        cls.version = cls.cluster.execute("results", "SELECT max(version) FROM schema_version")[0][0]
        for name in ("newer", "older", "oldest"):
            cls.cluster.execute("postgres", "CREATE DATABASE %s TEMPLATE results" % name)
        cls.cluster.execute("newer", "INSERT INTO schema_version (version, program) VALUES (%d, 'rfbench 99')"
                            % (cls.version + 1))
        # The layout before corrections, as a server the owner has not upgraded yet holds it.
        cls.cluster.execute("older", "ALTER TABLE points DROP COLUMN correction",
                            "ALTER TABLE peaks DROP COLUMN correction", "DROP TABLE run_tables",
                            "DELETE FROM schema_version WHERE version >= 5")
        cls.cluster.execute("oldest", "DELETE FROM schema_version WHERE version > 1")
        password = unittest.mock.patch.dict(os.environ, PGPASSWORD="reader secret")
        password.start()
        cls.addClassCleanup(password.stop)

    def open(self, database):
        store = rfbench_results.open_store(self.cluster.url("reader", database))
        self.addCleanup(store.close)
        return store

    def test_frames_equal_those_of_the_local_store(self):
        local = rfbench_results.open_store(os.path.join(self.data, "rfbench.sqlite"))
        self.addCleanup(local.close)
        server = self.open("results")
        second = local.runs().started[1]
        for filters in ({}, {"unit": "SN0002"}, {"since": second},
                        {"since": second.tz_convert(None) + pd.Timedelta(milliseconds=1)}):
            with self.subTest(**filters):
                # A run is known there by the server's id, which no local store gave it.
                pd.testing.assert_frame_equal(server.runs(station="bench-a", **filters).drop(columns="id"),
                                              local.runs(**filters).drop(columns="id"))
        self.assertEqual(list(server.runs(unit="SN0001").station), ["bench-b", "bench-a"])
        runs = server.runs(station="bench-a")
        for remote_id, local_id in zip(runs.id, local.runs().id):
            with self.subTest(run=int(remote_id)):
                remote, here = server.points(remote_id), local.points(local_id)
                self.assertEqual(set(here.verdict), {"PASS", "FAIL"})
                self.assertEqual(set(remote.run), {remote_id})
                # The server keeps no point's workbook placing: a local store's own bookkeeping.
                self.assertTrue(remote.in_workbook.isna().all())
                pd.testing.assert_frame_equal(remote.drop(columns=["run", "in_workbook"]),
                                              here.drop(columns=["run", "in_workbook"]))
                pd.testing.assert_frame_equal(server.peaks(remote_id).drop(columns="run"),
                                              local.peaks(local_id).drop(columns="run"))

    def test_a_server_not_yet_upgraded_reads_without_its_later_columns(self):
        older, newest = self.open("older"), self.open("results")
        run = older.runs(station="bench-a").id[0]
        # Peaks too, though the run has none: their query must name no column the layout lacks.
        points, peaks = older.points(run), older.peaks(run)
        self.assertTrue(points.correction_db.isna().all())
        pd.testing.assert_series_equal(points.corrected_dbm, points.reading_dbm, check_names=False)
        pd.testing.assert_frame_equal(points.drop(columns=["correction_db", "corrected_dbm"]),
                                      newest.points(run).drop(columns=["correction_db", "corrected_dbm"]))
        self.assertTrue(peaks.empty)

    def test_refused_servers(self):
        cases = [("reader", "newer", "schema %d; this package knows %d" % (self.version + 1, self.version)),
                 ("reader", "oldest", "schema 1, older than this package reads"),
                 ("reader", "postgres", "cannot be read: .*schema_version"),
                 ("nobody", "results", 'cannot be read: .*password authentication failed for user "nobody"')]
        for user, database, message in cases:
            with self.subTest(database=database, user=user):
                with self.assertRaisesRegex(rfbench_results.StoreError, message):
                    rfbench_results.open_store(self.cluster.url(user, database))


if __name__ == "__main__":
    unittest.main()
