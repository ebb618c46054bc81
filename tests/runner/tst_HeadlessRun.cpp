#include "BenchSimProcess.h"
#include "FakeInstrument.h"
#include "SqliteStore.h"
#include "TestAddresses.h"
#include "WorkbookDump.h"

#include <QtTest>

#include <csignal>

// "rfbench run" as a script runs it: a process with a setup file, against the simulated bench or
// recording stand-ins, judged by its exit code, its messages, the bytes on the wires and the rows.
class tst_HeadlessRun : public QObject
{
    Q_OBJECT

private slots:
    void exitCodes_data();
    void exitCodes();
    void stopBySignalKeepsEveryRow();
    void resumeGivesTheUninterruptedWorkbook();

private:
    QByteArray setupFor(const QString &synth, const QString &meter, const QString &analyzer,
                        const QByteArray &measurements) const;
};

namespace {

struct Finished
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// tempFolder: the folder rows that cannot be saved go to; empty: the system's.
Finished runRfbench(const QStringList &arguments, const QString &tempFolder = QString(), int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY")); // no display is needed
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("none-at-all"));
    if (!tempFolder.isEmpty())
        environment.insert(QStringLiteral("TMPDIR"), tempFolder);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RFBENCH_PATH), QStringList{QStringLiteral("run")} + arguments);
    Finished result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

int rowsOf(const QString &path)
{
    const QMap<QString, QString> cells = WorkbookDump::cells(WorkbookDump::dump(path), QStringLiteral("Лист 1"));
    int rows = 0;
    for (auto it = cells.cbegin(); it != cells.cend(); ++it)
        if (it.key().startsWith(QLatin1Char('A')) && !it.value().isEmpty())
            ++rows;
    return rows;
}

const QByteArray powerRun = R"("kind": "power", "start": 1000, "stop": 1100, "points": 6, "power": -5, "delay": 0,
  "fetchValues": false)";

} // namespace

QByteArray tst_HeadlessRun::setupFor(const QString &synth, const QString &meter, const QString &analyzer,
                                     const QByteArray &measurements) const
{
    return QByteArray("{\"format\": 1,\n\"synthesizer\": {\"transport\": \"lan\", \"address\": \"") + synth.toUtf8()
         + "\"},\n\"powerMeter\": {\"address\": \"" + meter.toUtf8() + "\", \"channel\": \"A\"},\n"
         + "\"analyzer\": {\"address\": \"" + analyzer.toUtf8() + "\", \"model\": \"rs\"},\n" + measurements + "\n}\n";
}

