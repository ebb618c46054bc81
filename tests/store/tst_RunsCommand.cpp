#include "SetupFile.h"
#include "SqliteStore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

struct Finished
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// rfbench as a script runs it: no display, local time UTC unless another zone is named (a POSIX
// TZ text), a locale whose decimal separator is a comma.
Finished rfbench(const QStringList &arguments, const QString &zone = QStringLiteral("UTC"))
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("none-at-all"));
    environment.insert(QStringLiteral("TZ"), zone);
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RFBENCH_PATH), arguments);
    Finished result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

Finished runs(const QStringList &arguments, const QString &zone = QStringLiteral("UTC"))
{
    return rfbench(QStringList{QStringLiteral("runs")} + arguments, zone);
}

// The text of a report as a reader finds it: pdftotext's of a PDF; of HTML, what Python's parser
// reads, after "svg" when the page holds an inline SVG element.
QString reportText(const QString &path)
{
    QProcess process;
    if (path.endsWith(QLatin1String(".pdf"))) {
        process.start(QStringLiteral("pdftotext"), {path, QStringLiteral("-")});
    } else {
        process.start(QStringLiteral("python3"),
                      {QStringLiteral("-c"),
                       QStringLiteral("import html.parser, sys\n"
                                      "class P(html.parser.HTMLParser):\n"
                                      "    svg = False\n"
                                      "    def handle_starttag(self, tag, attrs):\n"
                                      "        self.svg = self.svg or tag == 'svg'\n"
                                      "    def handle_data(self, data):\n"
                                      "        text.append(data)\n"
                                      "text = []\np = P()\np.feed(open(sys.argv[1], encoding='utf-8').read())\np.close()\n"
                                      "print(('svg ' if p.svg else '') + ' '.join(text))\n"),
                       path});
    }
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QStringLiteral("(unreadable: %1)").arg(QString::fromUtf8(process.readAllStandardError()));
    return QString::fromUtf8(process.readAllStandardOutput());
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

QDateTime utc(int month, int day, int hour, int minute = 0, int second = 0)
{
    return QDateTime(QDate(2026, month, day), QTime(hour, minute, second), Qt::UTC);
}

// A power meter's path as a run recorded it.
const QByteArray cableTable = "frequency_mhz,loss_db\n# valid until 2027-03-01\n10,0.5\n1000,1\n18000,2.5\n26500,3.25\n";

const QByteArray setupFile = R"({
  "format": 1,
  "synthesizer": {"transport": "lan", "address": "10.0.0.7:5025"},
  "powerMeter": {"address": "10.0.0.8:5025", "channel": "A"},
  "kind": "power", "start": 1000, "stop": 1100, "points": 3, "power": -5, "delay": 0, "fetchValues": false
}
)";

} // namespace

// "rfbench runs" over a store the test fills: its lists, a run shown, its points as CSV, its
// setup, the exit codes, and that reading changes nothing.
class tst_RunsCommand : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString storePath() const { return dir.filePath(QStringLiteral("rfbench.sqlite")); }
    QString file(const QString &name) const { return dir.filePath(name); }

private slots:
    void initTestCase();
    void lists_data();
    void lists();
    void showsARun();
    void exportsPoints();
    void printsTheSetup();
    void wrongCommandLines_data();
    void wrongCommandLines();
    void reports_data();
    void reports();
    void reportRefusals_data();
    void reportRefusals();
    void storesItCannotRead_data();
    void storesItCannotRead();
    void cleanupTestCase();

private:
    QByteArray storeBefore;
    QStringList filesBefore;
};

