#include "BenchSimProcess.h"
#include "FakeInstrument.h"
#include "SqliteStore.h"
#include "TestAddresses.h"
#include "TroubleFlood.h"
#include "Verdict.h"
#include "WorkbookDump.h"

#include <QCryptographicHash>
#include <QHostInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <algorithm>
#include <csignal>

// "rfbench run" as a script runs it: a process with a setup file, against the simulated bench or
// recording stand-ins, judged by its exit code, its messages, the bytes on the wires and the rows.
class tst_HeadlessRun : public QObject
{
    Q_OBJECT

private slots:
    void exitCodes_data();
    void exitCodes();
    void helpAndVersionWithoutADisplay_data();
    void helpAndVersionWithoutADisplay();
    void troubleFlood_data();
    void troubleFlood();
    void aFloodOfOneTroubleIsSummarised();
    void stopBySignalKeepsEveryRow();
    void silentResultsServerNeverHoldsTheEnd_data();
    void silentResultsServerNeverHoldsTheEnd();
    void resumeGivesTheUninterruptedWorkbook();
    void severalProgramsOnOneDataFolder();
    void storeReasonsReachStandardError_data();
    void storeReasonsReachStandardError();
    void aKilledRunIsRecordedInterruptedByTheNextWrite();
    void aPathLossIsCorrectedToTheUnit_data();
    void aPathLossIsCorrectedToTheUnit();
    void theTestReportOfTheRuns_data();
    void theTestReportOfTheRuns();
    void twoRunsOfOneReportName();

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

// The program as a script on a machine without a display runs it. tempFolder: the folder rows
// that cannot be saved go to; empty: the system's.
Finished rfbench(const QStringList &arguments, const QString &tempFolder = QString(), int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    if (!tempFolder.isEmpty())
        environment.insert(QStringLiteral("TMPDIR"), tempFolder);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RFBENCH_PATH), arguments);
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

Finished runRfbench(const QStringList &arguments, const QString &tempFolder = QString())
{
    return rfbench(QStringList{QStringLiteral("run")} + arguments, tempFolder);
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

// The runs' outcome column as sqlite3 or a script reads it, by run id; the file is opened
// read-only, as the README's recipes open it.
QMap<qint64, QString> recordedOutcomes(const QString &store)
{
    QMap<qint64, QString> outcomes;
    const QString name = QStringLiteral("raw outcomes");
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(store);
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(database);
        if (database.open() && query.exec(QStringLiteral("SELECT id, outcome FROM runs")))
            while (query.next())
                outcomes.insert(query.value(0).toLongLong(), query.value(1).toString());
    }
    QSqlDatabase::removeDatabase(name);
    return outcomes;
}

const QByteArray powerRun = R"("kind": "power", "start": 1000, "stop": 1100, "points": 6, "power": -5, "delay": 0,
  "fetchValues": false)";

// A JUnit report as CI systems read it, checked by Python's own XML parser: the elements and
// attributes they need, and counts that agree with the cases. Prints the suites as JSON.
const char junitCheck[] = R"(
import json, re, sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == 'testsuites', root.tag
def outcomes(cases):
    return {k: sum(c['outcome'] == k for c in cases) for k in ('failure', 'error', 'skipped')}
suites, every = [], []
for suite in root:
    assert suite.tag == 'testsuite', suite.tag
    for key in ('name', 'tests', 'failures', 'errors', 'skipped', 'time', 'timestamp', 'hostname'):
        assert suite.get(key), key
    assert re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d', suite.get('timestamp')), suite.get('timestamp')
    float(suite.get('time'))
    properties = {p.get('name'): p.get('value') for p in suite.find('properties').findall('property')}
    if 'limits' in properties:
        json.loads(properties['limits'])
    cases = []
    for case in suite.findall('testcase'):
        assert case.get('classname') and case.get('name'), case.attrib
        marks = [c for c in case if c.tag in ('failure', 'error', 'skipped')]
        assert len(marks) <= 1, marks
        cases.append({'outcome': marks[0].tag if marks else 'passed',
                      'message': marks[0].get('message', '') if marks else ''})
    counted = outcomes(cases)
    assert int(suite.get('tests')) == len(cases)
    for key, tag in (('failures', 'failure'), ('errors', 'error'), ('skipped', 'skipped')):
        assert int(suite.get(key)) == counted[tag], (key, suite.get(key), counted[tag])
    suites.append({'properties': properties, 'cases': cases})
    every += cases
assert int(root.get('tests')) == len(every) and int(root.get('failures')) == outcomes(every)['failure']
print(json.dumps(suites))
)";

