"""The results as frames, against stores written by a real rfbench run on the simulated bench."""

import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

import openpyxl

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


class PowerRunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        addresses = [loopback() for _ in range(3)]
        sim = subprocess.Popen([BENCHSIM, "--synth-address", addresses[0], "--powermeter-address", addresses[1],
                                "--analyzer-address", addresses[2]], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        try:
            for line in sim.stdout:
                if line == "benchsim ready\n":
                    break
            setup = os.path.join(cls.folder, "setup.json")
            with open(setup, "w") as file:
                file.write(SETUP % tuple(addresses))
            cls.data = os.path.join(cls.folder, "data")
            os.mkdir(cls.data)
            for unit in ("SN0001", "SN0002"):
                done = subprocess.run([RFBENCH, "run", setup, "--data-dir", cls.data, "--unit", unit,
                                       "--operator", "ann"], capture_output=True, timeout=120)
                assert done.returncode in (0, 7), done.stderr
        finally:
            sim.terminate()
            sim.wait()
            sim.stdout.close()
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


if __name__ == "__main__":
    unittest.main()