void tst_RunsCommand::initTestCase()
{
    QVERIFY(dir.isValid());
    auto store = SqliteStore::open(storePath(), SqliteStore::Mode::Write, nullptr);
    QVERIFY(store->problem().isEmpty());
    const double noValue = std::numeric_limits<double>::quiet_NaN();

    RunStart start;
    start.station = QStringLiteral("bench-1");
    start.user = QStringLiteral("ann");
    start.version = QStringLiteral("0.1");
    start.started = utc(1, 10, 9);
    start.measurement = QStringLiteral("power");
    start.setup = setupFile;
    start.instruments = QStringLiteral("synthesizer: lan 10.0.0.7:5025\npower meter: lan 10.0.0.8:5025");
    start.identities = QStringLiteral("ORVANE,SG-6000,123,1.2");
    start.note = QStringLiteral("RF output is off");
    start.unit = QStringLiteral("SN-100");
    start.operatorName = QStringLiteral("Ola");
    RecordedTable cable;
    cable.path = QStringLiteral("powerMeter.A");
    cable.source = QStringLiteral("cables/cable-A.csv");
    cable.text = cableTable;
    cable.sha256 = QString::fromLatin1(QCryptographicHash::hash(cableTable, QCryptographicHash::Sha256).toHex());
    cable.due = QDate(2027, 3, 1);
    cable.interpolation = QStringLiteral("linear");
    cable.beyond = QStringLiteral("refuse");
    start.tables = {cable};
    const qint64 power = store->beginRun(start);
    store->addPass(power, 1, -5, utc(1, 10, 9, 0, 1));
    store->addPass(power, 2, 5, utc(1, 10, 9, 5));
    QList<qint64> ids;
    for (int n = 0; n < 3; ++n) {
        StoredPoint point;
        point.run = power;
        point.pass = n < 2 ? 1 : 2;
        point.number = quint64(n < 2 ? n + 1 : 1);
        point.measuredAt = utc(1, 10, 9, 0, 2 + n).addMSecs(250);
        point.workbook = n < 2 ? QStringLiteral("Table -5 dBm") : QStringLiteral("Table 5 dBm");
        point.pointIndex = n < 2 ? quint64(n) : 0;
        point.values = {1000.123456789012 + n, n == 1 ? noValue : -10.5, -5.25, 38};
        // Judged: a pass, no reading, a fail.
        point.verdict = QString::fromLatin1(n == 0 ? "PASS" : n == 1 ? "NO READING" : "FAIL");
        point.limitMargin = n == 0 ? 2.5 : n == 1 ? noValue : -0.5;
        point.limitUpper = n == 2 ? -11 : -8;
        point.limitLower = -13;
        point.correction = n == 0 ? 0.5 : n == 1 ? 0.75 : noValue;
        ids << store->addPoint(point);
    }
    store->markInWorkbook({ids.at(0)}, QStringLiteral("Table -5 dBm"));
    store->markInWorkbook({ids.at(1)}, QStringLiteral("Table -5 dBm (recovered)"));
    store->addTrouble(power, RunTrouble{utc(1, 10, 9, 3), QStringLiteral("Power meter"), QStringLiteral("no answer")});
    store->setVerdict(power, RunVerdict{QStringLiteral("FAIL"), 1, 0, 1});
    store->endRun(power, QStringLiteral("finished"), utc(1, 10, 9, 10));

    start.station = QStringLiteral("Bench-2");
    start.started = utc(2, 1, 8, 45);
    start.measurement = QStringLiteral("spur");
    start.setup = "{\"format\": 1}";
    start.unit = QStringLiteral("sn-100");
    start.tables.clear();
    const qint64 spur = store->beginRun(start);
    StoredPoint point;
    point.run = spur;
    point.measuredAt = utc(2, 1, 8, 46);
    point.row = StoredPoint::Row::Spur;
    point.workbook = QStringLiteral("Table spur, \"draft\"");
    point.values = {20, 50};
    point.peakFrequencies = {1e9, 1.002e9};
    point.peakLevels = {-10.25, -60};
    point.peakCorrections = {1, 2.5};
    point.verdict = QStringLiteral("PASS");
    point.limitMargin = 10;
    point.limitSpur = -40;
    store->addPoint(point);
    store->setVerdict(spur, RunVerdict{QStringLiteral("PASS"), 0, 0, 0});
    store->endRun(spur, QStringLiteral("stopped"), utc(2, 1, 9));

    start.station = QStringLiteral("bench-1");
    start.started = utc(3, 5, 9);
    start.measurement = QStringLiteral("power");
    start.setup.clear();
    start.unit.clear();
    start.operatorName.clear();
    const qint64 plain = store->beginRun(start);
    // A trouble longer than a page: the report goes on with it over the next pages.
    QStringList words;
    for (int i = 1; i <= 3000; ++i)
        words << QStringLiteral("w%1").arg(i, 4, 10, QLatin1Char('0'));
    store->addTrouble(plain, RunTrouble{utc(3, 5, 9, 1), QStringLiteral("Analyzer"), words.join(QLatin1Char(' '))});
    QCOMPARE(store->problem(), QString());
    store.reset();
    storeBefore = contentOf(storePath());
    filesBefore = QDir(dir.path()).entryList(QDir::Files);
}

