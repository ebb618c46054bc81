#include "MeasuredPoint.h"
#include "GradeColour.h"
#include "MeasurementPlot.h"
#include "Verdict.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

#include <qwt_plot.h>
#include <qwt_text.h>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(MeasurementLimits)

namespace {

using Points = QVector<MeasuredPoint>;
using Curves = QVector<QPair<QString, QVector<QPointF>>>;

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();
// The colour of the first pass's curves, as the plot draws them.
const QColor firstCurveColor(0x1f, 0x77, 0xb4);

MeasuredPoint reading(int pass, double frequency, double power, double value)
{
    MeasuredPoint point;
    point.pass = pass;
    point.frequency = frequency;
    point.outputPower = power;
    point.reading = value;
    return point;
}

MeasuredPoint withOwnReading(MeasuredPoint point, double value)
{
    point.fetched = true;
    point.fetchedPower = value;
    return point;
}

MeasuredPoint carrier(int pass, double frequency, double power, double level)
{
    MeasuredPoint point;
    point.spur = true;
    point.pass = pass;
    point.frequency = frequency;
    point.outputPower = power;
    point.carrierLevel = level;
    return point;
}

MeasuredPoint withSpur(MeasuredPoint point, double level)
{
    point.hasSpur = true;
    point.spurLevel = level;
    return point;
}

MeasuredPoint inWorkbook(MeasuredPoint point, const QString &workbook)
{
    point.workbook = workbook;
    return point;
}

LimitMask mask(const QVector<QPair<double, double>> &corners)
{
    LimitMask made;
    for (const auto &corner : corners)
        made << MaskPoint{corner.first, corner.second};
    return made;
}

// The point as the window hands it on: judged against the limits of its measurement.
MeasuredPoint judged(MeasuredPoint point, const MeasurementLimits &limits)
{
    point.judgement = point.spur ? Verdict::judgeSpur(limits, point.frequency, point.outputPower, point.carrierLevel,
                                                      point.hasSpur, point.spurLevel)
                                 : Verdict::judgePower(limits, point.frequency, point.outputPower, point.reading);
    return point;
}

QwtPlot *qwtPlot(MeasurementPlot &plot)
{
    return plot.findChild<QwtPlot *>(QStringLiteral("plot"));
}

bool drawsInColor(QWidget *canvas, const QColor &color)
{
    const QImage image = canvas->grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == color)
                return true;
        }
    }
    return false;
}

} // namespace

class tst_MeasurementPlot : public QObject
{
    Q_OBJECT

private slots:
    void curves_data();
    void curves();
    void limitMasksAndMarks_data();
    void limitMasksAndMarks();
    void newRunStartsEmpty();
    void redrawsWhenShownAgain();
    void savesPng_data();
    void savesPng();
    void trackerShowsTheNearestPoint_data();
    void trackerShowsTheNearestPoint();
    void saveProposesTheRunsNameInTheWorkbookFolder();
};

