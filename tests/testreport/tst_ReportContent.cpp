#include "ReportContent.h"
#include "RunHistory.h"

#include <QtTest>

Q_DECLARE_METATYPE(StoredPoint)

// What a report says of a run's points: the values at the unit, the limit each was judged by
// and by how much, in the order failed, without a reading, marginal, as the run judged them.
class tst_ReportContent : public QObject
{
    Q_OBJECT

private slots:
    void pointsThatDidNotPass_data();
    void pointsThatDidNotPass();
};

namespace {

const QByteArray powerSetup = R"({"format": 1,
  "synthesizer": {"transport": "lan", "address": "10.0.0.7"}, "powerMeter": {"address": "10.0.0.8", "channel": "A"},
  "kind": "power", "start": 1000, "stop": 1100, "points": 3, "power": -5, "delay": 0, "fetchValues": false,
  "limits": {"upper": [[1000, -8], [1100, -8]], "lower": [[1000, -13], [1100, -13]], "margin": 1}})";

StoredPoint power(int pass, quint64 number, double frequency, double reading, double correction, const char *verdict)
{
    StoredPoint p;
    p.pass = pass;
    p.number = number;
    p.values = {frequency, reading, -5, 30};
    p.correction = correction;
    p.verdict = QString::fromLatin1(verdict);
    return p;
}

} // namespace

void tst_ReportContent::pointsThatDidNotPass_data()
{
    QTest::addColumn<QString>("measurement");
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QList<StoredPoint>>("points");
    QTest::addColumn<QStringList>("rows"); // pass|point|MHz|value|limit|by|verdict|what

    // Judged again from the setup, at the unit: the reading plus its path's loss.
    QTest::newRow("power, corrected")
        << "power" << powerSetup
        << QList<StoredPoint>{power(1, 1, 1000, -10.5, 0.5, "PASS"), power(1, 2, 1050, -9.5, 2, "FAIL"),
                              power(1, 3, 1100, -12.5, 0, "MARGINAL"), power(2, 1, 1000, -10, 0, "NO READING")}
        << QStringList{"1|2|1050|-7.500 dBm|-8.000 dBm|-0.500|FAIL|above the upper limit",
                       "2|1|1000|–|–|–|NO READING|not at its frequency: the synthesizer's connection was lost",
                       "1|3|1100|-12.500 dBm|-13.000 dBm|+0.500|MARGINAL|inside its limits, within the margin"};
    // Without a setup to judge by, by the limits and margin the run recorded: the spur that failed.
    StoredPoint spur;
    spur.row = StoredPoint::Row::Spur;
    spur.values = {10, 100};
    spur.peakFrequencies = {1e9, 1.002e9};
    spur.peakLevels = {-6, -54};
    spur.peakCorrections = {1.667, 1.68};
    spur.verdict = QStringLiteral("FAIL");
    spur.limitUpper = -3;
    spur.limitLower = -20;
    spur.limitSpur = -50;
    spur.limitMargin = -2.013;
    QTest::newRow("spur, its setup unreadable") << "spur" << QByteArray() << QList<StoredPoint>{spur}
                                                << QStringList{"1|1|1000|-47.987 dBc|-50.000 dBc|-2.013|FAIL|with a spur above the limit"};
}

void tst_ReportContent::pointsThatDidNotPass()
{
    QFETCH(QString, measurement);
    QFETCH(QByteArray, setup);
    QFETCH(QList<StoredPoint>, points);
    QFETCH(QStringList, rows);
    RunSummary run;
    run.id = 1;
    run.measurement = measurement;
    run.setup = setup;
    run.outcome = QStringLiteral("finished");
    run.verdict.verdict = QStringLiteral("FAIL");
    const ReportContent::Section section =
        ReportContent::section(run, points, {StoredPass{1, -5, {}}, StoredPass{2, 0, {}}}, {});
    QCOMPARE(section.tables.first().title, QStringLiteral("Points that did not pass"));
    QStringList shown;
    for (const QStringList &row : section.tables.first().rows)
        shown << row.join(QLatin1Char('|'));
    QCOMPARE(shown, rows);
    QCOMPARE(section.tables.at(1).rows.size(), points.size());
}

QTEST_MAIN(tst_ReportContent)
#include "tst_ReportContent.moc"