// The suites of a JUnit report, or an empty list with the parser's complaint in *why.
QJsonArray junitSuites(const QString &path, QString *why)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QLatin1String(junitCheck), path});
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        *why = QString::fromUtf8(python.readAllStandardError());
        return QJsonArray();
    }
    return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
}

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
    // With the RF output off, as a run leaves it, the simulated meter reads about -70 dBm.
    const QByteArray failing = powerRun + R"(, "limits": {"lower": [[1000, -20], [1100, -20]]})";
    const QByteArray passing = powerRun + R"(, "limits": {"upper": [[1000, 0], [1100, 0]], "lower": [[1000, -100], [1100, -100]]})";
    const QByteArray marginal =
        powerRun + R"(, "limits": {"upper": [[1000, -60], [1100, -60]], "lower": [[1000, -75], [1100, -75]], "margin": 10})";
    QTest::newRow("a limit failed") << failing << QStringList() << true << 7
                                    << "Power measurement: FAIL: 6 points below the lower limit, worst -"
                                    << QStringList{"Table -5 dBm=6"} << QStringList() << local;
    QTest::newRow("a failed unit outranks a lost link")
        << failing << QStringList() << true << 7 << "the power meter's connection was lost"
        << QStringList{"Table -5 dBm=6"} << QStringList{"--powermeter-close-after", "4"} << local;
    QTest::newRow("a lost synthesizer outranks the points it left without a reading")
        << passing << QStringList() << true << 6 << "Power measurement: NO READING: "
        << QStringList{"Table -5 dBm=6"} << QStringList{"--synth-hang-up"} << local;
    QTest::newRow("marginal points pass") << marginal << QStringList() << true << 0
                                          << "Power measurement: MARGINAL: 6 points within the margin of a limit\n"
                                          << QStringList{"Table -5 dBm=6"} << QStringList() << local;
    QTest::newRow("a serial the setup's pattern refuses")
        << QByteArray(R"("unit": {"serialPattern": "^SN[0-9]{4}$"},)" "\n") + failing << QStringList{"--unit", "AB12"}
        << true << 2 << R"(unit.serial: "AB12" does not match the pattern ^SN[0-9]{4}$)" << QStringList()
        << QStringList() << QString();
    QTest::newRow("a serial the setup requires")
        << failing << QStringList{"--set", "unit.required=true"} << true << 2
        << "unit.serial: a serial number is required by this setup" << QStringList() << QStringList() << QString();
    QTest::newRow("a JUnit report that cannot be written")
        << failing << QStringList{"--junit", "/proc/rfbench/report.xml"} << true << 1
        << "the JUnit report /proc/rfbench/report.xml cannot be written" << QStringList() << QStringList() << QString();
    // A path typed wrong: another program's file is never written over.
    QTest::newRow("a JUnit report named over another file")
        << failing << QStringList{"--junit", "{folder}/victim/notes.txt"} << true << 2
        << "victim/notes.txt is there and is not a JUnit report; it is left as it is" << QStringList() << QStringList()
        << QString();
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
    QTest::newRow("the setup names another program's file as its store")
        << QByteArray(R"("store": {"address": "../victim/notes.txt"},)" "\n") + powerRun << QStringList() << true << 2
        << "notes.txt is not a results store (it is not an SQLite database); a file that a setup names is never set "
           "aside"
        << QStringList() << QStringList() << QString();
    QTest::newRow("the setup names another program's empty file as its store")
        << QByteArray(R"("store": {"address": "../victim/empty.txt"},)" "\n") + powerRun << QStringList() << true << 2
        << "empty.txt is not a results store (it is an empty file)" << QStringList() << QStringList() << QString();
    QTest::newRow("a store that cannot be written costs no row")
        << powerRun << QStringList{"--store", "/proc/rfbench/rfbench.sqlite"} << true << 0 << "is not being written"
        << QStringList{"Table -5 dBm=6"} << QStringList() << QString();
    QTest::newRow("power meter lost during the run")
        << powerRun << QStringList() << true << 6 << "the power meter's connection was lost"
        << QStringList{"Table -5 dBm=6"} << QStringList{"--powermeter-close-after", "4"} << local;
    QTest::newRow("a setup that identifies its instruments")
        << powerRun << QStringList{"--set", "store.identify=true"} << true << 0 << QString()
        << QStringList{"Table -5 dBm=6"} << QStringList() << local;
    QTest::newRow("synthesizer lost during the run")
        << powerRun << QStringList() << true << 6
        << "the synthesizer's connection was lost during the run: the readings are not at the stated frequencies"
        << QStringList{"Table -5 dBm=6"} << QStringList{"--synth-close-after", "3"} << local;
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
    QTest::newRow("a correction table that is not there")
        << powerRun + R"(, "corrections": {"powerMeter": {"A": "cables/gone.csv"}})" << QStringList() << true << 2
        << "corrections.powerMeter.A: " << QStringList() << QStringList() << QString();
    QTest::newRow("a correction table short of the run")
        << powerRun + R"(, "corrections": {"powerMeter": {"A": [[900, 1], [1050, 2]]}})" << QStringList() << true << 2
        << "1050 to 1100 MHz of the measurement is not covered" << QStringList() << QStringList() << QString();
    QTest::newRow("out of range") << powerRun << QStringList{"--set", "delay=9000"} << true << 2
                                  << "delay: 9000 is out of range (0 to 5000 ms)" << QStringList() << QStringList()
                                  << QString();
    QTest::newRow("bad sequence entry") << QByteArray(sequence).replace("\"powerStep\": 10", "\"span\": 20")
                                        << QStringList() << true << 2
                                        << "measurements[1].span: not a field of a power measurement" << QStringList()
                                        << QStringList() << QString();
    // Not the setup's fault, and nothing is sent either.
    QTest::newRow("a data folder that cannot be written")
        << powerRun << QStringList{"--data-dir", "/proc/self"} << true << 1
        << "no file can be created in the folder /proc/self" << QStringList() << QStringList() << QString();
    QTest::newRow("a trace file that cannot be written")
        << powerRun << QStringList{"--trace", "/proc/rfbench/trace.log"} << true << 1
        << "the trace file /proc/rfbench/trace.log cannot be written" << QStringList() << QStringList() << QString();
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

    // Runs that cannot start, broken setups and unreachable instruments meet recording
    // stand-ins: not a byte may reach them.
    const bool notStarted = code == 1 || code == 2;
    const bool recorded = notStarted || code == 3;
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
    // Another program's file, which no setup may have moved, replaced or written.
    const QByteArray notes = "2026-03-02 calibrated the bench\n";
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("victim")));
    QFile victim(folder.filePath(QStringLiteral("victim/notes.txt")));
    QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write(notes) == notes.size());
    victim.close();
    QFile empty(folder.filePath(QStringLiteral("victim/empty.txt")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();

    overrides.replaceInStrings(QStringLiteral("{folder}"), folder.path());
    const QString report = folder.filePath(QStringLiteral("report.xml"));
    const QStringList arguments = QStringList{setupPath, QStringLiteral("--data-dir"), folder.path(), QStringLiteral("--json")}
                                + (overrides.contains(QStringLiteral("--junit")) ? QStringList()
                                                                                 : QStringList{QStringLiteral("--junit"), report})
                                + overrides;
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
    // Nothing of Qt's own: a link that dropped is not written to.
    QVERIFY2(!run.err.contains("QIODevice"), run.err.constData());
    QVERIFY(victim.open(QIODevice::ReadOnly));
    QCOMPARE(victim.readAll(), notes);
    QCOMPARE(QDir(folder.filePath(QStringLiteral("victim"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"empty.txt", "notes.txt"}));
    QCOMPARE(QFileInfo(empty.fileName()).size(), 0);
    if (recorded) {
        QCOMPARE(synth->received(), QByteArray());
        QCOMPARE(meter->received(), QByteArray());
        if (analyzer)
            QCOMPARE(analyzer->received(), QByteArray());
        if (notStarted)
            QCOMPARE(synth->connectionCount() + meter->connectionCount(), 0);
    }
    const QJsonObject summary = QJsonDocument::fromJson(run.out).object();
    if (notStarted) {
        QVERIFY(run.out.isEmpty());
        QVERIFY(!QFile::exists(report));
        return;
    }
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), code);
    // The verdict: none without limits; the report's cases agree with it and name the first failure.
    const QString verdict = summary.value(QStringLiteral("verdict")).toString();
    QCOMPARE(summary.value(QStringLiteral("verdict")).isNull(), !measurements.contains("\"limits\""));
    const QJsonArray failures = summary.value(QStringLiteral("firstFailures")).toArray();
    QCOMPARE(failures.size(), qMin(10, summary.value(QStringLiteral("failed")).toInt()));
    QString why;
    const QJsonArray suites = junitSuites(report, &why);
    QVERIFY2(suites.size() == (measurements.contains("\"measurements\"") ? 2 : 1), qPrintable(why));
    QMap<QString, int> outcomes;
    QString firstFailure;
    for (const QJsonValue &suite : suites) {
        const QJsonObject properties = suite[QStringLiteral("properties")].toObject();
        QCOMPARE(properties.value(QStringLiteral("station")).toString(),
                 storeInSetup ? QStringLiteral("bench-3") : QHostInfo::localHostName());
        QCOMPARE(properties.contains(QStringLiteral("limits")), !verdict.isEmpty());
        for (const QJsonValue &c : suite[QStringLiteral("cases")].toArray()) {
            ++outcomes[c[QStringLiteral("outcome")].toString()];
            if (firstFailure.isEmpty() && c[QStringLiteral("outcome")].toString() == QLatin1String("failure"))
                firstFailure = c[QStringLiteral("message")].toString();
        }
    }
    QCOMPARE(outcomes.value(QStringLiteral("failure")) > 0, verdict == QLatin1String("FAIL"));
    if (verdict == QLatin1String("NO READING"))
        QVERIFY(outcomes.value(QStringLiteral("error")) > 0);
    if (verdict.isEmpty())
        QCOMPARE(outcomes.keys(), QStringList{QStringLiteral("skipped")});
    if (!failures.isEmpty()) {
        const QJsonObject first = failures.first().toObject();
        const QString named = QStringLiteral(" %1 at %2 MHz").arg(first.value(QStringLiteral("point")).toInt())
                                  .arg(Verdict::frequencyText(first.value(QStringLiteral("frequencyMhz")).toDouble()));
        QVERIFY2(firstFailure.contains(named), qPrintable(firstFailure + QStringLiteral(" | ") + named));
    }
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
    QCOMPARE(summary.value(QStringLiteral("runPoints")).toInt(), summary.value(QStringLiteral("points")).toInt());
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
            // Under the version this build of the program is.
            QCOMPARE(entry.version, QStringLiteral(RFBENCH_VERSION));
            // Under the station the setup names, else the host's name.
            if (storeInSetup)
                QCOMPARE(entry.station, QStringLiteral("bench-3"));
            // The verdict said is the one on record, with its counts; a point is judged where
            // its run has limits.
            if (results->runs(RunFilter()).size() == 1) {
                QCOMPARE(entry.verdict.verdict, summary.value(QStringLiteral("verdict")).toString());
                QCOMPARE(entry.verdict.failed, qint64(summary.value(QStringLiteral("failed")).toInt()));
                QCOMPARE(entry.verdict.marginal, qint64(summary.value(QStringLiteral("marginal")).toInt()));
                for (const StoredPoint &point : results->points(entry.id))
                    QCOMPARE(point.verdict.isEmpty(), entry.verdict.verdict.isEmpty());
            }
            // A link lost, also before the run began, is on the run's record.
            if (code == 6) {
                QStringList troubles;
                for (const RunTrouble &trouble : results->troubles(entry.id))
                    troubles << trouble.instrument + QStringLiteral(": ") + trouble.text;
                QVERIFY2(troubles.filter(QStringLiteral("connection lost")).size() == 1, qPrintable(troubles.join('|')));
            }
        }
        QCOMPARE(recorded, points + before.value(rows.value(0).section(QLatin1Char('='), 0, 0)));
        // Each failure named is a point on record, with the frequency and the value it was judged by.
        for (const QJsonValue &failure : failures) {
            int found = 0;
            for (const RunSummary &entry : results->runs(RunFilter()))
                for (const StoredPoint &point : results->points(entry.id))
                    if (point.pass == failure[QStringLiteral("pass")].toInt()
                        && point.number == quint64(failure[QStringLiteral("point")].toInt())) {
                        ++found;
                        QCOMPARE(point.values.at(0), failure[QStringLiteral("frequencyMhz")].toDouble());
                        QCOMPARE(point.values.at(1), failure[QStringLiteral("value")].toDouble());
                    }
            QCOMPARE(found, 1);
            QCOMPARE(failure[QStringLiteral("by")].toDouble(),
                     failure[QStringLiteral("value")].toDouble() - failure[QStringLiteral("limit")].toDouble());
        }
        QCOMPARE(QDir(storeFolder).entryList({QStringLiteral("*.sqlite")}), QStringList{store});
        if (storeInSetup)
            QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("*.sqlite")}), QStringList());
    }
    if (bench && !simArguments.contains(QStringLiteral("--synth-hang-up"))) {
        // The synthesizer got the power first, then every point's frequency, as from the window.
        QStringList lines = bench->receivedLines(QStringLiteral("synthesizer"));
        lines.removeAll(QStringLiteral("*IDN?"));
        QVERIFY2(!lines.isEmpty() && lines.first().startsWith(QStringLiteral("POW")), qPrintable(lines.join('|')));
    }
    if (bench) {
        // Setups without limits are no tests: no instrument is asked who it is, unless the setup
        // says so; then each instrument of the run once, and the answers are on record.
        // A setup with limits is a test, and identifies unless told otherwise.
        const bool identifies =
            overrides.contains(QStringLiteral("store.identify=true")) || measurements.contains("\"limits\"");
        for (const QString instrument : {"synthesizer", "power meter", "spectrum analyzer"}) {
            const int asked = bench->receivedLines(instrument).count(QStringLiteral("*IDN?"));
            // A synthesizer that hangs up cuts the run short before the meter is asked.
            const bool cut = simArguments.contains(QStringLiteral("--synth-hang-up"));
            QVERIFY2(cut ? asked <= 1 : asked == (identifies && instrument != QLatin1String("spectrum analyzer") ? 1 : 0),
                     qPrintable(instrument));
        }
        if (identifies) {
            const auto results = SqliteStore::open(QDir(storeFolder).filePath(store), SqliteStore::Mode::Read, nullptr);
            const QList<RunSummary> runs = results->runs(RunFilter());
            QCOMPARE(runs.size(), 1);
            QVERIFY2(runs.first().identities.startsWith(QStringLiteral("synthesizer: "))
                         && runs.first().identities.contains(QStringLiteral("\npower meter: ")),
                     qPrintable(runs.first().identities));
        }
    }
}

