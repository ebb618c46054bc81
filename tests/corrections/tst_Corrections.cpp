#include "Corrections.h"

#include <QtTest>

#include <cmath>

using namespace Corrections;

class tst_Corrections : public QObject
{
    Q_OBJECT

private slots:
    void interpolation_data();
    void interpolation();
    void files_data();
    void files();
    void coverage_data();
    void coverage();
    void due_data();
    void due();
    void signAndRecord();
};

Q_DECLARE_METATYPE(Corrections::Interpolation)
Q_DECLARE_METATYPE(Corrections::Beyond)

namespace {

// 0.5 dB at 100 MHz, 2 dB at 1 GHz, 3 dB at 10 GHz: one decade per segment, so that the log
// interpolation's values are easy to work out by hand.
const QByteArray cable = "frequency_mhz,loss_db\n# valid until 2027-03-01\n100,0.5\n1000,2\n10000,3\n";

CorrectionTable table(const QByteArray &bytes, Interpolation interpolation = Interpolation::Linear,
                      Beyond beyond = Beyond::Refuse)
{
    const Parsed parsed = parse(bytes, QStringLiteral("cable.csv"), interpolation, beyond);
    if (!parsed.ok())
        qFatal("%s", qPrintable(parsed.error));
    return parsed.table;
}

} // namespace

void tst_Corrections::interpolation_data()
{
    QTest::addColumn<Interpolation>("interpolation");
    QTest::addColumn<Beyond>("beyond");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("loss"); // NaN: refused

    const auto lin = Interpolation::Linear;
    const auto log = Interpolation::Log;
    const auto refuse = Beyond::Refuse;
    const auto hold = Beyond::Hold;
    QTest::newRow("linear, first point") << lin << refuse << 100.0 << 0.5;
    QTest::newRow("linear, last point") << lin << refuse << 10000.0 << 3.0;
    QTest::newRow("linear, halfway") << lin << refuse << 550.0 << 1.25;
    QTest::newRow("linear, a quarter into the second") << lin << refuse << 3250.0 << 2.25;
    QTest::newRow("linear, just past the inner point") << lin << refuse << 1009.0 << 2.001;
    QTest::newRow("log, halfway in decades") << log << refuse << std::sqrt(10.0) * 100 << 1.25;
    QTest::newRow("log, 200 MHz") << log << refuse << 200.0 << 0.5 + 1.5 * std::log10(2.0);
    QTest::newRow("log, 5 GHz") << log << refuse << 5000.0 << 2 + std::log10(5.0);
    QTest::newRow("log, at a point") << log << refuse << 1000.0 << 2.0;
    QTest::newRow("below, refused") << lin << refuse << 99.999 << qQNaN();
    QTest::newRow("above, refused") << lin << refuse << 10000.001 << qQNaN();
    QTest::newRow("below, held") << lin << hold << 10.0 << 0.5;
    QTest::newRow("above, held") << log << hold << 26500.0 << 3.0;
    // A grid's last frequency, 100.1 MHz and 98999 steps of 0.1 MHz, lands beside the decimal it means.
    QTest::newRow("a grid's rounding at the end") << lin << refuse << 100.1 + 98999 * 0.1 << 3.0;
    QTest::newRow("no frequency") << lin << hold << qQNaN() << qQNaN();
}

void tst_Corrections::interpolation()
{
    QFETCH(Interpolation, interpolation);
    QFETCH(Beyond, beyond);
    QFETCH(double, frequency);
    QFETCH(double, loss);
    const double got = lossAt(table(cable, interpolation, beyond), frequency);
    if (std::isnan(loss))
        QVERIFY2(std::isnan(got), qPrintable(QString::number(got)));
    else
        QVERIFY2(std::fabs(got - loss) < 1e-12, qPrintable(QString::number(got, 'g', 17)));
}