void tst_RunsCommand::cleanupTestCase()
{
    // Reading changed nothing, set nothing aside and left no file of SQLite's behind.
    QCOMPARE(contentOf(storePath()), storeBefore);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).filter(QStringLiteral("rfbench.sqlite")),
             filesBefore.filter(QStringLiteral("rfbench.sqlite")));
}

void tst_RunsCommand::lists_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<int>>("ids"); // in the list's order
    // A first argument "TZ=..." is the local time's zone rather than UTC.

    QTest::newRow("all, newest first") << QStringList() << QList<int>{3, 2, 1};
    QTest::newRow("limit") << QStringList{"--limit", "2"} << QList<int>{3, 2};
    QTest::newRow("since a day") << QStringList{"--since", "2026-02-01"} << QList<int>{3, 2};
    QTest::newRow("since a time") << QStringList{"--since", "2026-02-01T08:46:00"} << QList<int>{3};
    QTest::newRow("since a time in another zone")
        << QStringList{"--since", "2026-02-01T09:45:00+01:00"} << QList<int>{3, 2};
    // Without a zone the time is local: 09:45 an hour east of UTC is 08:45 UTC, run 2's start.
    QTest::newRow("since a local time, an hour east of UTC")
        << QStringList{"TZ=XYZ-1", "--since", "2026-02-01T09:45:00"} << QList<int>{3, 2};
    QTest::newRow("match") << QStringList{"--match", "spur"} << QList<int>{2};
    QTest::newRow("match a workbook") << QStringList{"--match", "Table 5 dBm"} << QList<int>{1};
    QTest::newRow("match a station in other letters' case") << QStringList{"--match", "bench-2"} << QList<int>{2};
    QTest::newRow("nothing matches") << QStringList{"--match", "zzz"} << QList<int>();
    QTest::newRow("the store of a data folder") << QStringList{"--data-dir", "@"} << QList<int>{3, 2, 1};
    QTest::newRow("one unit") << QStringList{"--unit", "SN-100"} << QList<int>{1};
    QTest::newRow("a unit's serial in its letters' case") << QStringList{"--unit", "sn-100"} << QList<int>{2};
    QTest::newRow("a verdict in any case") << QStringList{"--verdict", "fail"} << QList<int>{1};
    QTest::newRow("a stopped run that passed so far is incomplete")
        << QStringList{"--verdict", "INCOMPLETE", "--unit", "sn-100"} << QList<int>{2};
    QTest::newRow("a verdict no run has, spelled with a dash") << QStringList{"--verdict", "no-reading"} << QList<int>();
    QTest::newRow("an operator matched") << QStringList{"--match", "OLA"} << QList<int>{2, 1};
}