void tst_MeasurementPlot::curves_data()
{
    QTest::addColumn<quint64>("pointsPerPass");
    QTest::addColumn<Points>("points");
    QTest::addColumn<QString>("xTitle");
    QTest::addColumn<Curves>("expected");
    const QString frequency = QStringLiteral("Frequency, MHz");
    const QString pass = QStringLiteral("Pass");

    QTest::newRow("sweep")
        << quint64(3) << Points{reading(1, 1000, -5, -6.5), reading(1, 1100, -5, -6.25), reading(1, 1200, -5, -7)}
        << frequency << Curves{{"Reading, -5 dBm", {{1000, -6.5}, {1100, -6.25}, {1200, -7}}}};
    QTest::newRow("sweep with the synthesizer's own reading")
        << quint64(2) << Points{withOwnReading(reading(1, 1000, 3.5, 2), 3.25), withOwnReading(reading(1, 2000, 3.5, 1), 3.5)}
        << frequency
        << Curves{{"Reading, 3.5 dBm", {{1000, 2}, {2000, 1}}}, {"Synthesizer output, 3.5 dBm", {{1000, 3.25}, {2000, 3.5}}}};
    QTest::newRow("sweep cycled in steps of 1 dB")
        << quint64(2) << Points{reading(1, 10, 27, 26), reading(1, 20, 27, 25), reading(2, 10, 28, 27), reading(2, 20, 28, 26)}
        << frequency << Curves{{"Reading, 27 dBm", {{10, 26}, {20, 25}}}, {"Reading, 28 dBm", {{10, 27}, {20, 26}}}};
    QTest::newRow("sweep cycled in steps of 0 dB")
        << quint64(2)
        << Points{reading(1, 10, 0, -1), reading(1, 20, 0, -2), reading(2, 10, 0, -1.5), reading(2, 20, 0, -2.5),
                  reading(3, 10, 0, -1.25)}
        << frequency
        << Curves{{"Reading, 0 dBm", {{10, -1}, {20, -2}}}, {"Reading, 0 dBm, pass 2", {{10, -1.5}, {20, -2.5}}},
                  {"Reading, 0 dBm, pass 3", {{10, -1.25}}}};
    QTest::newRow("sweep cycled in steps of 0 dB with the synthesizer's own reading")
        << quint64(2)
        << Points{withOwnReading(reading(1, 10, 0, -1), 0.5), withOwnReading(reading(1, 20, 0, -2), 0.25),
                  withOwnReading(reading(2, 10, 0, -3), 0.125)}
        << frequency
        << Curves{{"Reading, 0 dBm", {{10, -1}, {20, -2}}}, {"Synthesizer output, 0 dBm", {{10, 0.5}, {20, 0.25}}},
                  {"Reading, 0 dBm, pass 2", {{10, -3}}}, {"Synthesizer output, 0 dBm, pass 2", {{10, 0.125}}}};
    QTest::newRow("spur sweep cycled in steps of 1 dB")
        << quint64(2)
        << Points{withSpur(carrier(1, 1000, 13, 12), -60), withSpur(carrier(1, 1010, 13, 11), -55),
                  withSpur(carrier(2, 1000, 14, 13), -58), carrier(2, 1010, 14, 12)}
        << frequency
        << Curves{{"Carrier, 13 dBm", {{1000, 12}, {1010, 11}}}, {"Strongest spur, 13 dBm", {{1000, -60}, {1010, -55}}},
                  {"Carrier, 14 dBm", {{1000, 13}, {1010, 12}}}, {"Strongest spur, 14 dBm", {{1000, -58}}}};
    QTest::newRow("spur sweep cycled in steps of 0 dB")
        << quint64(2)
        << Points{carrier(1, 1000, 13, 12), carrier(1, 1010, 13, 12.5), withSpur(carrier(2, 1000, 13, 11), -50)}
        << frequency
        << Curves{{"Carrier, 13 dBm", {{1000, 12}, {1010, 12.5}}}, {"Carrier, 13 dBm, pass 2", {{1000, 11}}},
                  {"Strongest spur, 13 dBm, pass 2", {{1000, -50}}}};
    QTest::newRow("one frequency cycled in steps of 1 dB")
        << quint64(1) << Points{reading(1, 1000, 27, 26.5), reading(2, 1000, 28, 27.25), reading(3, 1000, 29, 27.75)}
        << pass << Curves{{"Reading, 1000 MHz", {{1, 26.5}, {2, 27.25}, {3, 27.75}}}};
    QTest::newRow("one frequency cycled in steps of 0 dB, own reading")
        << quint64(1)
        << Points{withOwnReading(reading(1, 2450.5, 0, -1), 0.125), withOwnReading(reading(2, 2450.5, 0, -1.5), 0.25)}
        << pass
        << Curves{{"Reading, 2450.5 MHz", {{1, -1}, {2, -1.5}}}, {"Synthesizer output, 2450.5 MHz", {{1, 0.125}, {2, 0.25}}}};
    QTest::newRow("one spur point per pass")
        << quint64(1) << Points{withSpur(carrier(1, 1000, 13, 12), -60), carrier(2, 1000, 14, 13), withSpur(carrier(3, 1000, 15, 14), -40)}
        << pass
        << Curves{{"Carrier, 1000 MHz", {{1, 12}, {2, 13}, {3, 14}}}, {"Strongest spur, 1000 MHz", {{1, -60}, {3, -40}}}};
    // A reading that is not a number is left out: the curve joins its neighbours.
    QTest::newRow("sweep, a reading not a number")
        << quint64(3) << Points{reading(1, 1000, 0, -1), reading(1, 1100, 0, notANumber), reading(1, 1200, 0, -3)}
        << frequency << Curves{{"Reading, 0 dBm", {{1000, -1}, {1200, -3}}}};
    QTest::newRow("sweep, the first reading not a number")
        << quint64(3) << Points{reading(1, 1000, 0, notANumber), reading(1, 1100, 0, -2), reading(1, 1200, 0, -3)}
        << frequency << Curves{{"Reading, 0 dBm", {{1100, -2}, {1200, -3}}}};
    QTest::newRow("sweep, an infinite reading")
        << quint64(2) << Points{reading(1, 1000, 0, -infinity), reading(1, 1100, 0, -2)}
        << frequency << Curves{{"Reading, 0 dBm", {{1100, -2}}}};
    QTest::newRow("sweep, the synthesizer's own reading not a number")
        << quint64(2) << Points{withOwnReading(reading(1, 1000, 0, -1), notANumber), withOwnReading(reading(1, 1100, 0, -2), 0.5)}
        << frequency << Curves{{"Reading, 0 dBm", {{1000, -1}, {1100, -2}}}, {"Synthesizer output, 0 dBm", {{1100, 0.5}}}};
    QTest::newRow("spur sweep, a carrier not a number")
        << quint64(2) << Points{withSpur(carrier(1, 1000, 0, notANumber), notANumber), withSpur(carrier(1, 1010, 0, -1), -70)}
        << frequency << Curves{{"Carrier, 0 dBm", {{1010, -1}}}, {"Strongest spur, 0 dBm", {{1010, -70}}}};
    // Readings a rounding step apart: the axis still spans 1 dB, so that the step is no cliff.
    QTest::newRow("sweep in rounding steps of 0.01 dB")
        << quint64(3) << Points{reading(1, 1000, 0, -1.49), reading(1, 1100, 0, -1.5), reading(1, 1200, 0, -1.48)}
        << frequency << Curves{{"Reading, 0 dBm", {{1000, -1.49}, {1100, -1.5}, {1200, -1.48}}}};
    QTest::newRow("spur sweep, carrier and spur flat")
        << quint64(2) << Points{withSpur(carrier(1, 1000, 0, -1.5), -48), withSpur(carrier(1, 1010, 0, -1.5), -48)}
        << frequency << Curves{{"Carrier, 0 dBm", {{1000, -1.5}, {1010, -1.5}}}, {"Strongest spur, 0 dBm", {{1000, -48}, {1010, -48}}}};
    QTest::newRow("one frequency, a reading not a number")
        << quint64(1) << Points{reading(1, 1000, 0, -1), reading(2, 1000, 0, notANumber), reading(3, 1000, 0, -3)}
        << pass << Curves{{"Reading, 1000 MHz", {{1, -1}, {3, -3}}}};
}