void tst_Corrections::files_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Interpolation>("interpolation");
    QTest::addColumn<QString>("error"); // empty: taken
    QTest::addColumn<int>("points");
    QTest::addColumn<QString>("due");

    const auto lin = Interpolation::Linear;
    const QByteArray head = "frequency_mhz,loss_db\n";
    QTest::newRow("plain") << cable << lin << "" << 3 << "2027-03-01";
    QTest::newRow("CRLF, a byte order mark, comments and blanks")
        << QByteArray("\xEF\xBB\xBF# pad 10 dB, serial 4711\r\n\r\nfrequency_mhz , loss_db\r\n10, 10.02 # at the "
                      "connector\r\n  \r\n2e3,+1.0E1\r\n#valid until: 2026-11-01 (cal lab)\r\n")
        << lin << "" << 2 << "2026-11-01";
    QTest::newRow("one point, the limits of loss")
        << head + "1000,-100\n" << lin << "" << 1 << "";

    QTest::newRow("unsorted") << head + "1000,1\n900,1\n" << lin << "cable.csv:3: frequency 900 is not above 1000 on line 2" << 0 << "";
    QTest::newRow("duplicate, past a comment")
        << head + "1000,1\n2000,2\n# repeated\n2000,2\n" << lin
        << "cable.csv:5: frequency 2000 is not above 2000 on line 3" << 0 << "";
    QTest::newRow("a text for a frequency") << head + "1 GHz,1\n" << lin << "cable.csv:2: frequency \"1 GHz\" is not a number" << 0 << "";
    QTest::newRow("a text for a loss") << head + "1000,n/a\n" << lin << "cable.csv:2: loss \"n/a\" is not a number" << 0 << "";
    QTest::newRow("NaN") << head + "1000,nan\n" << lin << "cable.csv:2: loss \"nan\" is not a number" << 0 << "";
    QTest::newRow("too large to be a number") << head + "1e999,1\n" << lin << "cable.csv:2: frequency \"1e999\" is not a number" << 0 << "";
    QTest::newRow("a decimal comma") << head + "1000,0,5\n" << lin << "cable.csv:2: a point is frequency_mhz,loss_db, not 3 fields" << 0 << "";
    QTest::newRow("a thousands separator") << head + "1'000,0.5\n" << lin << "cable.csv:2: frequency \"1'000\" is not a number" << 0 << "";
    QTest::newRow("loss beyond 100 dB") << head + "1000,1\n2000,-100.5\n" << lin
                                        << "cable.csv:3: loss -100.5 dB is outside -100 to 100 dB" << 0 << "";
    QTest::newRow("a table in Hz") << head + "100e6,1\n1000000000,2\n" << lin
                                   << "cable.csv:2: frequency 100000000 MHz is above 1 THz (a table in Hz?)" << 0 << "";
    QTest::newRow("negative frequency") << head + "-1,1\n" << lin << "cable.csv:2: frequency -1 MHz is below 0" << 0 << "";
    QTest::newRow("0 MHz over log frequency") << head + "0,1\n10,1\n" << Interpolation::Log
                                              << "cable.csv:2: frequency 0 MHz: log interpolation needs frequencies above 0" << 0 << "";
    QTest::newRow("empty file") << QByteArray() << lin << "cable.csv:1: no header line frequency_mhz,loss_db" << 0 << "";
    QTest::newRow("header alone") << "# cable\n" + head + "\n" << lin << "cable.csv:3: no point after the header on line 2" << 0 << "";
    QTest::newRow("columns swapped") << QByteArray("loss_db,frequency_mhz\n1,1000\n") << lin
                                     << "cable.csv:1: the header must be frequency_mhz,loss_db" << 0 << "";
    QTest::newRow("a gain table") << QByteArray("frequency_mhz,gain_db\n1000,-3\n") << lin
                                  << "cable.csv:1: the header must be frequency_mhz,loss_db" << 0 << "";
    QTest::newRow("a date that is none") << head + "# valid until 2027-02-30\n1000,1\n" << lin
                                         << "cable.csv:2: \"2027-02-30\" is not a date as YYYY-MM-DD" << 0 << "";
    QTest::newRow("a date in words") << head + "1000,1 # Valid until March 2027\n" << lin
                                     << "cable.csv:2: \"March\" is not a date as YYYY-MM-DD" << 0 << "";
    QTest::newRow("a date and a time") << head + "# valid until 2027-03-01T12:00\n1000,1\n" << lin
                                       << "cable.csv:2: \"2027-03-01T12:00\" is not a date as YYYY-MM-DD" << 0 << "";
    QTest::newRow("two due dates") << "# valid until 2027-01-01\n" + head + "1000,1\n# valid until 2028-01-01\n" << lin
                                   << "cable.csv:4: a second \"valid until\" (line 1 gave one)" << 0 << "";
}

void tst_Corrections::files()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Interpolation, interpolation);
    QFETCH(QString, error);
    QFETCH(int, points);
    QFETCH(QString, due);
    const Parsed parsed = parse(bytes, QStringLiteral("cable.csv"), interpolation);
    if (!error.isEmpty()) {
        QVERIFY2(parsed.error.startsWith(error), qPrintable(parsed.error));
        return;
    }
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    QCOMPARE(parsed.table.points.size(), points);
    QCOMPARE(parsed.table.due.toString(Qt::ISODate), due);
    QCOMPARE(parsed.table.text, bytes); // kept as read, byte order mark and all
}