void tst_RunsCommand::lists()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<int>, ids);
    const QString zone = arguments.value(0).startsWith(QLatin1String("TZ=")) ? arguments.takeFirst().mid(3)
                                                                             : QStringLiteral("UTC");
    if (!arguments.contains(QStringLiteral("--data-dir")))
        arguments << QStringLiteral("--store") << storePath();
    arguments.replaceInStrings(QStringLiteral("@"), dir.path());

    const Finished text = runs(arguments, zone);
    QCOMPARE(text.code, 0);
    QCOMPARE(text.err, QByteArray());
    const QList<QByteArray> lines = text.out.trimmed().split('\n');
    if (ids.isEmpty()) {
        QCOMPARE(text.out, QByteArray("No run matches.\n"));
    } else {
        QCOMPARE(lines.size(), ids.size() + 1);
        QVERIFY(lines.first().startsWith("ID  Started "));
        QVERIFY(lines.first().simplified().endsWith("User Workbooks Unit Verdict"));
        for (int i = 0; i < ids.size(); ++i) {
            QCOMPARE(lines.at(i + 1).trimmed().split(' ').first().toInt(), ids.at(i));
            if (ids.at(i) == 1)
                QVERIFY2(lines.at(i + 1).endsWith("  SN-100  FAIL"), lines.at(i + 1).constData());
        }
    }

    const Finished json = runs(arguments + QStringList{QStringLiteral("--json")}, zone);
    QCOMPARE(json.code, 0);
    const QJsonArray list = QJsonDocument::fromJson(json.out).array();
    QList<int> listed;
    for (const QJsonValue &run : list)
        listed << run.toObject().value(QStringLiteral("id")).toInt();
    QCOMPARE(listed, ids);
    for (const QJsonValue &value : list) {
        const QJsonObject run = value.toObject();
        // A run without limits has no verdict.
        if (run.value(QStringLiteral("id")).toInt() == 3)
            QVERIFY(run.value(QStringLiteral("verdict")).isNull());
        if (run.value(QStringLiteral("id")).toInt() != 1)
            continue;
        QCOMPARE(run.value(QStringLiteral("started")).toString(), QStringLiteral("2026-01-10T09:00:00.000Z"));
        QCOMPARE(run.value(QStringLiteral("ended")).toString(), QStringLiteral("2026-01-10T09:10:00.000Z"));
        QCOMPARE(run.value(QStringLiteral("outcome")).toString(), QStringLiteral("finished"));
        QCOMPARE(run.value(QStringLiteral("points")).toInt(), 3);
        QCOMPARE(run.value(QStringLiteral("passes")).toInt(), 2);
        QCOMPARE(run.value(QStringLiteral("troubles")).toInt(), 1);
        QCOMPARE(run.value(QStringLiteral("unit")).toString(), QStringLiteral("SN-100"));
        QCOMPARE(run.value(QStringLiteral("operator")).toString(), QStringLiteral("Ola"));
        QCOMPARE(run.value(QStringLiteral("verdict")).toString(), QStringLiteral("FAIL"));
        QCOMPARE(run.value(QStringLiteral("failed")).toInt(), 1);
        QCOMPARE(run.value(QStringLiteral("marginal")).toInt(), 0);
        QCOMPARE(run.value(QStringLiteral("unread")).toInt(), 1);
        QCOMPARE(run.value(QStringLiteral("workbooks")).toArray(),
                 QJsonArray({"Table -5 dBm", "Table 5 dBm", "Table -5 dBm (recovered)"}));
    }
}

