#include "Verdict.h"

#include <QtTest>

#include <cmath>

Q_DECLARE_METATYPE(LimitMask)
Q_DECLARE_METATYPE(MeasurementLimits)
Q_DECLARE_METATYPE(Verdict::Grade)

class tst_Verdict : public QObject
{
    Q_OBJECT

private slots:
    void levels_data();
    void levels();
    void judgements_data();
    void judgements();
    void rollUp_data();
    void rollUp();
    void tally_data();
    void tally();
    void refusals_data();
    void refusals();
};

namespace {

using Verdict::Grade;
const double NaN = qQNaN();

MeasurementLimits limits(const LimitMask &upper, const LimitMask &lower, double margin = 0, bool relative = false,
                         const LimitMask &maxSpur = {})
{
    MeasurementLimits l;
    l.present = true;
    l.upper = upper;
    l.lower = lower;
    l.margin = margin;
    l.relativeTo = relative ? MeasurementLimits::RelativeTo::Output : MeasurementLimits::RelativeTo::Absolute;
    l.maxSpur = maxSpur;
    return l;
}

bool same(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::fabs(a - b) < 1e-9;
}

// An upper limit that steps down at 2000 MHz, and one that falls along a slope.
const LimitMask stepped{{1000, 0}, {2000, -10}, {2000, -20}, {4000, -10}};
const LimitMask flat0{{1000, 0}, {20000, 0}};
const LimitMask flat10{{1000, -10}, {20000, -10}};

} // namespace

void tst_Verdict::levels_data()
{
    QTest::addColumn<LimitMask>("mask");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<bool>("upper");
    QTest::addColumn<double>("level");

    QTest::newRow("first corner") << stepped << 1000.0 << true << 0.0;
    QTest::newRow("between corners") << stepped << 1250.0 << true << -2.5;
    QTest::newRow("below a step") << stepped << 1999.0 << true << -9.99;
    QTest::newRow("at a step, upper: the lower level") << stepped << 2000.0 << true << -20.0;
    QTest::newRow("at a step, lower: the higher level") << stepped << 2000.0 << false << -10.0;
    QTest::newRow("above a step") << stepped << 3000.0 << true << -15.0;
    QTest::newRow("last corner") << stepped << 4000.0 << true << -10.0;
    QTest::newRow("just below the mask") << stepped << 999.999 << true << NaN;
    QTest::newRow("just above the mask") << stepped << 4000.001 << true << NaN;
    QTest::newRow("empty mask") << LimitMask() << 1000.0 << true << NaN;
    QTest::newRow("one point, at it") << LimitMask{{1500, 3}} << 1500.0 << false << 3.0;
    QTest::newRow("one point, beside it") << LimitMask{{1500, 3}} << 1500.5 << false << NaN;
    QTest::newRow("not a frequency") << stepped << NaN << true << NaN;
}

void tst_Verdict::levels()
{
    QFETCH(LimitMask, mask);
    QFETCH(double, frequency);
    QFETCH(bool, upper);
    QFETCH(double, level);
    const double got = Verdict::levelAt(mask, frequency, upper);
    QVERIFY2(same(got, level), qPrintable(QString::number(got, 'g', 17)));
}