void tst_HeadlessRun::exitCodes_data()
{
    QTest::addColumn<QByteArray>("measurements");
    QTest::addColumn<QStringList>("overrides");
    QTest::addColumn<bool>("analyzerListens");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // on standard error
    QTest::addColumn<QStringList>("rows"); // workbook base names with their rows, "name=rows"
    QTest::addColumn<QStringList>("simArguments");
    QTest::addColumn<QString>("store"); // the file in the data folder with every point on record; empty: none

    const QByteArray sequence = R"("measurements": [
  {)" + powerRun + R"(},
  {"kind": "power", "start": 2000, "stop": 2000, "points": 1, "power": 5, "delay": 0, "cycle": true, "powerStep": 10}
])";
    const QString local = QStringLiteral("rfbench.sqlite");
    QTest::newRow("finished") << powerRun << QStringList() << true << 0 << QString()
                              << QStringList{"Table -5 dBm=6"} << QStringList() << local;
    QTest::newRow("override") << powerRun << QStringList{"--set", "power=-3", "--set", "points=3"} << true << 0
                              << QString() << QStringList{"Table -3 dBm=3"} << QStringList() << local;
    QTest::newRow("too narrow for the points") << powerRun << QStringList{"--set", "stop=1001", "--set", "points=4"}
                                               << true << 2 << "points: 1000 to 1001 MHz is too narrow for 4 points"
                                               << QStringList() << QStringList() << QString();
    QTest::newRow("sequence, a cycle of two passes")
        << sequence << QStringList() << true << 0 << QString()
        << QStringList{"Table -5 dBm=6", "Table 5 dBm=1", "Table 15 dBm=1"} << QStringList() << local;
    QTest::newRow("the setup names the store, beside it")
        << QByteArray(R"("store": {"address": "bench 3.sqlite", "station": "bench-3"},)" "\n") + powerRun
        << QStringList() << true << 0 << QString() << QStringList{"Table -5 dBm=6"} << QStringList()
        << QStringLiteral("bench 3.sqlite");
    QTest::newRow("a store that cannot be written costs no row")
        << powerRun << QStringList{"--store", "/proc/rfbench/rfbench.sqlite"} << true << 0 << "is not being written"
        << QStringList{"Table -5 dBm=6"} << QStringList() << QString();
    QTest::newRow("power meter lost during the run")
        << powerRun << QStringList() << true << 6 << "the power meter's connection was lost"
        << QStringList{"Table -5 dBm=6"} << QStringList{"--powermeter-close-after", "4"} << local;
    QTest::newRow("synthesizer lost before the measurement")
        << powerRun << QStringList() << true << 6
        << "the synthesizer's connection was lost during the run: the readings are not at the stated frequencies"
        << QStringList{"Table -5 dBm=6"} << QStringList{"--synth-hang-up"} << local;
    // The workbook is left read-only by the run before: none of this run's rows reach it.
    QTest::newRow("read-only workbook") << powerRun << QStringList() << true << 5 << "could not be saved there"
                                        << QStringList{"Table -5 dBm=0"} << QStringList() << local;
    // RF off: the analyzer finds no carrier, so the point gives no row.
    QTest::newRow("spur point without a reading")
        << QByteArray(R"("kind": "spur", "start": 10000, "stop": 10000, "points": 1, "delay": 0)") << QStringList() << true
        << 0 << ", 1 without a reading, in " << QStringList() << QStringList() << local;
    QTest::newRow("unknown key") << QByteArray(powerRun).replace("\"delay\"", "\"dealy\"") << QStringList() << true
                                 << 2 << "dealy: unknown key" << QStringList() << QStringList() << QString();
    QTest::newRow("wrong type") << QByteArray(powerRun).replace("\"points\": 6", "\"points\": \"6\"") << QStringList()
                                << true << 2 << "points: must be a number, not a text" << QStringList() << QStringList()
                                << QString();
    QTest::newRow("out of range") << powerRun << QStringList{"--set", "delay=9000"} << true << 2
                                  << "delay: 9000 is out of range (0 to 5000 ms)" << QStringList() << QStringList()
                                  << QString();
    QTest::newRow("bad sequence entry") << QByteArray(sequence).replace("\"powerStep\": 10", "\"span\": 20")
                                        << QStringList() << true << 2
                                        << "measurements[1].span: not a field of a power measurement" << QStringList()
                                        << QStringList() << QString();
    QTest::newRow("unreachable analyzer")
        << QByteArray(sequence).replace("{\"kind\": \"power\", \"start\": 2000", "{\"kind\": \"spur\", \"start\": 2000")
               .replace(", \"cycle\": true, \"powerStep\": 10", "")
        << QStringList() << false << 3 << "the spectrum analyzer at " << QStringList() << QStringList() << QString();
}