void tst_HeadlessRun::helpAndVersionWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("said"); // on standard output, or on standard error when the code is not 0
    const QString version = QStringLiteral("rfbench " RFBENCH_VERSION "\n");
    const QStringList help{"rfbench run [options] SETUP.json", "rfbench runs [show|export|setup]", "--data-dir <folder>",
                           "--trace <file>", "--store <file>", "--version"};
    QTest::newRow("the window's help") << QStringList{"--help"} << 0 << help;
    QTest::newRow("all of the window's help") << QStringList{"--help-all"} << 0 << help;
    QTest::newRow("the window's version") << QStringList{"--version"} << 0 << QStringList{version};
    QTest::newRow("the run's version") << QStringList{"run", "--version"} << 0 << QStringList{version};
    QTest::newRow("the runs' version") << QStringList{"runs", "-v"} << 0 << QStringList{version};
    // Refused with a word, never an abort.
    QTest::newRow("help with an unknown option") << QStringList{"--help", "--bogus"} << 1
                                                 << QStringList{"rfbench: Unknown option 'bogus'.\n"};
    QTest::newRow("the window") << QStringList{"--data-dir", "."} << 1
                                << QStringList{"rfbench: the window needs a display (DISPLAY is not set); "
                                               "rfbench run measures without one\n"};
}

void tst_HeadlessRun::helpAndVersionWithoutADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QStringList, said);
    const Finished done = rfbench(arguments);
    QVERIFY2(done.code == code, done.err.constData());
    QCOMPARE(code == 0 ? done.err : done.out, QByteArray());
    const QByteArray &text = code == 0 ? done.out : done.err;
    if (said.size() == 1)
        QCOMPARE(QString::fromUtf8(text), said.first());
    for (const QString &part : said)
        QVERIFY2(text.contains(part.toUtf8()), text.constData());
}

void tst_HeadlessRun::troubleFlood_data()
{
    QTest::addColumn<QList<qint64>>("arrivals"); // ms of a steady clock
    QTest::addColumn<QString>("shown");          // for each arrival: '+' its line is shown, '.' not
    QTest::addColumn<bool>("countUnsaid");       // after the last

    // 3 times shown each, then a quiet time of 5 s.
    QTest::newRow("the first few, each") << QList<qint64>{0, 0, 0} << "+++" << false;
    QTest::newRow("a flood") << QList<qint64>{0, 1, 2, 3, 4, 900} << "+++..." << true;
    QTest::newRow("one line a quiet time after the last one shown")
        << QList<qint64>{0, 1, 2, 3, 5001, 5002, 10001, 10002} << "+++..+.+" << false;
    QTest::newRow("seldom: every time") << QList<qint64>{0, 6000, 12000, 18000, 24000} << "+++++" << false;
    QTest::newRow("held back after a line") << QList<qint64>{0, 1, 2, 7000, 7001} << "++++." << true;
}