void tst_MeasurementPlot::curves()
{
    QFETCH(quint64, pointsPerPass);
    QFETCH(Points, points);
    QFETCH(QString, xTitle);
    QFETCH(Curves, expected);
    MeasurementPlot plot;
    plot.runStarted(points.first().spur ? QStringLiteral("Spur measurement") : QStringLiteral("Power measurement"),
                    pointsPerPass, 0);
    for (const MeasuredPoint &point : points)
        plot.addPoint(point);
    QStringList titles;
    for (const auto &curve : expected)
        titles << curve.first;
    QCOMPARE(plot.curveTitles(), titles);
    for (const auto &curve : expected)
        QCOMPARE(plot.curvePoints(curve.first), curve.second);

    // The axes hold every point drawn, and no more than a finite range; a y axis never spans
    // less than 1 dB.
    QwtPlot *drawn = qwtPlot(plot);
    QVERIFY(drawn);
    drawn->replot();
    QCOMPARE(drawn->axisTitle(QwtPlot::xBottom).text(), xTitle);
    for (const auto &curve : expected) {
        const int yAxis = curve.first.startsWith(QLatin1String("Strongest spur")) ? QwtPlot::yRight : QwtPlot::yLeft;
        const QwtInterval x = drawn->axisInterval(QwtPlot::xBottom);
        const QwtInterval y = drawn->axisInterval(yAxis);
        QVERIFY(std::isfinite(x.width()) && std::isfinite(y.width()));
        QVERIFY2(y.width() >= 1.0, qPrintable(QStringLiteral("%1: %2 dB").arg(curve.first).arg(y.width())));
        for (const QPointF &p : curve.second)
            QVERIFY2(x.contains(p.x()) && y.contains(p.y()), qPrintable(curve.first));
    }
}