void tst_HeadlessRun::exitCodes()
{
    QFETCH(QByteArray, measurements);
    QFETCH(QStringList, overrides);
    QFETCH(bool, analyzerListens);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, simArguments);
    QFETCH(QString, store);

    // Broken setups and unreachable instruments meet recording stand-ins: not a byte may reach them.
    const bool recorded = code == 2 || code == 3;
    std::unique_ptr<BenchSimProcess> bench;
    std::unique_ptr<FakeInstrument> synth, meter, analyzer;
    QString analyzerAddress;
    if (recorded) {
        synth.reset(new FakeInstrument(5023));
        meter.reset(new FakeInstrument(5025));
        if (analyzerListens) {
            analyzer.reset(new FakeInstrument(5025));
            analyzerAddress = analyzer->address();
        } else {
            analyzerAddress = TestAddresses::randomLoopback().toString();
        }
    } else {
        bench.reset(new BenchSimProcess(QStringList{QStringLiteral("--verbose")} + simArguments));
        QVERIFY(bench->isReady());
        analyzerAddress = bench->analyzerAddress();
    }
    QTemporaryDir folder;
    // In a folder of its own: a store the setup names is beside the setup, not in the data folder.
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("setups")));
    const QString setupPath = folder.filePath(QStringLiteral("setups/bench setup.json"));
    const bool storeInSetup = measurements.contains("\"store\"");
    const QString storeFolder = storeInSetup ? folder.filePath(QStringLiteral("setups")) : folder.path();
    QFile file(setupPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(recorded ? synth->address() : bench->synthAddress(),
                        recorded ? meter->address() : bench->powerMeterAddress(), analyzerAddress, measurements));
    file.close();

    const QStringList arguments = QStringList{setupPath, QStringLiteral("--data-dir"), folder.path(),
                                              QStringLiteral("--json")} + overrides;
    QMap<QString, int> before; // rows a run before left in the workbook, then made read-only
    if (code == 5) {
        QVERIFY(runRfbench(arguments).code == 0);
        const QString name = rows.first().section(QLatin1Char('='), 0, 0);
        before.insert(name, rowsOf(folder.filePath(name + QStringLiteral(".xlsx"))));
        QVERIFY(QFile::setPermissions(folder.filePath(name + QStringLiteral(".xlsx")), QFileDevice::ReadOwner));
    }
    QTemporaryDir temp;
    const Finished run = runRfbench(arguments, temp.path());
    QVERIFY2(run.code == code, run.err.constData());
    if (!message.isEmpty())
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    if (recorded) {
        QCOMPARE(synth->received(), QByteArray());
        QCOMPARE(meter->received(), QByteArray());
        if (analyzer)
            QCOMPARE(analyzer->received(), QByteArray());
        if (code == 2)
            QCOMPARE(synth->connectionCount() + meter->connectionCount(), 0);
    }
    const QJsonObject summary = QJsonDocument::fromJson(run.out).object();
    if (code == 2) {
        QVERIFY(run.out.isEmpty());
        return;
    }
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), code);
    // Each workbook got the rows the summary says reached it; every other point is counted where
    // its row went, or as one without a reading.
    const QJsonArray books = summary.value(QStringLiteral("workbooks")).toArray();
    QCOMPARE(books.size(), rows.size());
    int points = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const QString name = rows.at(i).section(QLatin1Char('='), 0, 0);
        const int count = rows.at(i).section(QLatin1Char('='), 1).toInt();
        const QString path = folder.filePath(name + QStringLiteral(".xlsx"));
        QCOMPARE(rowsOf(path) - before.value(name), count);
        const QJsonObject book = books.at(i).toObject();
        QCOMPARE(book.value(QStringLiteral("workbook")).toString(), path);
        QCOMPARE(book.value(QStringLiteral("rows")).toInt(), count);
        const QJsonObject elsewhere = book.value(QStringLiteral("savedElsewhere")).toObject();
        if (!elsewhere.isEmpty())
            QCOMPARE(rowsOf(elsewhere.value(QStringLiteral("workbook")).toString()), elsewhere.value(QStringLiteral("rows")).toInt());
        points += count + elsewhere.value(QStringLiteral("rows")).toInt() + book.value(QStringLiteral("lost")).toInt();
    }
    QCOMPARE(summary.value(QStringLiteral("points")).toInt() - summary.value(QStringLiteral("withoutReading")).toInt(), points);
    if (!store.isEmpty()) {
        // Every point is on record in the store the run was given, and no other store was begun.
        const QString storePath = QDir(storeFolder).filePath(store);
        QVERIFY2(QFile::exists(storePath), qPrintable(QDir(storeFolder).entryList().join('|')));
        QStringList announcements;
        const auto results = SqliteStore::open(storePath, SqliteStore::Mode::Read, &announcements);
        QVERIFY2(results->problem().isEmpty(), qPrintable(results->problem()));
        int recorded = 0;
        for (const RunSummary &entry : results->runs(RunFilter())) {
            recorded += results->points(entry.id).size();
            // Under the version this build of the program is.
            QCOMPARE(entry.version, QStringLiteral(RFBENCH_VERSION));
            // Under the station the setup names, else the host's name.
            if (storeInSetup)
                QCOMPARE(entry.station, QStringLiteral("bench-3"));
        }
        QCOMPARE(recorded, points + before.value(rows.value(0).section(QLatin1Char('='), 0, 0)));
        QCOMPARE(QDir(storeFolder).entryList({QStringLiteral("*.sqlite")}), QStringList{store});
        if (storeInSetup)
            QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("*.sqlite")}), QStringList());
    }
    if (bench && !simArguments.contains(QStringLiteral("--synth-hang-up"))) {
        // The synthesizer got the power first, then every point's frequency, as from the window.
        const QStringList lines = bench->receivedLines(QStringLiteral("synthesizer"));
        QVERIFY2(!lines.isEmpty() && lines.first().startsWith(QStringLiteral("POW")), qPrintable(lines.join('|')));
    }
}