void tst_HeadlessRun::troubleFlood()
{
    QFETCH(QList<qint64>, arrivals);
    QFETCH(QString, shown);
    QFETCH(bool, countUnsaid);
    TroubleFlood::State state;
    QString seen;
    for (const qint64 at : arrivals)
        seen += TroubleFlood::arrive(state, at) ? QLatin1Char('+') : QLatin1Char('.');
    QCOMPARE(seen, shown);
    QCOMPARE(TroubleFlood::countUnsaid(state), countUnsaid);
    // Said once at the end, the count is owed no more.
    TroubleFlood::shown(state, arrivals.last());
    QVERIFY(!TroubleFlood::countUnsaid(state));
}

void tst_HeadlessRun::aFloodOfOneTroubleIsSummarised()
{
    // Every reading of the meter is a trouble: 40 of one kind, then one of a measurement of its own.
    BenchSimProcess bench({QStringLiteral("--powermeter-nan")});
    QVERIFY(bench.isReady());
    QTemporaryDir folder;
    const QString setupPath = folder.filePath(QStringLiteral("flood.json"));
    QFile file(setupPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(bench.synthAddress(), bench.powerMeterAddress(), bench.analyzerAddress(), R"("measurements": [
  {"kind": "power", "start": 1000, "stop": 1039, "points": 40, "power": -5, "delay": 0, "fetchValues": false},
  {"kind": "power", "start": 2000, "stop": 2000, "points": 1, "power": 5, "delay": 0, "fetchValues": false}
])"));
    file.close();
    const QString trace = folder.filePath(QStringLiteral("trace.log"));
    QElapsedTimer clock;
    clock.start();
    const Finished run = runRfbench({setupPath, QStringLiteral("--data-dir"), folder.path(), QStringLiteral("--trace"), trace});
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(run.code == 0, run.err.constData());

    const QByteArray trouble = "Power meter: answer to FETC? is not a number";
    const QList<QByteArray> lines = run.err.split('\n');
    const int said = int(std::count_if(lines.cbegin(), lines.cend(), [&](const QByteArray &l) { return l.startsWith(trouble); }));
    // The first few of the flood, at most one line in each quiet time, its count before the
    // measurement's summary; and the next measurement's own.
    const int most = TroubleFlood::shownEachTime + int(elapsed / TroubleFlood::quietMs) + 2;
    QVERIFY2(said >= TroubleFlood::shownEachTime + 2 && said <= most, run.err.constData());
    const int count = run.err.indexOf(trouble + ": \"NaN\" — 40 times in this run\n");
    QVERIFY2(count > 0 && count < run.err.indexOf("Power measurement finished: 40 points in "), run.err.constData());
    QVERIFY2(run.err.contains("Power measurement: 1 point per pass\n" + trouble + ": \"NaN\"\n"
                              "Power measurement finished: 1 point in "),
             run.err.constData());
    for (const char *text : {": finished, 41 points in 2 measurements, ", "\n  40 rows to “Table -5 dBm.xlsx”\n",
                             "\n  1 row to “Table 5 dBm.xlsx”\n"})
        QVERIFY2(run.out.contains(text), run.out.constData());

    // The trace and the store keep every one.
    QFile traced(trace);
    QVERIFY(traced.open(QIODevice::ReadOnly));
    QCOMPARE(traced.readAll().count("power meter ! answer to FETC? is not a number"), 41);
    QStringList announcements;
    const auto store = SqliteStore::open(folder.filePath(QStringLiteral("rfbench.sqlite")), SqliteStore::Mode::Read,
                                         &announcements);
    int stored = 0;
    for (const RunSummary &entry : store->runs(RunFilter()))
        stored += store->troubles(entry.id).size();
    QCOMPARE(stored, 41);
}