void tst_MeasurementPlot::limitMasksAndMarks_data()
{
    QTest::addColumn<MeasurementLimits>("limits");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("stop");
    QTest::addColumn<quint64>("pointsPerPass");
    QTest::addColumn<Points>("points");
    QTest::addColumn<Curves>("expected");

    // A step down to 3 dBm at 1500 MHz, the range starting between corners; 0.5 dB of margin.
    MeasurementLimits step;
    step.present = true;
    step.upper = mask({{1000, 5}, {1500, 5}, {1500, 3}, {2000, 3}});
    step.lower = mask({{1000, -10}, {2000, -10}});
    step.margin = 0.5;
    QTest::newRow("step mask with margins")
        << step << 1200.0 << 2000.0 << quint64(3)
        << Points{reading(1, 1200, 0, 2), reading(1, 1600, 0, 4), reading(1, 2000, 0, 2.75)}
        << Curves{{"Reading, 0 dBm", {{1200, 2}, {1600, 4}, {2000, 2.75}}},
                  {"Upper limit", {{1200, 5}, {1500, 5}, {1500, 3}, {2000, 3}}},
                  {"Upper limit, margin", {{1200, 4.5}, {1500, 4.5}, {1500, 2.5}, {2000, 2.5}}},
                  {"Lower limit", {{1200, -10}, {2000, -10}}},
                  {"Lower limit, margin", {{1200, -9.5}, {2000, -9.5}}},
                  {"Failed points", {{1600, 4}}},
                  {"Marginal points", {{2000, 2.75}}}};
    // The range ending on the step: the level holds up to it, then steps.
    QTest::newRow("range ending on a step")
        << step << 1000.0 << 1500.0 << quint64(2) << Points{reading(1, 1000, 0, 0)}
        << Curves{{"Reading, 0 dBm", {{1000, 0}}},
                  {"Upper limit", {{1000, 5}, {1500, 5}, {1500, 3}}},
                  {"Upper limit, margin", {{1000, 4.5}, {1500, 4.5}, {1500, 2.5}}},
                  {"Lower limit", {{1000, -10}, {1500, -10}}},
                  {"Lower limit, margin", {{1000, -9.5}, {1500, -9.5}}}};
    // 1 dB above each pass's output power: a mask per pass, each judging its own pass.
    MeasurementLimits relative;
    relative.present = true;
    relative.relativeTo = MeasurementLimits::RelativeTo::Output;
    relative.upper = mask({{1000, 1}, {2000, 1}});
    QTest::newRow("relative mask over two passes")
        << relative << 1000.0 << 2000.0 << quint64(2)
        << Points{reading(1, 1000, -5, -5.5), reading(1, 2000, -5, -3.5), reading(2, 1000, -4, -4.25),
                  reading(2, 2000, -4, -3.5)}
        << Curves{{"Reading, -5 dBm", {{1000, -5.5}, {2000, -3.5}}},
                  {"Upper limit, -5 dBm", {{1000, -4}, {2000, -4}}},
                  {"Failed points", {{2000, -3.5}}},
                  {"Reading, -4 dBm", {{1000, -4.25}, {2000, -3.5}}},
                  {"Upper limit, -4 dBm", {{1000, -3}, {2000, -3}}}};
    QTest::newRow("relative mask at one frequency over the passes")
        << relative << 1500.0 << 1500.0 << quint64(1)
        << Points{reading(1, 1500, 0, 0.5), reading(2, 1500, 1, 2.5)}
        << Curves{{"Reading, 1500 MHz", {{1, 0.5}, {2, 2.5}}}, {"Upper limit", {{1, 1}, {2, 2}}},
                  {"Failed points", {{2, 2.5}}}};
    // A spur above its limit is marked where it is drawn, on the spur axis.
    MeasurementLimits spur;
    spur.present = true;
    spur.maxSpur = mask({{1000, -60}, {1010, -60}});
    spur.lower = mask({{1000, -3}, {1010, -3}});
    QTest::newRow("spur limit and carrier")
        << spur << 1000.0 << 1010.0 << quint64(2)
        << Points{withSpur(carrier(1, 1000, 0, -1), -65), withSpur(carrier(1, 1010, 0, -1), -55)}
        << Curves{{"Carrier, 0 dBm", {{1000, -1}, {1010, -1}}}, {"Strongest spur, 0 dBm", {{1000, -65}, {1010, -55}}},
                  {"Carrier lower limit", {{1000, -3}, {1010, -3}}}, {"Spur limit", {{1000, -60}, {1010, -60}}},
                  {"Failed spurs", {{1010, -55}}}};
}