void tst_Verdict::judgements_data()
{
    QTest::addColumn<MeasurementLimits>("limits");
    QTest::addColumn<bool>("spur");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("output");
    QTest::addColumn<double>("value"); // power: the reading; spur: the carrier
    QTest::addColumn<double>("spurLevel"); // NaN: no spur found
    QTest::addColumn<Grade>("grade");
    QTest::addColumn<double>("margin");
    QTest::addColumn<QString>("failure");

    const MeasurementLimits window = limits(flat0, flat10);
    const MeasurementLimits marginal = limits(flat0, flat10, 0.5);
    QTest::newRow("no limits") << MeasurementLimits() << false << 1000.0 << 0.0 << 99.0 << NaN << Grade::None << NaN << "";
    QTest::newRow("inside") << window << false << 1000.0 << 0.0 << -4.0 << NaN << Grade::Pass << 4.0 << "";
    QTest::newRow("on the upper limit") << window << false << 1000.0 << 0.0 << 0.0 << NaN << Grade::Pass << 0.0 << "";
    QTest::newRow("above") << window << false << 12400.0 << 0.0 << 0.8 << NaN << Grade::Fail << -0.8
                           << "above the upper limit";
    QTest::newRow("below") << window << false << 1000.0 << 0.0 << -10.3 << NaN << Grade::Fail << -0.3
                           << "below the lower limit";
    QTest::newRow("on a limit with a margin") << marginal << false << 1000.0 << 0.0 << 0.0 << NaN << Grade::Marginal
                                              << 0.0 << "";
    QTest::newRow("inside the margin") << marginal << false << 1000.0 << 0.0 << -9.6 << NaN << Grade::Marginal << 0.4 << "";
    QTest::newRow("at the margin's edge") << marginal << false << 1000.0 << 0.0 << -0.5 << NaN << Grade::Pass << 0.5 << "";
    QTest::newRow("failing inside the margin is a failure")
        << marginal << false << 1000.0 << 0.0 << -10.2 << NaN << Grade::Fail << -0.2 << "below the lower limit";
    QTest::newRow("no reading") << marginal << false << 1000.0 << 0.0 << NaN << NaN << Grade::NoReading << NaN
                                << "without a reading";
    QTest::newRow("an infinite reading") << window << false << 1000.0 << 0.0 << -qInf() << NaN << Grade::NoReading
                                         << NaN << "without a reading";
    QTest::newRow("on a slope") << limits(stepped, {}) << false << 1500.0 << 0.0 << -4.9 << NaN << Grade::Fail << -0.1
                                << "above the upper limit";
    QTest::newRow("at a step the stricter level") << limits(stepped, {}) << false << 2000.0 << 0.0 << -15.0 << NaN
                                                  << Grade::Fail << -5.0 << "above the upper limit";
    QTest::newRow("a rounding error below a step is at it")
        << limits(stepped, {}) << false << 1999.9999999999 << 0.0 << -15.0 << NaN << Grade::Fail << -5.0
        << "above the upper limit";
    QTest::newRow("outside the mask never passes") << limits(stepped, {}) << false << 4000.5 << 0.0 << -90.0 << NaN
                                                   << Grade::Fail << NaN << "at a frequency the limits do not cover";

    // Relative to the output power: the same reading passes one pass and fails the next.
    const MeasurementLimits flatness = limits({{1000, 1}, {3000, 1}}, {{1000, -1}, {3000, -1}}, 0.3, true);
    QTest::newRow("relative, pass at 0 dBm") << flatness << false << 2000.0 << 0.0 << 0.5 << NaN << Grade::Pass << 0.5 << "";
    QTest::newRow("relative, same reading at -10 dBm") << flatness << false << 2000.0 << -10.0 << 0.5 << NaN
                                                      << Grade::Fail << -9.5 << "above the upper limit";
    QTest::newRow("relative, marginal at -10 dBm") << flatness << false << 2000.0 << -10.0 << -9.2 << NaN
                                                  << Grade::Marginal << 0.2 << "";
    // 0.7 + 0.1 is a hair below 0.8 in binary: a reading on its limit passes all the same.
    QTest::newRow("relative, on the limit") << limits({{1000, 0.7}, {3000, 0.7}}, {}, 0, true) << false << 2000.0 << 0.1
                                           << 0.8 << NaN << Grade::Pass << 0.0 << "";
    QTest::newRow("relative, below at 5 dBm") << flatness << false << 3000.0 << 5.0 << 3.5 << NaN << Grade::Fail
                                             << -0.5 << "below the lower limit";

    // Spurs: the carrier against its masks, the strongest spur (dBc) against maxSpur.
    const LimitMask spurMask{{1000, -60}, {3000, -60}};
    const MeasurementLimits spur = limits({{1000, 1}, {3000, 1}}, {{1000, -1}, {3000, -1}}, 0, true, spurMask);
    const MeasurementLimits spurMarginal = limits({}, {}, 1, false, spurMask);
    QTest::newRow("spur below its limit") << spur << true << 2000.0 << 0.0 << 0.2 << -70.0 << Grade::Pass << 0.8 << "";
    QTest::newRow("spur on its limit") << spur << true << 2000.0 << 0.0 << 0.2 << -60.0 << Grade::Pass << 0.0 << "";
    QTest::newRow("spur above its limit") << spur << true << 2000.0 << 0.0 << 0.2 << -59.5 << Grade::Fail << -0.5
                                          << "with a spur above the limit";
    QTest::newRow("no spur found") << spur << true << 2000.0 << 0.0 << 0.2 << NaN << Grade::Pass << 0.8 << "";
    QTest::newRow("carrier above, relative") << spur << true << 2000.0 << -10.0 << -8.5 << -70.0 << Grade::Fail
                                             << -0.5 << "with the carrier above the upper limit";
    QTest::newRow("spur alone, marginal") << spurMarginal << true << 2000.0 << 0.0 << 0.0 << -60.5 << Grade::Marginal
                                          << 0.5 << "";
    QTest::newRow("spur alone, no spur found") << spurMarginal << true << 2000.0 << 0.0 << 0.0 << NaN << Grade::Pass
                                               << NaN << "";
    QTest::newRow("no carrier") << spur << true << 2000.0 << 0.0 << NaN << NaN << Grade::NoReading << NaN
                                << "without a reading";
}