void tst_HeadlessRun::stopBySignalKeepsEveryRow()
{
    BenchSimProcess bench({QStringLiteral("--verbose")});
    QVERIFY(bench.isReady());
    QTemporaryDir folder;
    const QString setupPath = folder.filePath(QStringLiteral("long.json"));
    QFile file(setupPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // Limits that every reading meets: a unit stopped before its end has not passed. Tables for
    // the meter's path and for the analyzer's, which this run never reads.
    file.write(setupFor(bench.synthAddress(), bench.powerMeterAddress(), bench.analyzerAddress(),
                        R"("kind": "power", "start": 1000, "stop": 2000, "points": 2000, "delay": 20,
  "limits": {"lower": [[1000, -100], [2000, -100]]},
  "corrections": {"powerMeter": {"A": [[1000, 0], [2000, 0]]}, "analyzer": [[1000, 0], [2000, 0]]})"));
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
    QCOMPARE(summary.value(QStringLiteral("verdict")).toString(), QStringLiteral("INCOMPLETE"));
    const int points = summary.value(QStringLiteral("points")).toInt();
    QVERIFY2(points > 0 && points < 2000, err.constData());
    // Every measured point has its row, and no point was measured after its row was written.
    QCOMPARE(rowsOf(workbook), points);
    const QStringList fetches = bench.receivedLines(QStringLiteral("power meter")).filter(QStringLiteral("FETC"));
    QCOMPARE(fetches.size(), points);

    // It goes on with the table it read, as recorded; the one it never read is not asked for.
    QProcess resumed;
    resumed.start(QStringLiteral(RFBENCH_PATH), {QStringLiteral("run"), QStringLiteral("--resume"), QStringLiteral("1"),
                                                 QStringLiteral("--data-dir"), folder.path()});
    QVERIFY(resumed.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(workbook) > points || resumed.state() == QProcess::NotRunning, 20000);
    if (resumed.state() != QProcess::NotRunning) {
        ::kill(pid_t(resumed.processId()), SIGINT);
        QVERIFY(resumed.waitForFinished(20000));
    }
    QVERIFY2(resumed.exitCode() == 4, resumed.readAllStandardError().constData());
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
    // A sequence stopped in its first measurement: going on is that run's alone. Its first point,
    // always measured before the stop, fails; no later one does, in either pass.
    const QByteArray measurement = R"("measurements": [
  {"kind": "power", "start": 1000, "stop": 1400, "points": 100, "delay": 5, "fetchValues": false, "power": -2,
   "cycle": true, "powerStep": 15,
   "limits": {"upper": [[1000, -73], [1000, 0], [1400, 0]], "relativeTo": "output"}},
  {"kind": "power", "start": 3000, "stop": 3000, "points": 1, "delay": 0, "fetchValues": false, "power": 7}
])";
    QFile file(folder.filePath(QStringLiteral("setup.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(whole.synthAddress(), whole.powerMeterAddress(), whole.analyzerAddress(), measurement));
    file.close();
    const QString wholeFolder = folder.filePath(QStringLiteral("whole"));
    const QString partsFolder = folder.filePath(QStringLiteral("parts"));
    const Finished uninterrupted = runRfbench({file.fileName(), QStringLiteral("--data-dir"), wholeFolder});
    QVERIFY2(uninterrupted.code == 7, uninterrupted.err.constData());

    QProcess first;
    first.start(QStringLiteral(RFBENCH_PATH),
                {QStringLiteral("run"), file.fileName(), QStringLiteral("--data-dir"), partsFolder,
                 QStringLiteral("--set"), QStringLiteral("synthesizer.address=") + interrupted.synthAddress(),
                 QStringLiteral("--set"), QStringLiteral("powerMeter.address=") + interrupted.powerMeterAddress()});
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(partsFolder + QStringLiteral("/Table -2 dBm.xlsx")), 20000);
    ::kill(pid_t(first.processId()), SIGINT);
    QVERIFY(first.waitForFinished(20000));
    const QByteArray stopped = first.readAllStandardError();
    // A failed unit stays failed, stopped or not.
    QVERIFY2(first.exitCode() == 7, stopped.constData());
    QVERIFY2(first.readAllStandardOutput().contains("\n  measurements[1] (power) not started\n"), stopped.constData());
    QVERIFY2(stopped.contains("the sequence stopped before measurements[1] (power); --resume goes on with a stopped "
                              "run's own measurement alone"),
             stopped.constData());

    QStringList announcements;
    const auto store = SqliteStore::open(partsFolder + QStringLiteral("/rfbench.sqlite"), SqliteStore::Mode::Read,
                                         &announcements);
    const QList<RunSummary> runs = store->runs(RunFilter());
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().outcome, QStringLiteral("stopped"));
    const QString reportPath = folder.filePath(QStringLiteral("resumed.html"));
    const Finished resumed = runRfbench({QStringLiteral("--resume"), QString::number(runs.first().id),
                                         QStringLiteral("--data-dir"), partsFolder, QStringLiteral("--json"),
                                         QStringLiteral("--report"), reportPath});
    // The first process's failure counts: the unit has not passed because its run went on.
    QVERIFY2(resumed.code == 7, resumed.err.constData());
    // This process's points, and the run's with those of the first.
    const QJsonObject summary = QJsonDocument::fromJson(resumed.out).object();
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 1);
    QCOMPARE(summary.value(QStringLiteral("firstFailures")).toArray().at(0)[QStringLiteral("frequencyMhz")].toDouble(), 1000.0);
    QCOMPARE(summary.value(QStringLiteral("points")).toInt(), 200 - int(runs.first().points));
    QCOMPARE(summary.value(QStringLiteral("runPoints")).toInt(), 200);
    // Its report is of the whole run, the first process's points and failure with this one's.
    QFile report(reportPath);
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArray html = report.readAll();
    QVERIFY2(html.contains("200 in 2 passes") && html.contains(">FAIL<") && html.count("<tr class=\"fail\">") == 2,
             html.left(4000).constData());
    QVERIFY2(resumed.err.contains(QStringLiteral("rfbench run: run %1 goes on with its own power measurement alone; "
                                                 "measurements that followed it in a sequence are not run")
                                      .arg(runs.first().id)
                                      .toUtf8()),
             resumed.err.constData());
    QVERIFY(QFile::exists(wholeFolder + QStringLiteral("/Table 7 dBm.xlsx")));
    QVERIFY(!QFile::exists(partsFolder + QStringLiteral("/Table 7 dBm.xlsx")));
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

void tst_HeadlessRun::severalProgramsOnOneDataFolder()
{
    // A long run measures while seven short ones start, recover, measure and end in the same data
    // folder, store and workbook; another program asks to go on with the long run meanwhile.
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("setup.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(sim.synthAddress(), sim.powerMeterAddress(), sim.analyzerAddress(), powerRun));
    file.close();
    const QString data = folder.filePath(QStringLiteral("data"));
    const QString workbook = data + QStringLiteral("/Table -5 dBm.xlsx");
    const QStringList common{QStringLiteral("run"), file.fileName(), QStringLiteral("--data-dir"), data};
    QProcess longRun;
    longRun.start(QStringLiteral(RFBENCH_PATH), common + QStringList{QStringLiteral("--set"), QStringLiteral("points=29001"),
                                                                     QStringLiteral("--set"), QStringLiteral("stop=30000")});
    QVERIFY(longRun.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(workbook), 20000);

    std::vector<std::unique_ptr<QProcess>> shortRuns;
    for (int i = 0; i < 7; ++i) {
        shortRuns.push_back(std::make_unique<QProcess>());
        shortRuns.back()->start(QStringLiteral(RFBENCH_PATH), common);
    }
    for (const auto &run : shortRuns) {
        QVERIFY(run->waitForFinished(120000));
        QVERIFY2(run->exitCode() == 0, run->readAllStandardError().constData());
        // The live run's rows are on their way: nobody writes them again.
        QVERIFY(!run->readAllStandardError().contains("of an earlier run"));
    }
    const Finished refused = runRfbench({QStringLiteral("--resume"), QStringLiteral("1"), QStringLiteral("--data-dir"), data});
    QCOMPARE(refused.code, 2);
    QVERIFY2(refused.err.contains("another program is measuring run 1 now"), refused.err.constData());
    QCOMPARE(longRun.state(), QProcess::Running);
    ::kill(pid_t(longRun.processId()), SIGINT);
    QVERIFY(longRun.waitForFinished(30000));
    QVERIFY2(longRun.exitCode() == 4, longRun.readAllStandardError().constData());

    // Every point on record once, every row in the workbook once, each at the place its point
    // records.
    QStringList announcements;
    const auto store = SqliteStore::open(data + QStringLiteral("/rfbench.sqlite"), SqliteStore::Mode::Read, &announcements);
    const QList<RunSummary> runs = store->runs(RunFilter());
    QCOMPARE(runs.size(), 8);
    const QMap<QString, QString> cells = WorkbookDump::cells(WorkbookDump::dump(workbook), QStringLiteral("Лист 1"));
    int points = 0;
    QSet<int> rows;
    for (const RunSummary &run : runs) {
        QCOMPARE(run.outcome, run.id == 1 ? QStringLiteral("stopped") : QStringLiteral("finished"));
        for (const StoredPoint &point : store->points(run.id)) {
            ++points;
            QVERIFY(point.inWorkbook);
            QCOMPARE(QFileInfo(point.placedPath).canonicalFilePath(), QFileInfo(workbook).canonicalFilePath());
            QVERIFY2(!rows.contains(point.placedRow), qPrintable(QString::number(point.placedRow)));
            rows << point.placedRow;
            QCOMPARE(cells.value(QStringLiteral("A%1").arg(point.placedRow)), QStringLiteral("n:%1").arg(point.values.at(0)));
        }
    }
    QVERIFY(points > 7 * 6);
    QCOMPARE(rowsOf(workbook), points);
}

void tst_HeadlessRun::storeReasonsReachStandardError_data()
{
    QTest::addColumn<QString>("refusal"); // a trigger of the store that refuses one kind of write
    QTest::addColumn<QString>("reason");
    QTest::newRow("a pass, the points after it written")
        << QStringLiteral("BEFORE INSERT ON passes") << QStringLiteral("passes refused here");
    QTest::newRow("the marks of the rows in their workbook")
        << QStringLiteral("BEFORE UPDATE OF in_workbook ON points") << QStringLiteral("marks refused here");
    QTest::newRow("the run's end, after its last point")
        << QStringLiteral("BEFORE UPDATE OF outcome ON runs WHEN NEW.outcome = 'finished'")
        << QStringLiteral("ends refused here");
}

void tst_HeadlessRun::storeReasonsReachStandardError()
{
    QFETCH(QString, refusal);
    QFETCH(QString, reason);
    BenchSimProcess bench;
    QVERIFY(bench.isReady());
    QTemporaryDir folder;
    const QString storePath = folder.filePath(QStringLiteral("rfbench.sqlite"));
    QVERIFY(SqliteStore::open(storePath, SqliteStore::Mode::Write, nullptr)->problem().isEmpty());
    {
        QSqlDatabase store = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("refusing"));
        store.setDatabaseName(storePath);
        QVERIFY(store.open());
        QSqlQuery trigger(store);
        QVERIFY2(trigger.exec(QStringLiteral("CREATE TRIGGER refusing %1 BEGIN SELECT RAISE(ABORT, '%2'); END")
                                  .arg(refusal, reason)),
                 qPrintable(trigger.lastError().text()));
        trigger.finish();
        store.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("refusing"));
    QFile file(folder.filePath(QStringLiteral("setup.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(bench.synthAddress(), bench.powerMeterAddress(), bench.analyzerAddress(), powerRun));
    file.close();

    const Finished run = runRfbench({file.fileName(), QStringLiteral("--data-dir"), folder.path()});
    // The measurement and its workbook go on without the store, which says why at once.
    QVERIFY2(run.code == 0, run.err.constData());
    QCOMPARE(rowsOf(folder.filePath(QStringLiteral("Table -5 dBm.xlsx"))), 6);
    const QString said = QStringLiteral("The results store %1 is not being written (%2); the workbooks are.\n")
                             .arg(storePath, reason);
    QVERIFY2(run.err.count(said.toUtf8()) == 1, run.err.constData());
}

void tst_HeadlessRun::aKilledRunIsRecordedInterruptedByTheNextWrite()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("setup.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(setupFor(sim.synthAddress(), sim.powerMeterAddress(), sim.analyzerAddress(),
                        R"("kind": "power", "start": 1000, "stop": 2000, "points": 2000, "delay": 20,
  "limits": {"lower": [[1000, -100], [2000, -100]]})"));
    file.close();
    const QString data = folder.filePath(QStringLiteral("data"));
    const QString store = data + QStringLiteral("/rfbench.sqlite");
    // Each run at a power of its own, so that each has a workbook of its own to wait for.
    const auto start = [&](QProcess &process, int power) {
        process.start(QStringLiteral(RFBENCH_PATH),
                      {QStringLiteral("run"), file.fileName(), QStringLiteral("--data-dir"), data, QStringLiteral("--set"),
                       QStringLiteral("power=%1").arg(power)});
        return process.waitForStarted()
            && QTest::qWaitFor([&] { return QFile::exists(data + QStringLiteral("/Table %1 dBm.xlsx").arg(power)); },
                               20000);
    };
    const auto killed = [](QProcess &process) {
        ::kill(pid_t(process.processId()), SIGKILL);
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::CrashExit;
    };

    // Killed with no other program on the store: the file still says running, and a reader,
    // which writes nothing, leaves it so while it shows the run interrupted.
    QProcess first;
    QVERIFY(start(first, 1));
    QVERIFY(killed(first));
    QCOMPARE(recordedOutcomes(store), (QMap<qint64, QString>{{1, "running"}}));
    const Finished listed = rfbench({QStringLiteral("runs"), QStringLiteral("--json"), QStringLiteral("--data-dir"), data});
    QCOMPARE(listed.code, 0);
    QCOMPARE(QJsonDocument::fromJson(listed.out).array().at(0)[QStringLiteral("outcome")].toString(),
             QStringLiteral("interrupted"));
    // Its verdict as it stood when it was killed is on record: a unit cut short has not passed.
    QCOMPARE(QJsonDocument::fromJson(listed.out).array().at(0)[QStringLiteral("verdict")].toString(),
             QStringLiteral("INCOMPLETE"));
    QCOMPARE(recordedOutcomes(store), (QMap<qint64, QString>{{1, "running"}}));

    // The next writer records it as it opens the store; one that writes already records a run
    // killed meanwhile with its next points, long before it ends.
    QProcess writing;
    QVERIFY(start(writing, 2));
    QCOMPARE(recordedOutcomes(store).value(1), QStringLiteral("interrupted"));
    QProcess third;
    QVERIFY(start(third, 3));
    QVERIFY(killed(third));
    QTRY_COMPARE_WITH_TIMEOUT(recordedOutcomes(store), (QMap<qint64, QString>{{1, "interrupted"}, {2, "running"},
                                                                             {3, "interrupted"}}),
                              20000);
    QCOMPARE(writing.state(), QProcess::Running);
    ::kill(pid_t(writing.processId()), SIGINT);
    QVERIFY(writing.waitForFinished(30000));
    QVERIFY2(writing.exitCode() == 4, writing.readAllStandardError().constData());
    QCOMPARE(recordedOutcomes(store).value(2), QStringLiteral("stopped"));
}

void tst_HeadlessRun::aPathLossIsCorrectedToTheUnit_data()
{
    QTest::addColumn<QString>("kind");          // of the measurement
    QTest::addColumn<QByteArray>("simTable");   // the simulated path's loss; empty: the simulator's own
    QTest::addColumn<QByteArray>("setupTable"); // the table the setup names; empty: none
    QTest::addColumn<QString>("setupExtra");    // more keys of "corrections"
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("warning");       // on standard error and in the run's note

    // 1.5 dB at 900 MHz rising to 4.5 dB at 1200 MHz: 2.5 to 3.5 dB over the run.
    const QByteArray sloped = "frequency_mhz,loss_db\n# valid until 2099-12-31\n900,1.5\n1200,4.5\n";
    const QByteArray due = QByteArray(sloped).replace("2099-12-31", "2020-01-01");
    const QString power = QStringLiteral("power");
    const QString spur = QStringLiteral("spur");
    QTest::newRow("a sloped path and its table") << power << sloped << sloped << QString() << 0 << QString();
    // Judged on the meter's readings, 2.5 dB and more below the unit's output, the unit fails.
    QTest::newRow("the same path without a table") << power << sloped << QByteArray() << QString() << 7 << QString();
    QTest::newRow("a table past its due date") << power << due << due << QString() << 0
                                               << "the correction table cables/path.csv was due for calibration on 2020-01-01";
    QTest::newRow("a table past its due date, enforced")
        << power << due << due << ", \"enforceDue\": true" << 2 << "cables/path.csv was due for calibration on 2020-01-01";
    // The analyzer's carrier, judged at the unit.
    QTest::newRow("the analyzer's sloped path and its table") << spur << sloped << sloped << QString() << 0 << QString();
    QTest::newRow("the analyzer's path without a table") << spur << sloped << QByteArray() << QString() << 7 << QString();
}

// The unit puts out -5 dBm; the meter reads it through a sloped path. With the path's table the
// run has the unit's output back, judges that, and still keeps what the meter read.
void tst_HeadlessRun::aPathLossIsCorrectedToTheUnit()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, simTable);
    QFETCH(QByteArray, setupTable);
    QFETCH(QString, setupExtra);
    QFETCH(int, code);
    QFETCH(QString, warning);

    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("setups/cables")));
    const QString simPath = folder.filePath(QStringLiteral("simulated path.csv"));
    QFile simFile(simPath);
    QVERIFY(simFile.open(QIODevice::WriteOnly) && simFile.write(simTable) == simTable.size());
    simFile.close();
    if (!setupTable.isEmpty()) {
        QFile table(folder.filePath(QStringLiteral("setups/cables/path.csv")));
        QVERIFY(table.open(QIODevice::WriteOnly) && table.write(setupTable) == setupTable.size());
    }
    const bool spur = kind == QLatin1String("spur");
    BenchSimProcess bench({spur ? QStringLiteral("--path-loss-analyzer") : QStringLiteral("--path-loss-meter"), simPath});
    QVERIFY(bench.isReady());
    {
        // The operator switched the RF output on at the synthesizer; a run sends no RF command.
        QTcpSocket socket;
        socket.connectToHost(bench.synthAddress(), 5023);
        QVERIFY(socket.waitForConnected(5000));
        socket.write("OUTP ON\nOUTP?\n");
        QVERIFY(socket.waitForReadyRead(5000));
    }
    const QByteArray band = R"({"upper": [[1000, -4.5], [1100, -4.5]], "lower": [[1000, -5.5], [1100, -5.5]]})";
    const QByteArray measurement =
        (spur ? R"("kind": "spur", "start": 1000, "stop": 1100, "points": 3, "power": -5, "delay": 0, "limits": {"carrier": )"
                    + band + "}"
              : powerRun + R"(, "limits": )" + band)
        + (setupTable.isEmpty() ? QByteArray()
                                : (spur ? R"(, "corrections": {"analyzer": "cables/path.csv")"
                                        : R"(, "corrections": {"powerMeter": {"A": "cables/path.csv"})")
                                      + setupExtra.toUtf8() + "}");
    const QString setupPath = folder.filePath(QStringLiteral("setups/bench.json"));
    QFile setup(setupPath);
    QVERIFY(setup.open(QIODevice::WriteOnly));
    setup.write(setupFor(bench.synthAddress(), bench.powerMeterAddress(), bench.analyzerAddress(), measurement));
    setup.close();

    const Finished run = runRfbench({setupPath, QStringLiteral("--data-dir"), folder.path(), QStringLiteral("--json")});
    QVERIFY2(run.code == code, run.err.constData());
    if (!warning.isEmpty())
        QVERIFY2(run.err.contains(warning.toUtf8()), run.err.constData());
    const QString workbook = folder.filePath(QStringLiteral("Table -5 dBm.xlsx"));
    if (code == 2) {
        QVERIFY(!QFile::exists(workbook));
        QVERIFY(bench.receivedLines(QStringLiteral("power meter")).isEmpty());
        return;
    }
    const QJsonObject summary = QJsonDocument::fromJson(run.out).object();
    const QJsonArray tables = summary.value(QStringLiteral("corrections")).toArray();
    QCOMPARE(tables.size(), setupTable.isEmpty() ? 0 : 1);
    if (!tables.isEmpty()) {
        QCOMPARE(tables.at(0)[QStringLiteral("path")].toString(),
                 spur ? QStringLiteral("analyzer") : QStringLiteral("powerMeter.A"));
        QCOMPARE(tables.at(0)[QStringLiteral("sha256")].toString(),
                 QString::fromLatin1(QCryptographicHash::hash(setupTable, QCryptographicHash::Sha256).toHex()));
    }
    const QJsonArray failures = summary.value(QStringLiteral("firstFailures")).toArray();
    if (spur) {
        // The carrier as the analyzer read it, well below the unit's output.
        if (code == 7)
            QVERIFY(failures.first()[QStringLiteral("value")].toDouble() < -7);
        return;
    }
    // The meter's reading stays in its column; the level at the unit stands in one more, right of it.
    const QMap<QString, QString> cells = WorkbookDump::cells(WorkbookDump::dump(workbook), QStringLiteral("Лист 1"));
    const auto number = [&cells](const QString &cell) { return cells.value(cell).mid(2).toDouble(); };
    for (int row = 1; row <= 6; ++row) {
        const QString r = QString::number(row);
        const double frequency = number(QStringLiteral("A") + r);
        QCOMPARE(frequency, 1000.0 + 20 * (row - 1));
        const double loss = 1.5 + (frequency - 900) / 100;
        // Within the simulator's noise (0.08 dB) and one point's step of the slope (0.2 dB): with
        // no delay the meter may read before the synthesizer, on a link of its own, has moved.
        const double raw = number(QStringLiteral("B") + r);
        QVERIFY2(std::fabs(raw - (-5 - loss)) < 0.3, qPrintable(r + QStringLiteral(": ") + QString::number(raw)));
        QCOMPARE(cells.contains(QStringLiteral("E") + r), !setupTable.isEmpty());
        if (!setupTable.isEmpty()) {
            // Corrected by the loss at the point's own frequency, up to the unit's output.
            const double corrected = number(QStringLiteral("E") + r);
            QVERIFY(std::fabs(corrected - (raw + loss)) < 1e-9);
            QVERIFY(std::fabs(corrected - -5) < 0.3);
        }
    }
    QVERIFY(!cells.contains(QStringLiteral("F1")) && !cells.contains(QStringLiteral("A7")));
    if (code == 7)
        QVERIFY(failures.first()[QStringLiteral("value")].toDouble() < -7);
    // The warning is the run's note in its record.
    if (!warning.isEmpty()) {
        QString note;
        {
            QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("note"));
            database.setDatabaseName(folder.filePath(QStringLiteral("rfbench.sqlite")));
            QSqlQuery query(database);
            if (database.open() && query.exec(QStringLiteral("SELECT note FROM runs")) && query.next())
                note = query.value(0).toString();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("note"));
        QVERIFY2(note.contains(warning), qPrintable(note));
    }
}