void tst_MeasurementPlot::limitMasksAndMarks()
{
    QFETCH(MeasurementLimits, limits);
    QFETCH(double, start);
    QFETCH(double, stop);
    QFETCH(quint64, pointsPerPass);
    QFETCH(Points, points);
    QFETCH(Curves, expected);
    MeasurementPlot plot;
    plot.setLimits(limits, start, stop);
    plot.runStarted(QStringLiteral("Measurement"), pointsPerPass, 0);
    for (const MeasuredPoint &point : points)
        plot.addPoint(judged(point, limits));
    QStringList titles;
    for (const auto &curve : expected)
        titles << curve.first;
    QCOMPARE(plot.curveTitles(), titles);
    for (const auto &curve : expected)
        QCOMPARE(plot.curvePoints(curve.first), curve.second);
    for (const QString &title : titles) {
        if (title.startsWith(QLatin1String("Failed")))
            QCOMPARE(plot.curveColour(title), gradeColour(Verdict::Grade::Fail));
        else if (title.startsWith(QLatin1String("Marginal")))
            QCOMPARE(plot.curveColour(title), gradeColour(Verdict::Grade::Marginal));
    }
    // The tracker names measured points alone, never a corner of a mask.
    QwtPlot *drawn = qwtPlot(plot);
    drawn->replot();
    const QwtScaleMap x = drawn->canvasMap(QwtPlot::xBottom);
    const QwtScaleMap y = drawn->canvasMap(QwtPlot::yLeft);
    const QPointF corner = expected.at(1).second.first();
    const QString tracked = plot.trackerText(QPoint(int(x.transform(corner.x())), int(y.transform(corner.y()))));
    QVERIFY2(tracked.startsWith(QLatin1String("Reading")) || tracked.startsWith(QLatin1String("Carrier"))
                 || tracked.startsWith(QLatin1String("Strongest")),
             qPrintable(tracked));
}

void tst_MeasurementPlot::newRunStartsEmpty()
{
    MeasurementPlot plot;
    QwtPlot *drawn = qwtPlot(plot);
    plot.runStarted(QStringLiteral("Power measurement"), 1, 2);
    plot.addPoint(reading(1, 1000, 0, -1));
    plot.addPoint(reading(2, 1000, 0, -2));
    QCOMPARE(plot.curveTitles(), QStringList{QStringLiteral("Reading, 1000 MHz")});
    // A sweep after a run at one frequency plots over frequency again, from pass 1 on.
    plot.runStarted(QStringLiteral("Power measurement"), 2, 1);
    QCOMPARE(plot.curveTitles(), QStringList());
    plot.addPoint(reading(1, 1000, 0, -1));
    plot.addPoint(reading(1, 2000, 0, -2));
    QCOMPARE(plot.curveTitles(), QStringList{QStringLiteral("Reading, 0 dBm")});
    QCOMPARE(plot.curvePoints(QStringLiteral("Reading, 0 dBm")), (QVector<QPointF>{{1000, -1}, {2000, -2}}));
    QCOMPARE(drawn->axisTitle(QwtPlot::xBottom).text(), QStringLiteral("Frequency, MHz"));
    // The same power in the next run is no second pass of this one.
    plot.runStarted(QStringLiteral("Power measurement"), 1, 1);
    plot.runStarted(QStringLiteral("Power measurement"), 2, 1);
    plot.addPoint(reading(1, 1000, 0, -3));
    QCOMPARE(plot.curveTitles(), QStringList{QStringLiteral("Reading, 0 dBm")});
    // Cleared without the run's shape, the plot draws over frequency.
    plot.runStarted(QStringLiteral("Power measurement"), 1, 1);
    plot.clear();
    plot.addPoint(reading(1, 1000, 0, -1));
    QCOMPARE(plot.curvePoints(QStringLiteral("Reading, 0 dBm")), (QVector<QPointF>{{1000, -1}}));
    // Spur points after power points start over.
    plot.addPoint(carrier(1, 1000, 13, 12));
    QCOMPARE(plot.curveTitles(), QStringList{QStringLiteral("Carrier, 13 dBm")});
}