void tst_RunsCommand::showsARun()
{
    const Finished text = runs({QStringLiteral("show"), QStringLiteral("1"), QStringLiteral("--store"), storePath()});
    QCOMPARE(text.code, 0);
    for (const char *line : {"Run 1\n", "Outcome:      finished\n", "Started:      2026-01-10T09:00:00Z\n",
                             "Points:       3, 1 of them not in their workbook\n",
                             "Workbooks:    Table -5 dBm, Table 5 dBm, Table -5 dBm (recovered)\n",
                             "Note:         RF output is off\n", "Unit:         SN-100\n", "Operator:     Ola\n",
                             "Verdict:      FAIL (1 failed, 0 marginal, 1 without a reading)\n",
                             "Instruments:\n  synthesizer: lan 10.0.0.7:5025\n  power meter: lan 10.0.0.8:5025\n",
                             "Passes:\n  pass 1, output power -5 dBm, from 2026-01-10 09:00:01\n"
                             "  pass 2, output power 5 dBm, from 2026-01-10 09:05:00\n",
                             "Troubles:\n  2026-01-10 09:03:00  Power meter: no answer\n"})
        QVERIFY2(text.out.contains(line), text.out.constData());
    // Each table as the run recorded it, read again from its own bytes.
    const QByteArray sha = QCryptographicHash::hash(cableTable, QCryptographicHash::Sha256).toHex();
    const QByteArray tableLine = "Corrections:\n  powerMeter.A: cables/cable-A.csv, 4 points, 10 to 26500 MHz, valid "
                                 "until 2027-03-01, sha256 " + sha.left(12) + "\xe2\x80\xa6\nPasses:\n";
    QVERIFY2(text.out.contains(tableLine), text.out.constData());

    // Fields a run does not have read "-", the verdict of a run without limits too.
    const Finished plain = runs({QStringLiteral("show"), QStringLiteral("3"), QStringLiteral("--store"), storePath()});
    QVERIFY2(plain.out.contains("Unit:         -\n") && plain.out.contains("Verdict:      -\n")
                 && plain.out.contains("Corrections:\n  (none)\n"),
             plain.out.constData());

    const Finished json = runs({QStringLiteral("show"), QStringLiteral("1"), QStringLiteral("--json"),
                                QStringLiteral("--store"), storePath()});
    QCOMPARE(json.code, 0);
    const QJsonObject run = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(run.value(QStringLiteral("pointsNotInWorkbook")).toInt(), 1);
    QCOMPARE(run.value(QStringLiteral("setup")).toObject().value(QStringLiteral("power")).toInt(), -5);
    const QJsonObject secondPass = run.value(QStringLiteral("passList")).toArray().at(1).toObject();
    QCOMPARE(secondPass.value(QStringLiteral("outputPower")).toDouble(), 5.0);
    QCOMPARE(run.value(QStringLiteral("troubleList")).toArray().at(0).toObject().value(QStringLiteral("at")).toString(),
             QStringLiteral("2026-01-10T09:03:00.000Z"));
    QCOMPARE(run.value(QStringLiteral("identities")).toString(), QStringLiteral("ORVANE,SG-6000,123,1.2"));
    const QJsonObject table = run.value(QStringLiteral("corrections")).toArray().at(0).toObject();
    QCOMPARE(table.value(QStringLiteral("text")).toString().toUtf8(), cableTable);
    QCOMPARE(table.value(QStringLiteral("sha256")).toString().toLatin1(), sha);
    QCOMPARE(table.value(QStringLiteral("due")).toString(), QStringLiteral("2027-03-01"));
}

void tst_RunsCommand::exportsPoints()
{
    const QString csv = file(QStringLiteral("run 1.csv"));
    Finished done = runs({QStringLiteral("export"), QStringLiteral("1"), QStringLiteral("--csv"), csv,
                          QStringLiteral("--store"), storePath()});
    QCOMPARE(done.code, 0);
    QCOMPARE(QString::fromUtf8(contentOf(csv)),
             QStringLiteral("point,pass,number,measured_at,row,workbook,point_index,in_workbook,frequency,reading,"
                            "output_power,synthesizer_power,temperature,span,bandwidth,peak_frequencies,peak_levels,"
                            "verdict,limit_margin,limit_upper,limit_lower,limit_spur,correction_db,corrected_dbm\r\n"
                            "1,1,1,2026-01-10T09:00:02.250Z,sweep,Table -5 dBm,0,Table -5 dBm,1000.123456789012,-10.5,,"
                            "-5.25,38,,,,,PASS,2.5,-8,-13,,0.5,-10\r\n"
                            "2,1,2,2026-01-10T09:00:03.250Z,sweep,Table -5 dBm,1,Table -5 dBm (recovered),"
                            "1001.123456789012,,,-5.25,38,,,,,NO READING,,-8,-13,,0.75,\r\n"
                            "3,2,1,2026-01-10T09:00:04.250Z,sweep,Table 5 dBm,0,,1002.123456789012,-10.5,,-5.25,38,,,"
                            ",,FAIL,-0.5,-11,-13,,,\r\n"));

    done = runs({QStringLiteral("export"), QStringLiteral("2"), QStringLiteral("--csv"), QStringLiteral("-"),
                 QStringLiteral("--store"), storePath()});
    QCOMPARE(done.code, 0);
    QCOMPARE(done.out.split('\n').value(1),
             QByteArray("4,1,1,2026-02-01T08:46:00.000Z,spur,\"Table spur, \"\"draft\"\"\",0,,,,,,,20,50,"
                        "1000000000 1002000000,-10.25 -60,PASS,10,,,-40,1 2.5,-9.25 -57.5\r"));

    // A file that cannot be written: said so, and nothing is left half written.
    done = runs({QStringLiteral("export"), QStringLiteral("1"), QStringLiteral("--csv"),
                 file(QStringLiteral("no such folder/run.csv")), QStringLiteral("--store"), storePath()});
    QCOMPARE(done.code, 1);
    QVERIFY2(done.err.contains("no such folder/run.csv"), done.err.constData());
}