void tst_HeadlessRun::theTestReportOfTheRuns_data()
{
    QTest::addColumn<QByteArray>("report"); // the setup's key; empty: none
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("existing"); // another program's file there before the run; empty: none
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("written");  // the report; empty: none
    QTest::addColumn<QString>("message");  // on standard error
    // Another program's trigger in the store, which keeps it from taking writes; empty: none.
    QTest::addColumn<QString>("trigger");

    // Each measurement of the sequence is a run of the store; the report has both verdicts.
    QTest::newRow("a PDF of both runs of a sequence")
        << QByteArray() << QStringList{"--report", "{folder}/Report.PDF"} << QString() << 7 << "Report.PDF" << QString()
        << QString();
    QTest::newRow("the setup's name, taken by another file")
        << QByteArray("reports/{unit} {date}.html") << QStringList() << "reports/SN0042 {date}.html" << 7
        << "reports/SN0042 {date} (2).html" << QString() << QString();
    QTest::newRow("the command line's name over the setup's")
        << QByteArray("{unit}.pdf") << QStringList{"--report", "{folder}/named.htm"} << QString() << 7 << "named.htm"
        << QString() << QString();
    QTest::newRow("another program's file at the path")
        << QByteArray() << QStringList{"--report", "{folder}/victim.pdf"} << "victim.pdf" << 2 << QString()
        << "victim.pdf is there and is not a report of rfbench; it is left as it is" << QString();
    QTest::newRow("not a report's name")
        << QByteArray() << QStringList{"--report", "{folder}/report.txt"} << QString() << 2 << QString()
        << "--report {folder}/report.txt: a test report's name ends in" << QString();
    QTest::newRow("a report that cannot be written turns a pass into 1")
        << QByteArray() << QStringList{"--report", "/proc/rfbench/report.pdf", "--set", "measurements[0].run=false"}
        << QString() << 1 << QString() << "the test report /proc/rfbench/report.pdf was not written" << QString();
    QTest::newRow("nothing measured") << QByteArray() << QStringList{"--report", "{folder}/r.pdf"} << QString() << 3
                                      << QString() << "rfbench.sqlite holds no run of it whole" << QString();
    // The store refuses the second measurement's run: a report of the first alone would pass a
    // unit the second failed.
    QTest::newRow("a store that refuses a run of the sequence")
        << QByteArray() << QStringList{"--report", "{folder}/r.pdf"} << QString() << 7 << QString()
        << "rfbench.sqlite holds no run of it whole"
        << "CREATE TRIGGER refusing BEFORE INSERT ON runs WHEN (SELECT count(*) FROM runs) >= 1 "
           "BEGIN SELECT RAISE(ABORT, 'refused'); END";
    // The points wait in memory for the store: a report without them would pass any unit.
    QTest::newRow("a store that takes the run, never its points")
        << QByteArray() << QStringList{"--report", "{folder}/r.pdf", "--set", "measurements[0].run=false"} << QString()
        << 1 << QString() << "rfbench.sqlite holds no run of it whole"
        << "CREATE TRIGGER failing BEFORE INSERT ON points BEGIN INSERT INTO gone VALUES (1); END";
}