void tst_Verdict::judgements()
{
    QFETCH(MeasurementLimits, limits);
    QFETCH(bool, spur);
    QFETCH(double, frequency);
    QFETCH(double, output);
    QFETCH(double, value);
    QFETCH(double, spurLevel);
    QFETCH(Grade, grade);
    QFETCH(double, margin);
    QFETCH(QString, failure);
    // Without a spur the worker leaves its level at 0 dBc, which no maxSpur allows.
    const bool hasSpur = !std::isnan(spurLevel);
    const Verdict::Judgement j = spur ? Verdict::judgeSpur(limits, frequency, output, value, hasSpur, hasSpur ? spurLevel : 0.0)
                                      : Verdict::judgePower(limits, frequency, output, value);
    QCOMPARE(Verdict::text(j.grade), Verdict::text(grade));
    QVERIFY2(same(j.margin, margin), qPrintable(QString::number(j.margin, 'g', 17)));
    QCOMPARE(j.failure, failure);
}

void tst_Verdict::rollUp_data()
{
    QTest::addColumn<QString>("points"); // P pass, M marginal, N no reading, F fail, - no limits
    QTest::addColumn<bool>("reachedItsEnd");
    QTest::addColumn<bool>("hasLimits");
    QTest::addColumn<Grade>("run");

    QTest::newRow("no limits") << "" << true << false << Grade::None;
    QTest::newRow("all pass") << "PPP" << true << true << Grade::Pass;
    QTest::newRow("marginal outweighs pass") << "PMP" << true << true << Grade::Marginal;
    QTest::newRow("no reading outweighs marginal") << "MNP" << true << true << Grade::NoReading;
    QTest::newRow("fail outweighs all") << "NFMP" << true << true << Grade::Fail;
    QTest::newRow("points without limits count for nothing") << "-P-" << true << true << Grade::Pass;
    QTest::newRow("limits but nothing judged") << "" << true << true << Grade::NoReading;
    QTest::newRow("stopped while passing") << "PP" << false << true << Grade::Incomplete;
    QTest::newRow("stopped after a failure") << "PFP" << false << true << Grade::Fail;
}

void tst_Verdict::rollUp()
{
    QFETCH(QString, points);
    QFETCH(bool, reachedItsEnd);
    QFETCH(bool, hasLimits);
    QFETCH(Grade, run);
    Grade grade = Grade::None;
    const QString letters = QStringLiteral("-PMNF");
    for (const QChar c : points)
        grade = Verdict::worst(grade, Grade(letters.indexOf(c)));
    QCOMPARE(Verdict::text(Verdict::ofRun(grade, reachedItsEnd, hasLimits)), Verdict::text(run));
    QCOMPARE(Verdict::fromText(Verdict::text(run)), run);
}