void tst_RunsCommand::printsTheSetup()
{
    const Finished done = runs({QStringLiteral("setup"), QStringLiteral("1"), QStringLiteral("--store"), storePath()});
    QCOMPARE(done.code, 0);
    QCOMPARE(done.out, setupFile);
    // What "> setup.json" keeps is a setup "rfbench run" takes.
    const SetupFile::Result setup = SetupFile::read(done.out, QStringLiteral("setup.json"));
    QVERIFY2(setup.ok(), qPrintable(setup.error));
    QCOMPARE(SetupFile::runnable(setup.setup), QString());

    const Finished none = runs({QStringLiteral("setup"), QStringLiteral("3"), QStringLiteral("--store"), storePath()});
    QCOMPARE(none.code, 1);
    QCOMPARE(none.err, QByteArray("rfbench runs: run 3 has no setup recorded\n"));
}

void tst_RunsCommand::wrongCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown command") << QStringList{"delete", "1"} << "unknown command \"delete\"";
    QTest::newRow("no run number") << QStringList{"show"} << "give one run number: rfbench runs show ID";
    QTest::newRow("two run numbers") << QStringList{"show", "1", "2"} << "give one run number: rfbench runs show ID";
    QTest::newRow("not a number") << QStringList{"show", "first"} << "\"first\" is not a run number";
    QTest::newRow("no such run") << QStringList{"show", "99"} << "has no run 99";
    QTest::newRow("export without a file") << QStringList{"export", "1"} << "export needs --csv FILE";
    QTest::newRow("a list option with show") << QStringList{"show", "1", "--limit", "3"}
                                             << "--limit does not go with runs show";
    QTest::newRow("csv with the list") << QStringList{"--csv", "x.csv"} << "--csv does not go with the list";
    QTest::newRow("limit zero") << QStringList{"--limit", "0"} << "--limit: \"0\" is not a number of runs";
    QTest::newRow("not a date") << QStringList{"--since", "yesterday"} << "--since: \"yesterday\" is not a date";
    QTest::newRow("unknown option") << QStringList{"--all"} << "Unknown option 'all'";
    QTest::newRow("a verdict that is none") << QStringList{"--verdict", "GOOD"}
                                            << "--verdict: \"GOOD\" is none of PASS, MARGINAL, NO-READING, FAIL";
    QTest::newRow("a unit of spaces") << QStringList{"--unit", " "} << "--unit needs a serial number";

}

void tst_RunsCommand::wrongCommandLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Finished done = runs(arguments + QStringList{QStringLiteral("--store"), storePath()});
    QCOMPARE(done.code, 2);
    QCOMPARE(done.out, QByteArray());
    QVERIFY2(done.err.startsWith("rfbench runs: ") && done.err.contains(message.toUtf8()), done.err.constData());
}