// "rfbench run --report": one report of every run the setup made, drawn by a process of its own
// from the local store; a name that another program's file holds is never written.
void tst_HeadlessRun::theTestReportOfTheRuns()
{
    QFETCH(QByteArray, report);
    QFETCH(QStringList, arguments);
    QFETCH(QString, existing);
    QFETCH(int, code);
    QFETCH(QString, written);
    QFETCH(QString, message);
    QFETCH(QString, trigger);

    QTemporaryDir folder;
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    for (QString *text : {&existing, &written, &message})
        text->replace(QStringLiteral("{folder}"), folder.path()).replace(QStringLiteral("{date}"), today);
    arguments.replaceInStrings(QStringLiteral("{folder}"), folder.path());
    // Nothing may reach the instruments of a run refused; one that is measured meets the simulator.
    const bool refused = code == 2 || code == 3;
    std::unique_ptr<BenchSimProcess> bench;
    std::unique_ptr<FakeInstrument> synth, meter;
    if (refused) {
        synth.reset(new FakeInstrument(5023));
        meter.reset(new FakeInstrument(5025));
    } else {
        bench.reset(new BenchSimProcess);
        QVERIFY(bench->isReady());
    }
    // The unit fails the first measurement's lower limit (the RF output is off) and passes the
    // second. Without an analyzer, a spur measurement measures nothing.
    const QByteArray measurements = code == 3 ? QByteArray(R"("kind": "spur", "start": 2000, "stop": 2000, "points": 1)")
                                              : R"("measurements": [
  {)" + powerRun + R"(, "limits": {"lower": [[1000, -20], [1100, -20]]}},
  {)" + powerRun + R"(, "limits": {"upper": [[1000, 0], [1100, 0]]}}
])";
    QByteArray text = setupFor(refused ? synth->address() : bench->synthAddress(),
                               refused ? meter->address() : bench->powerMeterAddress(),
                               TestAddresses::randomLoopback().toString(), measurements);
    if (!report.isEmpty())
        text.replace("{\"format\": 1,", "{\"format\": 1, \"report\": \"" + report + "\",");
    const QString setupPath = folder.filePath(QStringLiteral("setup.json"));
    QFile setup(setupPath);
    QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write(text) == text.size());
    setup.close();
    const QByteArray foreign = "%PDF-1.4 another program's document\n";
    if (!existing.isEmpty()) {
        QVERIFY(QDir(folder.path()).mkpath(QFileInfo(folder.filePath(existing)).path()));
        QFile file(folder.filePath(existing));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(foreign) == foreign.size());
    }

    if (!trigger.isEmpty()) {
        const QString storePath = folder.filePath(QStringLiteral("rfbench.sqlite"));
        QVERIFY(SqliteStore::open(storePath, SqliteStore::Mode::Write, nullptr)->problem().isEmpty());
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"), {storePath, trigger});
        QVERIFY(sqlite.waitForFinished(30000) && sqlite.exitCode() == 0);
    }
    const Finished run = runRfbench(QStringList{setupPath, QStringLiteral("--data-dir"), folder.path(),
                                                QStringLiteral("--unit"), QStringLiteral("SN0042"), QStringLiteral("--json")}
                                    + arguments);
    if (QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) != today)
        QSKIP("the date changed during the run");
    QVERIFY2(run.code == code, run.err.constData());
    if (!message.isEmpty())
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    // The summary alone on standard output, also with a report written.
    QVERIFY(refused || QJsonDocument::fromJson(run.out).isObject());
    if (!existing.isEmpty()) {
        QFile file(folder.filePath(existing));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), foreign);
    }
    if (refused) {
        QCOMPARE(synth->received(), QByteArray());
        QCOMPARE(meter->received(), QByteArray());
        if (code == 2)
            QCOMPARE(synth->connectionCount() + meter->connectionCount(), 0);
    }
    QStringList files = QDir(folder.path()).entryList({QStringLiteral("*.pdf"), QStringLiteral("*.PDF"),
                                                       QStringLiteral("*.htm*")}, QDir::Files);
    files += QDir(folder.filePath(QStringLiteral("reports"))).entryList(QDir::Files);
    QCOMPARE(files.size(), int(!written.isEmpty()) + int(!existing.isEmpty()));
    // No file of the report's own left beside it.
    for (const QString &where : {folder.path(), folder.filePath(QStringLiteral("reports"))})
        QCOMPARE(QDir(where).entryList({QStringLiteral(".rfbench-report-*")}, QDir::Files | QDir::Hidden), QStringList());
    if (written.isEmpty())
        return;
    // Readable as the files beside it are.
    QCOMPARE(QFileInfo(folder.filePath(written)).permissions(), QFileInfo(setupPath).permissions());
    QVERIFY2(run.err.contains("written"), run.err.constData());
    QString content;
    if (written.endsWith(QLatin1String(".PDF"), Qt::CaseInsensitive)) {
        QProcess pdftotext;
        pdftotext.start(QStringLiteral("pdftotext"), {folder.filePath(written), QStringLiteral("-")});
        QVERIFY(pdftotext.waitForFinished(30000) && pdftotext.exitCode() == 0);
        content = QString::fromUtf8(pdftotext.readAllStandardOutput());
    } else {
        QFile file(folder.filePath(written));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(files.join('|')));
        content = QString::fromUtf8(file.readAll());
    }
    QVERIFY2(content.contains(QStringLiteral("SN0042")) && content.contains(QStringLiteral("Run 2: "))
                 && content.contains(QStringLiteral("FAIL")) && content.contains(QStringLiteral("PASS")),
             qPrintable(content));
}