void tst_MeasurementPlot::redrawsWhenShownAgain()
{
    MeasurementPlot plot;
    QwtPlot *drawn = qwtPlot(plot);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    plot.runStarted(QStringLiteral("Power measurement"), 2, 1);
    plot.addPoint(reading(1, 2000, 0, 1));
    plot.addPoint(reading(1, 2500, 0, 2));
    QTRY_VERIFY(drawn->axisInterval(QwtPlot::xBottom).contains(2500));
    // Closed by the operator, a run goes on unseen; opened again, the plot shows that run.
    plot.hide();
    plot.runStarted(QStringLiteral("Power measurement"), 2, 1);
    plot.addPoint(reading(1, 5000, 0, -50));
    plot.addPoint(reading(1, 6000, 0, -40));
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    QTRY_VERIFY_WITH_TIMEOUT(drawn->axisInterval(QwtPlot::xBottom).contains(5000)
                                 && drawn->axisInterval(QwtPlot::xBottom).contains(6000), 2000);
    QVERIFY(drawn->axisInterval(QwtPlot::yLeft).contains(-50) && drawn->axisInterval(QwtPlot::yLeft).contains(-40));
    QVERIFY(drawsInColor(drawn->canvas(), firstCurveColor));
}

void tst_MeasurementPlot::savesPng_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("name without suffix") << "plot" << "plot.png";
    QTest::newRow("name with suffix") << "plot.png" << "plot.png";
    QTest::newRow("suffix in capitals") << "PLOT.PNG" << "PLOT.PNG";
    QTest::newRow("missing folder") << "no such folder/plot.png" << QString();
    QTest::newRow("a folder in the file's place") << "taken.png" << QString();
}

void tst_MeasurementPlot::savesPng()
{
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken.png")));
    MeasurementPlot plot;
    plot.addPoint(reading(1, 1000, 0, -1));
    plot.saveTo(dir.filePath(chosen));
    auto *note = plot.findChild<QLabel *>(QStringLiteral("labelPlotSaved"));
    QVERIFY(note);
    if (written.isEmpty()) {
        const QString start = QStringLiteral("The plot cannot be saved to %1: ").arg(QDir::toNativeSeparators(dir.filePath(chosen)));
        QVERIFY2(note->text().startsWith(start) && note->text().size() > start.size(), qPrintable(note->text()));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
    } else {
        QCOMPARE(note->text(), QStringLiteral("Plot saved to %1").arg(QDir::toNativeSeparators(dir.filePath(written))));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{written});
        const QImage image(dir.filePath(written), "PNG");
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), qwtPlot(plot)->size());
    }
}

