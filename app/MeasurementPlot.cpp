#include "MeasurementPlot.h"

#include "MeasuredPoint.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QPen>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_picker.h>
#include <qwt_picker_machine.h>
#include <qwt_symbol.h>

namespace {

const QColor curveColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                          QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                          QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f)};

QString g6(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

MeasurementPlot::MeasurementPlot(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , plot(new QwtPlot(this))
    , replotSoon(new QTimer(this))
{
    // Points that arrive together are drawn together, at most 20 times a second: a plot of
    // thousands of points redrawn for every one of them would take the processor from the run.
    replotSoon->setSingleShot(true);
    replotSoon->setInterval(50);
    connect(replotSoon, &QTimer::timeout, plot, &QwtPlot::replot);
    setObjectName(QStringLiteral("measurementPlot"));
    setWindowTitle(QStringLiteral("Measurement plot"));
    resize(760, 480);
    plot->setObjectName(QStringLiteral("plot"));
    plot->setCanvasBackground(Qt::white);
    plot->insertLegend(new QwtLegend(), QwtPlot::BottomLegend);
    plot->setAxisTitle(QwtPlot::xBottom, QStringLiteral("Frequency, MHz"));
    plot->setAxisTitle(QwtPlot::yLeft, QStringLiteral("Power, dBm"));
    plot->setAxisTitle(QwtPlot::yRight, QStringLiteral("Strongest spur, dBc"));
    auto *grid = new QwtPlotGrid;
    grid->setMajorPen(QPen(QColor(220, 220, 220), 0, Qt::DotLine));
    grid->attach(plot);
    // The values under the pointer, in the plot's own units.
    auto *picker = new QwtPlotPicker(QwtPlot::xBottom, QwtPlot::yLeft, QwtPicker::CrossRubberBand,
                                     QwtPicker::AlwaysOn, plot->canvas());
    picker->setStateMachine(new QwtPickerTrackerMachine);
    picker->setRubberBandPen(QPen(QColor(150, 150, 150)));
    picker->setTrackerPen(QPen(Qt::black));

    auto *save = new QPushButton(QStringLiteral("Save PNG…"), this);
    save->setObjectName(QStringLiteral("buttonSavePlot"));
    connect(save, &QPushButton::clicked, this, &MeasurementPlot::saveWithDialog);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(plot, 1);
    layout->addLayout(buttons);
}

void MeasurementPlot::clear()
{
    for (Curve &c : curves) {
        c.curve->detach();
        delete c.curve;
    }
    curves.clear();
    order.clear();
    plot->enableAxis(QwtPlot::yRight, false);
    plot->replot();
}

MeasurementPlot::Curve &MeasurementPlot::curve(const QString &title, int axis, int colorIndex)
{
    auto it = curves.find(title);
    if (it != curves.end())
        return *it;
    Curve made;
    made.curve = new QwtPlotCurve(title);
    made.curve->setRenderHint(QwtPlotItem::RenderAntialiased);
    const QColor color = curveColors[qMax(0, colorIndex) % int(sizeof curveColors / sizeof curveColors[0])];
    made.curve->setPen(QPen(color, 1.5));
    made.curve->setSymbol(new QwtSymbol(QwtSymbol::Ellipse, QBrush(color), QPen(color), QSize(4, 4)));
    made.curve->setYAxis(axis);
    made.curve->attach(plot);
    if (axis == QwtPlot::yRight)
        plot->enableAxis(QwtPlot::yRight, true);
    order << title;
    return *curves.insert(title, made);
}

void MeasurementPlot::addPoint(const MeasuredPoint &point)
{
    if (point.spur != spurMode && !curves.isEmpty())
        clear();
    if (curves.isEmpty())
        plot->setAxisTitle(QwtPlot::yLeft, point.spur ? QStringLiteral("Carrier, dBm") : QStringLiteral("Power, dBm"));
    spurMode = point.spur;
    if (point.spur) {
        Curve &carrier = curve(QStringLiteral("Carrier, %1 dBm").arg(g6(point.outputPower)), QwtPlot::yLeft,
                               2 * (point.pass - 1));
        append(carrier, point.frequency, point.carrierLevel);
        if (point.hasSpur) {
            Curve &spur = curve(QStringLiteral("Strongest spur, %1 dBm").arg(g6(point.outputPower)),
                                QwtPlot::yRight, 2 * (point.pass - 1) + 1);
            append(spur, point.frequency, point.spurLevel);
        }
    } else {
        Curve &reading = curve(QStringLiteral("Reading, %1 dBm").arg(g6(point.outputPower)), QwtPlot::yLeft,
                               point.pass - 1);
        append(reading, point.frequency, point.reading);
        if (point.fetched) {
            Curve &own = curve(QStringLiteral("Synthesizer output, %1 dBm").arg(g6(point.outputPower)),
                               QwtPlot::yLeft, point.pass + 3);
            append(own, point.frequency, point.fetchedPower);
        }
    }
    // Drawing costs only while someone looks.
    if (isVisible() && !replotSoon->isActive())
        replotSoon->start();
}

void MeasurementPlot::append(Curve &c, double x, double y)
{
    c.x.append(x);
    c.y.append(y);
    c.curve->setRawSamples(c.x.constData(), c.y.constData(), c.x.size());
}

QStringList MeasurementPlot::curveTitles() const
{
    return order;
}

QVector<QPointF> MeasurementPlot::curvePoints(const QString &title) const
{
    const Curve c = curves.value(title);
    QVector<QPointF> points;
    for (int i = 0; i < c.x.size(); ++i)
        points.append(QPointF(c.x.at(i), c.y.at(i)));
    return points;
}

bool MeasurementPlot::savePng(const QString &path)
{
    plot->replot();
    return plot->grab().save(path, "PNG");
}

void MeasurementPlot::saveWithDialog()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save plot"), QString(),
                                                      QStringLiteral("PNG images (*.png)"));
    if (!path.isEmpty())
        savePng(path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive) ? path : path + QStringLiteral(".png"));
}