void tst_Corrections::coverage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Beyond>("beyond");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<QString>("refusal");

    const QString hint = QStringLiteral(" (\"beyond\": \"hold\" holds the end value)");
    QTest::newRow("the table's own range") << cable << Beyond::Refuse << 100.0 << 10000.0 << "";
    QTest::newRow("above") << cable << Beyond::Refuse << 1000.0 << 22000.0
                           << "cable.csv covers 100 to 10000 MHz; 10000 to 22000 MHz of the measurement is not covered" + hint;
    QTest::newRow("below and above, given downwards") << cable << Beyond::Refuse << 22000.0 << 10.0
        << "cable.csv covers 100 to 10000 MHz; 10 to 100 MHz and 10000 to 22000 MHz of the measurement are not covered" + hint;
    QTest::newRow("one point") << QByteArray("frequency_mhz,loss_db\n1000,1\n") << Beyond::Refuse << 1000.0 << 1000.5
                               << "cable.csv covers 1000 MHz alone; 1000 to 1000.5 MHz of the measurement is not covered" + hint;
    QTest::newRow("held") << cable << Beyond::Hold << 0.0 << 30000.0 << "";
    QTest::newRow("a grid's rounding at the end") << cable << Beyond::Refuse << 100.0 << 100.1 + 98999 * 0.1 << "";
}

void tst_Corrections::coverage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Beyond, beyond);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(QString, refusal);
    QCOMPARE(uncovered(table(bytes, Interpolation::Linear, beyond), from, to), refusal);
}

void tst_Corrections::due_data()
{
    QTest::addColumn<QString>("today");
    QTest::addColumn<QString>("warning");

    QTest::newRow("before") << "2027-02-28" << "";
    QTest::newRow("on the day") << "2027-03-01" << "";
    QTest::newRow("the day after") << "2027-03-02" << "the correction table cable.csv was due for calibration on 2027-03-01";
}

void tst_Corrections::due()
{
    QFETCH(QString, today);
    QFETCH(QString, warning);
    const QDate date = QDate::fromString(today, Qt::ISODate);
    QCOMPARE(dueWarning(table(cable), date), warning);
    QCOMPARE(pastDue(table(cable), date), !warning.isEmpty());
    QVERIFY(!pastDue(table("frequency_mhz,loss_db\n1,1\n"), date)); // no date: never due
}

void tst_Corrections::signAndRecord()
{
    // A 10 dB pad: a unit putting out -5 dBm reads -15 dBm at the meter, corrected up to -5.
    const CorrectionTable pad = table("frequency_mhz,loss_db\n10,10\n20000,10\n");
    QCOMPARE(corrected(-15.0, lossAt(pad, 1000)), -5.0);

    // The record: the bytes as read, their SHA-256, and a line that names it all.
    CorrectionTable record = table(cable);
    record.path = Path::MeterA;
    QCOMPARE(record.sha256, QStringLiteral("a247ae38659b68b07dd2546d2ce8511662ab1dc40517acb8a4bee20dc0cd50b3"));
    QCOMPARE(describe(record), QStringLiteral("powerMeter.A: cable.csv, 3 points, 100 to 10000 MHz, valid until "
                                              "2027-03-01, sha256 a247ae38659b…"));
    record.interpolation = Interpolation::Log;
    record.beyond = Beyond::Hold;
    QVERIFY(describe(record).contains("10000 MHz, log frequency, end values held beyond, valid"));

    // An inline table is recorded as the file that reads back to it.
    const Parsed inline_ = fromPoints({{100, 0.5}, {1000, 2}}, QStringLiteral("corrections.analyzer"));
    QVERIFY2(inline_.ok(), qPrintable(inline_.error));
    QCOMPARE(inline_.table.text, QByteArray("frequency_mhz,loss_db\n100,0.5\n1000,2\n"));
    QCOMPARE(inline_.table.sha256, QStringLiteral("ae1042d9492102c2e809ee4dc3005785fac94bf867418ead91164bc457c4ad0b"));
    QCOMPARE(inline_.table.source, QStringLiteral("inline"));
    QCOMPARE(fromPoints({{100, 0.5}, {100, 2}}, QStringLiteral("corrections.analyzer")).error,
             QStringLiteral("corrections.analyzer[1]: frequency 100 is not above 100 at [0]"));
    QCOMPARE(fromPoints({}, QStringLiteral("corrections.analyzer")).error,
             QStringLiteral("corrections.analyzer: no point (a table needs at least one)"));
}

QTEST_GUILESS_MAIN(tst_Corrections)
#include "tst_Corrections.moc"