void tst_Verdict::tally_data()
{
    QTest::addColumn<QString>("readings"); // "frequency:reading" against 0 / -10 dBm, margin 0.5
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("firstFailures"); // their point numbers
    QTest::addColumn<QString>("counts");        // failed, marginal, unread

    QTest::newRow("pass") << "1000:-5 2000:-3" << "PASS" << "" << "0 0 0";
    QTest::newRow("no reading") << "1000:NaN 2000:-0.2 3000:NaN"
                                << "NO READING: 2 points without a reading; 1 point within the margin of a limit" << ""
                                << "0 1 2";
    QTest::newRow("above") << "1000:0.2 12400:0.8 3000:0.5 4000:-5"
                           << "FAIL: 3 points above the upper limit, worst +0.8 dB at 12,400 MHz" << "1 2 3" << "3 0 0";
    QTest::newRow("mixed") << "1000:0.2 2000:-10.5 3000:NaN 4000:-0.1 5000:0.1"
                           << "FAIL: 2 points above the upper limit, 1 point below the lower limit, worst -0.5 dB at "
                              "2,000 MHz; 1 point without a reading"
                           << "1 2 5" << "3 1 1";
    QTest::newRow("a fraction of a MHz") << "1234.5:1" << "FAIL: 1 point above the upper limit, worst +1 dB at 1,234.5 MHz"
                                         << "1" << "1 0 0";
    QTest::newRow("uncovered") << "25000:-5" << "FAIL: 1 point at a frequency the limits do not cover" << "1" << "1 0 0";
    QString twelve;
    for (int i = 1; i <= 12; ++i)
        twelve += QStringLiteral("%1:%2 ").arg(i * 1000).arg(i / 10.0);
    QTest::newRow("the first ten of twelve") << twelve.trimmed()
                                             << "FAIL: 12 points above the upper limit, worst +1.2 dB at 12,000 MHz"
                                             << "1 2 3 4 5 6 7 8 9 10" << "12 0 0";
}

void tst_Verdict::tally()
{
    QFETCH(QString, readings);
    QFETCH(QString, summary);
    QFETCH(QString, firstFailures);
    QFETCH(QString, counts);
    const MeasurementLimits l = limits(flat0, flat10, 0.5);
    const QStringList all = readings.split(' ');
    // The same points in one tally, and in two (a sequence's measurements) merged, split at each place.
    for (int split = 0; split <= all.size(); ++split) {
        Verdict::Tally tally;
        Verdict::Tally later;
        quint64 number = 0;
        for (const QString &reading : all) {
            const double frequency = reading.section(':', 0, 0).toDouble();
            const QString value = reading.section(':', 1);
            Verdict::Tally &into = int(number) < split ? tally : later;
            into.add(1, ++number, frequency, Verdict::judgePower(l, frequency, 0, value == "NaN" ? NaN : value.toDouble()));
        }
        tally.merge(later);
        QCOMPARE(tally.summary(), summary);
        QStringList numbers;
        for (const Verdict::Tally::Failure &f : tally.firstFailures)
            numbers << QString::number(f.number);
        QCOMPARE(numbers.join(' '), firstFailures);
        QCOMPARE(QStringLiteral("%1 %2 %3").arg(tally.failed).arg(tally.marginal).arg(tally.unread), counts);
        QCOMPARE(tally.judged, qint64(number));
    }
}