void tst_RunsCommand::reports_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QStringList>("absent");
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(cableTable, QCryptographicHash::Sha256).toHex());
    // The failed point first, with its frequency, value, limit and by how much; the table's digest.
    const QStringList failed{"SN-100", "Ola", "FAIL", "1002.123457", "-10.500 dBm", "-11.000 dBm", "-0.500",
                             "above the upper limit", digest, "due 2027-03-01", "no answer", "ORVANE,SG-6000",
                             QString::fromLatin1(QCryptographicHash::hash(setupFile, QCryptographicHash::Sha256).toHex())};
    QTest::newRow("failed, pdf") << "1 --pdf failed.pdf" << failed << QStringList{"Every point passed"};
    QTest::newRow("failed, html") << "1 --html failed.html" << (QStringList{"svg "} + failed) << QStringList();
    QTest::newRow("spur, at the unit") << "2 --pdf spur.pdf"
                                       << QStringList{"sn-100", "INCOMPLETE", "-9.250", "-48.250", "1002", "No recorded point failed"}
                                       << QStringList{"FAIL"};
    QTest::newRow("without limits: no verdict") << "3 --pdf plain.pdf --html plain.html"
                                                << QStringList{"Test report", "The run recorded no point", "not given",
                                                               "w0001", "w1500", "w2999 w3000"}
                                                << QStringList{"PASS", "FAIL", "Verdict", "did not pass"};
}

void tst_RunsCommand::reports()
{
    QFETCH(QString, arguments);
    QFETCH(QStringList, found);
    QFETCH(QStringList, absent);
    QStringList command{QStringLiteral("report")};
    for (const QString &word : arguments.split(QLatin1Char(' ')))
        command << (word.contains(QLatin1Char('.')) ? file(word) : word);
    const Finished done = rfbench(command + QStringList{QStringLiteral("--store"), storePath()});
    QVERIFY2(done.code == 0, done.err.constData());
    for (const QString &word : command.filter(QStringLiteral("."))) {
        const QString text = reportText(word);
        for (const QString &expected : found)
            if (!(word.endsWith(QLatin1String(".pdf")) && expected == QLatin1String("svg ")))
                QVERIFY2(text.contains(expected), qPrintable(expected + QStringLiteral(" is not in ") + text));
        for (const QString &unexpected : absent)
            QVERIFY2(!text.contains(unexpected), qPrintable(unexpected + QStringLiteral(" is in ") + text));
    }
}

void tst_RunsCommand::reportRefusals_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("before"); // the target's content; empty: none
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("a workbook at the path") << "1 --pdf book.pdf" << QByteArray("PK\x03\x04 a workbook") << 2
                                            << "is not a report of rfbench; it is left as it is";
    QTest::newRow("an earlier report is written over") << "1 --html again.html" << QByteArray("(report)") << 0
                                                       << "written";
    QTest::newRow("a page that only mentions reports") << "1 --html page.html"
                                                       << QByteArray("<!DOCTYPE html>\n<p>an rfbench test report (rfbench test report)\">")
                                                       << 2 << "is not a report of rfbench";
    QTest::newRow("a name for the other format") << "1 --pdf r.html" << QByteArray() << 2
                                                 << "is not a name for a PDF report";
    QTest::newRow("a name that is no report's") << "1 --pdf copy.sqlite" << QByteArray() << 2
                                                 << "a report's name ends in .pdf, .html or .htm";
    QTest::newRow("a run named twice") << "1 1 --pdf twice.pdf" << QByteArray() << 2 << "run 1 is named twice";
    QTest::newRow("no such run") << "99 --pdf none.pdf" << QByteArray() << 2 << "has no run 99";
    QTest::newRow("no file named") << "1" << QByteArray() << 2 << "give --pdf FILE or --html FILE";
    QTest::newRow("a folder that is not there") << "1 --pdf missing/r.pdf" << QByteArray() << 1 << "cannot be written";
}