// Two benches' runs into one data folder under one setup name: each report gets a name of its
// own, neither is written over, and each holds its own unit.
void tst_HeadlessRun::twoRunsOfOneReportName()
{
    QTemporaryDir folder;
    std::vector<std::unique_ptr<BenchSimProcess>> benches;
    std::vector<std::unique_ptr<QProcess>> runs;
    for (const QString &unit : {QStringLiteral("SN-A"), QStringLiteral("SN-B")}) {
        benches.push_back(std::make_unique<BenchSimProcess>());
        QVERIFY(benches.back()->isReady());
        QByteArray text = setupFor(benches.back()->synthAddress(), benches.back()->powerMeterAddress(),
                                   benches.back()->analyzerAddress(), powerRun);
        text.replace("{\"format\": 1,", "{\"format\": 1, \"report\": \"shared.html\",");
        QFile setup(folder.filePath(unit + QStringLiteral(".json")));
        QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write(text) == text.size());
        setup.close();
        runs.push_back(std::make_unique<QProcess>());
        runs.back()->start(QStringLiteral(RFBENCH_PATH), {QStringLiteral("run"), setup.fileName(), QStringLiteral("--data-dir"),
                                                          folder.path(), QStringLiteral("--unit"), unit});
    }
    for (const auto &run : runs) {
        QVERIFY(run->waitForFinished(120000));
        QVERIFY2(run->exitCode() == 0, run->readAllStandardError().constData());
    }
    QStringList units;
    for (const QString &name : {QStringLiteral("shared.html"), QStringLiteral("shared (2).html")}) {
        QFile report(folder.filePath(name));
        QVERIFY2(report.open(QIODevice::ReadOnly), qPrintable(name));
        const QByteArray html = report.readAll();
        units << (html.contains("Test report: unit SN-A") ? QStringLiteral("SN-A")
                  : html.contains("Test report: unit SN-B") ? QStringLiteral("SN-B")
                                                            : QString());
    }
    units.sort();
    QCOMPARE(units, (QStringList{QStringLiteral("SN-A"), QStringLiteral("SN-B")}));
}

QTEST_GUILESS_MAIN(tst_HeadlessRun)
#include "tst_HeadlessRun.moc"