void tst_MeasurementPlot::trackerShowsTheNearestPoint_data()
{
    QTest::addColumn<quint64>("pointsPerPass");
    QTest::addColumn<Points>("points");
    // The pointer a few pixels off this point of this curve.
    QTest::addColumn<QString>("curve");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("shown");
    const Points sweep{reading(1, 1000, -5, -6.5), reading(1, 1100, -5, -6.25), reading(1, 1200, -5, -7)};
    QTest::newRow("sweep") << quint64(3) << sweep << "Reading, -5 dBm" << 1
                           << "Reading, -5 dBm\n1100 MHz: -6.25 dBm (left axis)";
    QTest::newRow("sweep, its last point") << quint64(3) << sweep << "Reading, -5 dBm" << 2
                                           << "Reading, -5 dBm\n1200 MHz: -7 dBm (left axis)";
    const Points spur{withSpur(carrier(1, 2450.125, 13, 12.375), -60), withSpur(carrier(1, 2460, 13, 11), -55.5)};
    QTest::newRow("spur on the right axis") << quint64(2) << spur << "Strongest spur, 13 dBm" << 1
                                            << "Strongest spur, 13 dBm\n2460 MHz: -55.5 dBc (right axis)";
    QTest::newRow("carrier at a frequency with decimals") << quint64(2) << spur << "Carrier, 13 dBm" << 0
                                                          << "Carrier, 13 dBm\n2450.125 MHz: 12.375 dBm (left axis)";
    QTest::newRow("one frequency over the passes")
        << quint64(1) << Points{reading(1, 1000, 27, 26.5), reading(2, 1000, 28, 27.25), reading(3, 1000, 29, 27.75)}
        << "Reading, 1000 MHz" << 1 << "Reading, 1000 MHz\npass 2: 27.25 dBm (left axis)";
}

void tst_MeasurementPlot::trackerShowsTheNearestPoint()
{
    QFETCH(quint64, pointsPerPass);
    QFETCH(Points, points);
    QFETCH(QString, curve);
    QFETCH(int, index);
    QFETCH(QString, shown);
    MeasurementPlot plot;
    QwtPlot *drawn = qwtPlot(plot);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    QCOMPARE(plot.trackerText(QPoint(10, 10)), QString());
    plot.runStarted(QStringLiteral("Power measurement"), pointsPerPass, 0);
    for (const MeasuredPoint &point : points)
        plot.addPoint(point);
    drawn->replot();
    const QPointF value = plot.curvePoints(curve).at(index);
    const int axis = curve.startsWith(QLatin1String("Strongest spur")) ? QwtPlot::yRight : QwtPlot::yLeft;
    const QPoint at(qRound(drawn->canvasMap(QwtPlot::xBottom).transform(value.x())),
                    qRound(drawn->canvasMap(axis).transform(value.y())));
    const QPoint pointer = at + QPoint(4, -3);
    QCOMPARE(plot.trackerText(pointer), shown);
    QVERIFY((plot.snappedPosition(pointer) - at).manhattanLength() <= 1);
}

void tst_MeasurementPlot::saveProposesTheRunsNameInTheWorkbookFolder()
{
    QTemporaryDir dir;
    MeasurementPlot plot;
    plot.setFolder(dir.path());
    // The minute the run started: the one before or after the start, should it turn meanwhile.
    const auto proposed = [&](const QString &name, const QDateTime &before) {
        const QStringList either{
            dir.filePath(name + before.toString(QStringLiteral(" yyyy-MM-dd HH-mm")) + QStringLiteral(".png")),
            dir.filePath(name + QDateTime::currentDateTime().toString(QStringLiteral(" yyyy-MM-dd HH-mm")) + QStringLiteral(".png"))};
        return either.contains(plot.proposedPath()) ? QString() : plot.proposedPath() + QStringLiteral(" is not ") + either.first();
    };
    QDateTime before = QDateTime::currentDateTime();
    QCOMPARE(proposed(QStringLiteral("Plot"), before), QString());
    plot.runStarted(QStringLiteral("Power measurement"), 2, 2);
    plot.addPoint(inWorkbook(reading(1, 1000, -5, -6), QStringLiteral("Table -5 dBm")));
    plot.addPoint(inWorkbook(reading(2, 1000, -4, -5), QStringLiteral("Table -4 dBm")));
    QCOMPARE(proposed(QStringLiteral("Table -5 dBm"), before), QString());
    before = QDateTime::currentDateTime();
    plot.runStarted(QStringLiteral("Spur measurement"), 2, 1);
    QCOMPARE(proposed(QStringLiteral("Spur measurement"), before), QString());
    plot.addPoint(inWorkbook(carrier(1, 1000, 0, -1), QStringLiteral("Table spur")));
    QCOMPARE(proposed(QStringLiteral("Table spur"), before), QString());
}

QTEST_MAIN(tst_MeasurementPlot)
#include "tst_MeasurementPlot.moc"