void tst_RunsCommand::reportRefusals()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, before);
    QFETCH(int, code);
    QFETCH(QString, message);
    QStringList command{QStringLiteral("report")};
    for (const QString &word : arguments.split(QLatin1Char(' ')))
        command << (word.contains(QLatin1Char('.')) ? file(word) : word);
    const QString target = command.filter(QStringLiteral(".")).value(0);
    if (before == "(report)") {
        QCOMPARE(rfbench({QStringLiteral("report"), QStringLiteral("3"), QStringLiteral("--html"), target,
                          QStringLiteral("--store"), storePath()}).code, 0);
        before = contentOf(target);
    } else if (!before.isEmpty()) {
        QFile write(target);
        QVERIFY(write.open(QIODevice::WriteOnly) && write.write(before) == before.size());
    }
    const Finished done = rfbench(command + QStringList{QStringLiteral("--store"), storePath()});
    QCOMPARE(done.code, code);
    QVERIFY2(done.err.contains(message.toUtf8()), done.err.constData());
    if (code != 0 && !target.isEmpty())
        QCOMPARE(contentOf(target), before.isEmpty() ? QByteArray("(missing)") : before);
    if (code == 0)
        QVERIFY(contentOf(target) != before && reportText(target).contains(QLatin1String("SN-100")));
}

void tst_RunsCommand::storesItCannotRead_data()
{
    QTest::addColumn<QByteArray>("content"); // of the file at --store; "(missing)": none
    QTest::addColumn<QString>("message");
    QTest::newRow("no store") << QByteArray("(missing)") << QStringLiteral("there is no results store at ");
    // Reading makes no folder either.
    QTest::newRow("a data folder that is not there") << QByteArray("(no folder)")
                                                     << QStringLiteral("there is no results store at ");
    QTest::newRow("not a store") << QByteArray("run,point\n1,1\n")
                                 << QStringLiteral("is not a results store: it is not an SQLite database");
    QTest::newRow("newer store") << QByteArray("(newer)")
                                 << QStringLiteral("the results store was written by a newer rfbench (schema 9; this "
                                                   "one knows ");
}

void tst_RunsCommand::storesItCannotRead()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString other = file(QStringLiteral("other.sqlite"));
    QFile::remove(other);
    if (content == "(newer)") {
        QVERIFY(QFile::copy(storePath(), other));
        auto store = SqliteStore::open(other, SqliteStore::Mode::Write, nullptr);
        store.reset();
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"),
                     {other, "INSERT INTO schema_version VALUES (9, '2030-01-01T00:00:00.000Z', 'rfbench 9')"});
        if (!sqlite.waitForFinished() || sqlite.exitCode() != 0)
            QSKIP("the sqlite3 shell is not installed");
    } else if (content != "(missing)") {
        QFile write(other);
        QVERIFY(write.open(QIODevice::WriteOnly) && write.write(content) == content.size());
    }
    const QByteArray before = contentOf(other);
    const QString folder = file(QStringLiteral("not made"));
    const QStringList where = content == "(no folder)" ? QStringList{QStringLiteral("--data-dir"), folder}
                                                       : QStringList{QStringLiteral("--store"), other};
    const QString report = file(QStringLiteral("unread.pdf"));
    for (const QStringList &command : {QStringList{"runs"}, QStringList{"runs", "show", "1"}, QStringList{"runs", "setup", "1"},
                                       QStringList{"report", "1", "--pdf", report}}) {
        const Finished done = rfbench(command + where);
        QCOMPARE(done.code, 1);
        QVERIFY2(done.err.startsWith("rfbench " + command.first().toUtf8() + ": ") && done.err.contains(message.toUtf8()),
                 done.err.constData());
        QCOMPARE(done.out, QByteArray());
    }
    QVERIFY(!QFileInfo::exists(report));
    QCOMPARE(contentOf(other), before);
    QVERIFY(!QFileInfo::exists(folder));
}

QTEST_GUILESS_MAIN(tst_RunsCommand)
#include "tst_RunsCommand.moc"