void tst_HeadlessRun::stopBySignalKeepsEveryRow()
{
    BenchSimProcess bench({QStringLiteral("--verbose")});
    QVERIFY(bench.isReady());
    QTemporaryDir folder;
    const QString setupPath = folder.filePath(QStringLiteral("long.json"));
    QFile file(setupPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(bench.synthAddress(), bench.powerMeterAddress(), bench.analyzerAddress(),
                        R"("kind": "power", "start": 1000, "stop": 2000, "points": 2000, "delay": 20)"));
    file.close();

    QProcess process;
    process.start(QStringLiteral(RFBENCH_PATH),
                  {QStringLiteral("run"), setupPath, QStringLiteral("--data-dir"), folder.path(), QStringLiteral("--json")});
    QVERIFY(process.waitForStarted());
    const QString workbook = folder.filePath(QStringLiteral("Table 0 dBm.xlsx"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(workbook), 20000);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(process.exitCode() == 4, err.constData());
    const QJsonObject summary = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    QCOMPARE(summary.value(QStringLiteral("outcome")).toString(), QStringLiteral("stopped"));
    const int points = summary.value(QStringLiteral("points")).toInt();
    QVERIFY2(points > 0 && points < 2000, err.constData());
    // Every measured point has its row, and no point was measured after its row was written.
    QCOMPARE(rowsOf(workbook), points);
    const QStringList fetches = bench.receivedLines(QStringLiteral("power meter")).filter(QStringLiteral("FETC"));
    QCOMPARE(fetches.size(), points);
}

void tst_HeadlessRun::resumeGivesTheUninterruptedWorkbook()
{
    // The same noise for both: each simulator answers its queries in the same order.
    BenchSimProcess whole;
    BenchSimProcess interrupted({QStringLiteral("--verbose")});
    QVERIFY(whole.isReady() && interrupted.isReady());
    QTemporaryDir folder;
    const QByteArray measurement = R"("kind": "power", "start": 1000, "stop": 1400, "points": 100, "delay": 5,
  "fetchValues": false, "power": -2, "cycle": true, "powerStep": 15)";
    QFile file(folder.filePath(QStringLiteral("setup.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(whole.synthAddress(), whole.powerMeterAddress(), whole.analyzerAddress(), measurement));
    file.close();
    const QString wholeFolder = folder.filePath(QStringLiteral("whole"));
    const QString partsFolder = folder.filePath(QStringLiteral("parts"));
    const Finished uninterrupted = runRfbench({file.fileName(), QStringLiteral("--data-dir"), wholeFolder});
    QVERIFY2(uninterrupted.code == 0, uninterrupted.err.constData());

    QProcess first;
    first.start(QStringLiteral(RFBENCH_PATH),
                {QStringLiteral("run"), file.fileName(), QStringLiteral("--data-dir"), partsFolder,
                 QStringLiteral("--set"), QStringLiteral("synthesizer.address=") + interrupted.synthAddress(),
                 QStringLiteral("--set"), QStringLiteral("powerMeter.address=") + interrupted.powerMeterAddress()});
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(partsFolder + QStringLiteral("/Table -2 dBm.xlsx")), 20000);
    ::kill(pid_t(first.processId()), SIGINT);
    QVERIFY(first.waitForFinished(20000));
    QVERIFY2(first.exitCode() == 4, first.readAllStandardError().constData());

    QStringList announcements;
    const auto store = SqliteStore::open(partsFolder + QStringLiteral("/rfbench.sqlite"), SqliteStore::Mode::Read,
                                         &announcements);
    const QList<RunSummary> runs = store->runs(RunFilter());
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().outcome, QStringLiteral("stopped"));
    const Finished resumed = runRfbench({QStringLiteral("--resume"), QString::number(runs.first().id),
                                         QStringLiteral("--data-dir"), partsFolder});
    QVERIFY2(resumed.code == 0, resumed.err.constData());
    for (const char *workbook : {"Table -2 dBm.xlsx", "Table 13 dBm.xlsx"})
        QCOMPARE(WorkbookDump::cells(WorkbookDump::dump(partsFolder + QLatin1Char('/') + QLatin1String(workbook)),
                                     QStringLiteral("Лист 1")),
                 WorkbookDump::cells(WorkbookDump::dump(wholeFolder + QLatin1Char('/') + QLatin1String(workbook)),
                                     QStringLiteral("Лист 1")));
    // Recorded as one run whose points are the workbooks' rows.
    const RunSummary run = store->run(runs.first().id);
    QCOMPARE(run.outcome, QStringLiteral("finished"));
    QCOMPARE(store->points(run.id).size(), 200);
    QCOMPARE(store->runs(RunFilter()).size(), 1);
}

QTEST_GUILESS_MAIN(tst_HeadlessRun)
#include "tst_HeadlessRun.moc"