void tst_Verdict::refusals_data()
{
    QTest::addColumn<MeasurementLimits>("limits");
    QTest::addColumn<bool>("spur");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("stop");
    QTest::addColumn<QString>("error"); // empty: judged as given

    const LimitMask upTo5000{{1000, 0}, {5000, 0}};
    QTest::newRow("not given") << MeasurementLimits() << false << 1000.0 << 6000.0 << "";
    QTest::newRow("covers a range run downwards") << limits(upTo5000, {}) << false << 5000.0 << 1000.0 << "";
    QTest::newRow("one point for one frequency") << limits({{1500, 0}}, {}) << false << 1500.0 << 1500.0 << "";
    QTest::newRow("upper end uncovered") << limits(upTo5000, {}) << false << 1000.0 << 6000.0
                                         << "upper: covers 1000 to 5000 MHz; 5000 to 6000 MHz is not covered";
    QTest::newRow("lower end uncovered") << limits({}, {{2000, -9}, {6000, -9}}) << false << 1000.0 << 6000.0
                                         << "lower: covers 2000 to 6000 MHz; 1000 to 2000 MHz is not covered";
    QTest::newRow("both ends uncovered") << limits({{2000, 0}, {5000, 0}}, {}) << false << 1000.0 << 6000.0
                                         << "upper: covers 2000 to 5000 MHz; 1000 to 2000 and 5000 to 6000 MHz are not covered";
    QTest::newRow("a range beside a mask") << limits(upTo5000, {}) << false << 7000.0 << 8000.0
                                           << "upper: covers 1000 to 5000 MHz; 7000 to 8000 MHz is not covered";
    QTest::newRow("one point beside the range") << limits({{1500, 0}}, {}) << false << 1500.0 << 1500.5
                                                << "upper: covers 1500 MHz alone; 1500 to 1500.5 MHz is not covered";
    QTest::newRow("not ascending") << limits({{1000, 0}, {3000, 0}, {2000, 0}, {6000, 0}}, {}) << false << 1000.0
                                   << 6000.0 << "upper[2]: 2000 MHz comes after 3000 MHz; frequencies must ascend";
    QTest::newRow("three at one frequency") << limits({{1000, 0}, {2000, 0}, {2000, -1}, {2000, -2}, {6000, 0}}, {})
                                            << false << 1000.0 << 6000.0 << "upper[3]: a third point at 2000 MHz";
    QTest::newRow("not a number") << limits(upTo5000, {{1000, -5}, {5000, NaN}}) << false << 1000.0 << 5000.0
                                  << "lower[1]: not a finite number";
    QTest::newRow("touching limits") << limits(upTo5000, {{1000, -5}, {3000, 0}, {5000, -5}}) << false << 1000.0
                                     << 5000.0 << "";
    QTest::newRow("crossed at a corner of the lower") << limits(upTo5000, {{1000, -5}, {3000, 1}, {5000, -5}}) << false
                                                      << 1000.0 << 5000.0
                                                      << "lower: 1 lies above the upper limit's 0 at 3000 MHz";
    QTest::newRow("crossed at a step of the upper") << limits({{1000, 0}, {2000, 0}, {2000, -10}, {5000, -10}},
                                                              {{1000, -5}, {5000, -5}})
                                                    << false << 1000.0 << 5000.0
                                                    << "lower: -5 lies above the upper limit's -10 at 2000 MHz";
    QTest::newRow("crossed at the start, between corners") << limits(upTo5000, {{0, 40}, {2000, -20}, {5000, -20}})
                                                           << false << 1000.0 << 3000.0
                                                           << "lower: 10 lies above the upper limit's 0 at 1000 MHz";
    QTest::newRow("crossed outside the range") << limits(upTo5000, {{1000, -5}, {4000, -5}, {5000, 5}}) << false
                                               << 1000.0 << 4000.0 << "";
    QTest::newRow("margin below 0") << limits(upTo5000, {}, -0.1) << false << 1000.0 << 5000.0
                                    << "margin: -0.1 is below 0 dB";
    QTest::newRow("margin not a number") << limits(upTo5000, {}, NaN) << false << 1000.0 << 5000.0
                                         << "margin: not a finite number";
    QTest::newRow("maxSpur on a power measurement") << limits(upTo5000, {}, 0, false, upTo5000) << false << 1000.0
                                                    << 5000.0 << "maxSpur: not a limit of a power measurement";
    QTest::newRow("power without a mask") << limits({}, {}) << false << 1000.0 << 5000.0 << "upper: missing";
    QTest::newRow("spur without a mask") << limits({}, {}) << true << 1000.0 << 5000.0 << "maxSpur: missing";
    QTest::newRow("spur's carrier uncovered") << limits(upTo5000, {}, 0, false, upTo5000) << true << 500.0 << 5000.0
                                              << "carrier.upper: covers 1000 to 5000 MHz; 500 to 1000 MHz";
    QTest::newRow("spur's carrier crossed") << limits(upTo5000, {{1000, 1}, {5000, 1}}) << true << 1000.0 << 5000.0
                                            << "carrier.lower: 1 lies above the upper limit's 0 at 1000 MHz";
}

void tst_Verdict::refusals()
{
    QFETCH(MeasurementLimits, limits);
    QFETCH(bool, spur);
    QFETCH(double, start);
    QFETCH(double, stop);
    QFETCH(QString, error);
    const QString why = Verdict::check(limits, spur, start, stop);
    if (error.isEmpty())
        QCOMPARE(why, QString());
    else
        QVERIFY2(why.startsWith(error), qPrintable(why));
}

QTEST_APPLESS_MAIN(tst_Verdict)
#include "tst_Verdict.moc"
