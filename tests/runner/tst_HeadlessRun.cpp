#include "BenchSimProcess.h"
#include "FakeInstrument.h"
#include "SqliteStore.h"
#include "TestAddresses.h"
#include "WorkbookDump.h"

#include <QTcpServer>
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
    void silentResultsServerNeverHoldsTheEnd_data();
    void silentResultsServerNeverHoldsTheEnd();
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

Finished runRfbench(const QStringList &arguments, int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY")); // no display is needed
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("none-at-all"));
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

    const Finished run = runRfbench(QStringList{setupPath, QStringLiteral("--data-dir"), folder.path(),
                                                QStringLiteral("--json")} + overrides);
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
    int points = 0;
    for (const QString &expected : rows) {
        const QString name = expected.section(QLatin1Char('='), 0, 0);
        const int count = expected.section(QLatin1Char('='), 1).toInt();
        QCOMPARE(rowsOf(folder.filePath(name + QStringLiteral(".xlsx"))), count);
        points += count;
    }
    QCOMPARE(summary.value(QStringLiteral("points")).toInt(), points);
    QCOMPARE(summary.value(QStringLiteral("workbooks")).toArray().size(), rows.size());
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
            // Under the station the setup names, else the host's name.
            if (storeInSetup)
                QCOMPARE(entry.station, QStringLiteral("bench-3"));
        }
        QCOMPARE(recorded, points);
        QCOMPARE(QDir(storeFolder).entryList({QStringLiteral("*.sqlite")}), QStringList{store});
        if (storeInSetup)
            QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("*.sqlite")}), QStringList());
    }
    if (bench) {
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

void tst_HeadlessRun::silentResultsServerNeverHoldsTheEnd_data()
{
    QTest::addColumn<int>("points");
    QTest::addColumn<QStringList>("signalsSent"); // "during" the measurement, "after" its summary
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("the last upload is left when its time is up")
        << 6 << QStringList() << 0 << "the last upload did not end within 15 s and was left; what it lacks goes up";
    QTest::newRow("SIGTERM leaves the last upload")
        << 6 << QStringList{"after"} << 0 << "the last upload was left at a stop request; what it lacks goes up";
    QTest::newRow("a second Ctrl-C ends at once")
        << 2000 << QStringList{"during", "after"} << 4 << "ended at once by a second Ctrl-C or SIGTERM";
}

void tst_HeadlessRun::silentResultsServerNeverHoldsTheEnd()
{
    QFETCH(int, points);
    QFETCH(QStringList, signalsSent);
    QFETCH(int, code);
    QFETCH(QString, message);

    // A "server" that takes the connection and never says a word, at an address that lets a
    // connection attempt wait an hour.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QString address = QStringLiteral("postgresql://station@127.0.0.1:%1/results?connect_timeout=3600")
                                .arg(silent.serverPort());
    BenchSimProcess bench;
    QVERIFY(bench.isReady());
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("setup.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(bench.synthAddress(), bench.powerMeterAddress(), bench.analyzerAddress(),
                        QByteArray(R"("kind": "power", "start": 1000, "stop": 2000, "delay": 20, "points": )")
                            + QByteArray::number(points)));
    file.close();

    QProcess process;
    process.start(QStringLiteral(RFBENCH_PATH), {QStringLiteral("run"), file.fileName(), QStringLiteral("--data-dir"),
                                                 folder.path(), QStringLiteral("--store"), address,
                                                 QStringLiteral("--json")});
    QVERIFY(process.waitForStarted());
    QByteArray out;
    for (const QString &when : signalsSent) {
        if (when == QLatin1String("during")) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.filePath(QStringLiteral("Table 0 dBm.xlsx"))), 20000);
            ::kill(pid_t(process.processId()), SIGINT);
        } else {
            // The summary is out: the run is over and its end waits for the upload.
            while (!out.trimmed().endsWith('}') && process.waitForReadyRead(60000))
                out += process.readAllStandardOutput();
            QVERIFY2(out.trimmed().endsWith('}'), process.readAllStandardError().constData());
            ::kill(pid_t(process.processId()), signalsSent.size() == 1 ? SIGTERM : SIGINT);
        }
    }
    // Far past the 15 s wait: a process still there then waits for the server without bound.
    const bool ended = process.waitForFinished(90000);
    if (!ended)
        process.kill();
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == code, err.constData());
    QVERIFY2(err.contains(message.toUtf8()), err.constData());
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
