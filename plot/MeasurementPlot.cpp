#include "MeasurementPlot.h"

#include "MeasuredPoint.h"
#include "GradeColour.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
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
#include <qwt_plot_renderer.h>
#include <qwt_picker_machine.h>
#include <qwt_scale_engine.h>
#include <qwt_symbol.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QColor curveColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                          QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                          QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f)};

const double minimumSpanDb = 1.0;

QString g6(double value)
{
    return QString::number(value, 'g', 6);
}

// Fixed decimals less the trailing zeros: "2000", "2000.125", "-1.48".
QString trimmed(double value, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

const QColor limitColor(0x20, 0x20, 0x20);

// A mask as drawn over low..high: its corners inside, each step as both of its levels, and the
// ends at the levels the mask has there.
QVector<QPointF> maskLine(const LimitMask &mask, double low, double high, bool upper)
{
    QVector<QPointF> line;
    const auto end = [&](double f) {
        const double level = Verdict::levelAt(mask, f, upper);
        if (std::isfinite(level))
            line << QPointF(f, level);
    };
    const auto corner = [&](double f) {
        return std::any_of(mask.cbegin(), mask.cend(), [f](const MaskPoint &p) { return p.frequency == f; });
    };
    if (!corner(low))
        end(low);
    for (const MaskPoint &p : mask)
        if (p.frequency >= low && p.frequency <= high)
            line << QPointF(p.frequency, p.level);
    if (high > low && !corner(high))
        end(high);
    return line;
}

// The plot's picker: its cross runs through the measured point nearest the pointer, and its
// text names that point.
class NearestPointPicker : public QwtPlotPicker
{
public:
    NearestPointPicker(const MeasurementPlot *owner, QWidget *canvas)
        : QwtPlotPicker(QwtPlot::xBottom, QwtPlot::yLeft, QwtPicker::CrossRubberBand, QwtPicker::AlwaysOn, canvas)
        , owner(owner)
    {
    }

protected:
    QwtText trackerText(const QPoint &position) const override
    {
        QwtText text(owner->trackerText(position));
        text.setBackgroundBrush(QColor(255, 255, 255, 230));
        return text;
    }
    QPolygon adjustedPoints(const QPolygon &points) const override
    {
        QPolygon snapped = points;
        for (QPoint &point : snapped)
            point = owner->snappedPosition(point);
        return snapped;
    }

private:
    const MeasurementPlot *owner;
};

} // namespace

MeasurementPlot::MeasurementPlot(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , plot(new QwtPlot(this))
    , saveNote(new QLabel(this))
    , verdictLabel(new QLabel(this))
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
    // The measured point nearest the pointer, in the units of its curve's axis.
    auto *picker = new NearestPointPicker(this, plot->canvas());
    picker->setStateMachine(new QwtPickerTrackerMachine);
    picker->setRubberBandPen(QPen(QColor(150, 150, 150)));
    picker->setTrackerPen(QPen(Qt::black));

    saveNote->setObjectName(QStringLiteral("labelPlotSaved"));
    saveNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *save = new QPushButton(QStringLiteral("Save PNG…"), this);
    save->setObjectName(QStringLiteral("buttonSavePlot"));
    connect(save, &QPushButton::clicked, this, &MeasurementPlot::saveWithDialog);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(saveNote, 1);
    buttons->addWidget(save);
    verdictLabel->setObjectName(QStringLiteral("labelPlotVerdict"));
    verdictLabel->setWordWrap(true);
    verdictLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont large = verdictLabel->font();
    large.setPointSizeF(large.pointSizeF() * 1.8);
    large.setBold(true);
    verdictLabel->setFont(large);
    verdictLabel->hide();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(verdictLabel);
    layout->addWidget(plot, 1);
    layout->addLayout(buttons);
}

void MeasurementPlot::runStarted(const QString &measurement, quint64 pointsPerPass, int)
{
    runMeasurement = measurement;
    runWorkbook.clear();
    runStartedAt = QDateTime::currentDateTime();
    removeCurves();
    setOverPass(pointsPerPass == 1);
    setVerdict(Verdict::Grade::None, QString());
}

void MeasurementPlot::setLimits(const MeasurementLimits &runLimits, double start, double stop)
{
    limits = runLimits;
    limitsFrom = std::min(start, stop);
    limitsTo = std::max(start, stop);
}

void MeasurementPlot::setVerdict(Verdict::Grade grade, const QString &text)
{
    verdictLabel->setText(text);
    verdictLabel->setStyleSheet(QStringLiteral("color: %1;").arg(gradeColour(grade).name()));
    verdictLabel->setVisible(!text.isEmpty());
}

QString MeasurementPlot::verdictText() const
{
    return verdictLabel->isHidden() ? QString() : verdictLabel->text();
}

void MeasurementPlot::clear()
{
    removeCurves();
    setOverPass(false);
}

void MeasurementPlot::removeCurves()
{
    for (Curve &c : curves) {
        c.curve->detach();
        delete c.curve;
    }
    curves.clear();
    order.clear();
    firstPassAtPower.clear();
    axisValues.clear();
    plot->setAxisAutoScale(QwtPlot::yLeft, true);
    plot->setAxisAutoScale(QwtPlot::yRight, true);
    plot->enableAxis(QwtPlot::yRight, false);
    plot->replot();
}

void MeasurementPlot::setOverPass(bool on)
{
    overPass = on;
    plot->setAxisTitle(QwtPlot::xBottom, on ? QStringLiteral("Pass") : QStringLiteral("Frequency, MHz"));
}

MeasurementPlot::Curve &MeasurementPlot::curve(const QString &key, const QString &title, int axis, int colorIndex)
{
    auto it = curves.find(key);
    if (it != curves.end())
        return *it;
    Curve made;
    made.title = title;
    made.curve = new QwtPlotCurve(title);
    made.curve->setRenderHint(QwtPlotItem::RenderAntialiased);
    // Red and orange mark the failed and marginal points of a run with limits: its curves take
    // the other colours.
    static const QVector<QColor> unmarked = [] {
        QVector<QColor> colors;
        for (const QColor &c : curveColors)
            if (c != curveColors[1] && c != curveColors[3])
                colors << c;
        return colors;
    }();
    const QColor color = limits.present ? unmarked.at(qMax(0, colorIndex) % unmarked.size())
                                        : curveColors[qMax(0, colorIndex) % int(sizeof curveColors / sizeof curveColors[0])];
    made.curve->setPen(QPen(color, 1.5));
    made.curve->setSymbol(new QwtSymbol(QwtSymbol::Ellipse, QBrush(color), QPen(color), QSize(4, 4)));
    made.curve->setYAxis(axis);
    made.axis = axis;
    made.curve->attach(plot);
    if (axis == QwtPlot::yRight)
        plot->enableAxis(QwtPlot::yRight, true);
    order << key;
    return *curves.insert(key, made);
}

MeasurementPlot::Curve &MeasurementPlot::guide(const QString &key, const QString &title, int axis, const QPen &pen)
{
    auto it = curves.find(key);
    if (it != curves.end())
        return *it;
    Curve &made = curve(key, title, axis, 0);
    made.measured = false;
    made.curve->setPen(pen);
    made.curve->setSymbol(nullptr);
    // Beneath the readings; the dashed margins stay out of the legend, which takes an item as it
    // is attached.
    made.curve->detach();
    made.curve->setZ(10);
    made.curve->setItemAttribute(QwtPlotItem::Legend, pen.style() == Qt::SolidLine);
    made.curve->attach(plot);
    return made;
}

// Each mask once, or once per pass when its levels follow the pass's output power; over the
// passes, the levels at the one frequency from pass to pass.
void MeasurementPlot::drawLimits(const MeasuredPoint &point, const QString &group, const QString &label, double x)
{
    const bool relative = limits.relativeTo == MeasurementLimits::RelativeTo::Output;
    const struct
    {
        const LimitMask &mask;
        bool upper;
        QString name;
        int axis;
        bool follows; // the output power
    } lines[] = {
        {limits.upper, true, point.spur ? QStringLiteral("Carrier upper limit") : QStringLiteral("Upper limit"),
         QwtPlot::yLeft, relative},
        {limits.lower, false, point.spur ? QStringLiteral("Carrier lower limit") : QStringLiteral("Lower limit"),
         QwtPlot::yLeft, relative},
        {limits.maxSpur, true, QStringLiteral("Spur limit"), QwtPlot::yRight, false},
    };
    for (const auto &line : lines) {
        if (line.mask.isEmpty())
            continue;
        const double shift = line.follows ? point.outputPower : 0.0;
        const bool perPass = line.follows && !overPass;
        const QString key = QStringLiteral("limit ") + line.name + (perPass ? QLatin1Char(' ') + group : QString());
        const QString title = perPass ? line.name + QStringLiteral(", ") + label : line.name;
        for (const bool dashed : {false, true}) {
            if (dashed && limits.margin <= 0)
                continue;
            // The margin lies inside the limit.
            const double margin = !dashed ? 0.0 : line.upper ? -limits.margin : limits.margin;
            Curve &c = guide(key + (dashed ? QStringLiteral(" margin") : QString()),
                             title + (dashed ? QStringLiteral(", margin") : QString()), line.axis,
                             QPen(limitColor, dashed ? 1.0 : 2.0, dashed ? Qt::DashLine : Qt::SolidLine));
            if (overPass) {
                append(c, x, Verdict::levelAt(line.mask, point.frequency, line.upper) + shift + margin);
            } else if (c.x.isEmpty()) {
                for (const QPointF &p : maskLine(line.mask, limitsFrom, limitsTo, line.upper))
                    append(c, p.x(), p.y() + shift + margin);
            }
        }
    }
}

// A failed or marginal point drawn over again in its grade's colour, at the value that was
// judged: the carrier's level, or the spur's on the right axis.
void MeasurementPlot::markJudged(const MeasuredPoint &point, double x)
{
    const Verdict::Grade grade = point.judgement.grade;
    if (grade != Verdict::Grade::Fail && grade != Verdict::Grade::Marginal)
        return;
    const bool spurJudged = point.spur && point.hasSpur && point.judgement.value == point.spurLevel
                            && std::isfinite(point.judgement.spurLimit);
    const double y = !point.spur ? point.reading : spurJudged ? point.spurLevel : point.carrierLevel;
    const bool failed = grade == Verdict::Grade::Fail;
    const QString title = (failed ? QStringLiteral("Failed") : QStringLiteral("Marginal"))
                          + (spurJudged ? QStringLiteral(" spurs") : QStringLiteral(" points"));
    const QColor color = gradeColour(grade);
    Curve &c = guide(QStringLiteral("mark ") + title, title, spurJudged ? QwtPlot::yRight : QwtPlot::yLeft,
                     QPen(Qt::NoPen));
    if (c.x.isEmpty()) {
        c.curve->setStyle(QwtPlotCurve::NoCurve);
        c.curve->setSymbol(new QwtSymbol(QwtSymbol::Ellipse, QBrush(color), QPen(color.darker(130)), QSize(9, 9)));
        c.curve->detach();
        c.curve->setItemAttribute(QwtPlotItem::Legend, true);
        c.curve->setZ(30);
        c.curve->attach(plot);
    }
    append(c, x, y);
}

// The output power names a pass's curves; a later pass at a power already run (cycling in steps
// of 0 dB) has its number added, so that each pass keeps a curve of its own.
QString MeasurementPlot::passLabel(const MeasuredPoint &point)
{
    const QString power = g6(point.outputPower);
    auto first = firstPassAtPower.find(power);
    if (first == firstPassAtPower.end())
        first = firstPassAtPower.insert(power, point.pass);
    const QString label = power + QStringLiteral(" dBm");
    return *first == point.pass ? label : label + QStringLiteral(", pass %1").arg(point.pass);
}

void MeasurementPlot::addPoint(const MeasuredPoint &point)
{
    if (point.spur != spurMode && !curves.isEmpty())
        removeCurves();
    if (curves.isEmpty()) {
        // A point read through a correction table is plotted at the unit, and the axis says so.
        const QString corrected = std::isnan(point.correction) ? QString() : QStringLiteral(", corrected");
        plot->setAxisTitle(QwtPlot::yLeft, (point.spur ? QStringLiteral("Carrier") : QStringLiteral("Power")) + corrected
                                               + QStringLiteral(", dBm"));
    }
    spurMode = point.spur;
    if (runWorkbook.isEmpty())
        runWorkbook = point.workbook;
    // One point per pass makes one curve per frequency over the passes, else each pass has its own.
    const QString group = overPass ? QStringLiteral("f") + g6(point.frequency) : QString::number(point.pass);
    const QString label = overPass ? g6(point.frequency) + QStringLiteral(" MHz") : passLabel(point);
    const double x = overPass ? point.pass : point.frequency;
    const int colorPass = overPass ? 1 : point.pass;
    if (point.spur) {
        append(curve(QStringLiteral("carrier ") + group, QStringLiteral("Carrier, ") + label, QwtPlot::yLeft,
                     2 * (colorPass - 1)),
               x, point.carrierLevel);
        if (point.hasSpur)
            append(curve(QStringLiteral("spur ") + group, QStringLiteral("Strongest spur, ") + label,
                         QwtPlot::yRight, 2 * (colorPass - 1) + 1),
                   x, point.spurLevel);
    } else {
        append(curve(QStringLiteral("reading ") + group, QStringLiteral("Reading, ") + label, QwtPlot::yLeft,
                     colorPass - 1),
               x, point.reading);
        if (point.fetched)
            append(curve(QStringLiteral("own ") + group, QStringLiteral("Synthesizer output, ") + label,
                         QwtPlot::yLeft, colorPass + 3),
                   x, point.fetchedPower);
    }
    if (limits.present)
        drawLimits(point, group, label, x);
    markJudged(point, x);
    // Drawing costs only while someone looks.
    if (isVisible() && !replotSoon->isActive())
        replotSoon->start();
}

void MeasurementPlot::append(Curve &c, double x, double y)
{
    // A reading that was not a number is no point: drawn, it would stretch the axes or throw the
    // line off the canvas. The curve joins the points either side.
    if (!std::isfinite(x) || !std::isfinite(y))
        return;
    c.x.append(x);
    c.y.append(y);
    c.curve->setRawSamples(c.x.constData(), c.y.constData(), c.x.size());
    auto values = axisValues.find(c.axis);
    if (values == axisValues.end()) {
        axisValues.insert(c.axis, qMakePair(y, y));
    } else if (y < values->first || y > values->second) {
        values->first = qMin(values->first, y);
        values->second = qMax(values->second, y);
    } else {
        return;
    }
    keepMinimumSpan(c.axis);
}

void MeasurementPlot::keepMinimumSpan(int axis)
{
    const QPair<double, double> values = axisValues.value(axis);
    if (values.second - values.first >= minimumSpanDb) {
        plot->setAxisAutoScale(axis, true);
        return;
    }
    // Centred on the values, widened to whole ticks as the automatic scale would.
    const double centre = (values.first + values.second) / 2;
    double low = centre - minimumSpanDb / 2;
    double high = centre + minimumSpanDb / 2;
    double step = 0;
    plot->axisScaleEngine(axis)->autoScale(plot->axisMaxMajor(axis), low, high, step);
    plot->setAxisScale(axis, low, high, step);
}

MeasurementPlot::Nearest MeasurementPlot::nearest(const QPoint &canvasPosition) const
{
    Nearest found;
    double best = std::numeric_limits<double>::infinity();
    const QwtScaleMap xMap = plot->canvasMap(QwtPlot::xBottom);
    for (const QString &key : order) {
        const Curve &c = curves.find(key).value();
        if (!c.measured)
            continue;
        const QwtScaleMap yMap = plot->canvasMap(c.axis);
        for (int i = 0; i < c.x.size(); ++i) {
            const QPointF drawn(xMap.transform(c.x.at(i)), yMap.transform(c.y.at(i)));
            const QPointF apart = drawn - QPointF(canvasPosition);
            const double distance = QPointF::dotProduct(apart, apart);
            if (distance < best) {
                best = distance;
                found.curve = &c;
                found.index = i;
                found.position = drawn.toPoint();
            }
        }
    }
    return found;
}

QString MeasurementPlot::trackerText(const QPoint &canvasPosition) const
{
    const Nearest found = nearest(canvasPosition);
    if (!found.curve)
        return QString();
    const double x = found.curve->x.at(found.index);
    const double y = found.curve->y.at(found.index);
    const bool right = found.curve->axis == QwtPlot::yRight;
    const QString where = overPass ? QStringLiteral("pass ") + trimmed(x, 0) : trimmed(x, 6) + QStringLiteral(" MHz");
    return QStringLiteral("%1\n%2: %3 %4 (%5 axis)")
        .arg(found.curve->title, where, trimmed(y, 3), right ? QStringLiteral("dBc") : QStringLiteral("dBm"),
             right ? QStringLiteral("right") : QStringLiteral("left"));
}

QPoint MeasurementPlot::snappedPosition(const QPoint &canvasPosition) const
{
    const Nearest found = nearest(canvasPosition);
    return found.curve ? found.position : canvasPosition;
}

QString MeasurementPlot::proposedPath() const
{
    const QDateTime started = runStartedAt.isValid() ? runStartedAt : QDateTime::currentDateTime();
    const QString run = !runWorkbook.isEmpty() ? runWorkbook : runMeasurement;
    const QString name = (run.isEmpty() ? QStringLiteral("Plot") : run) + QLatin1Char(' ')
                         + started.toString(QStringLiteral("yyyy-MM-dd HH-mm")) + QStringLiteral(".png");
    return QDir(saveFolder).filePath(name);
}

void MeasurementPlot::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Points that came while the window was closed were not drawn.
    plot->replot();
}

QStringList MeasurementPlot::curveTitles() const
{
    QStringList titles;
    for (const QString &key : order)
        titles << curves.value(key).title;
    return titles;
}

QColor MeasurementPlot::curveColour(const QString &title) const
{
    for (const Curve &c : curves)
        if (c.title == title)
            return c.curve->symbol() ? c.curve->symbol()->brush().color() : c.curve->pen().color();
    return QColor();
}

QVector<QPointF> MeasurementPlot::curvePoints(const QString &title) const
{
    QVector<QPointF> points;
    for (const Curve &c : curves) {
        if (c.title != title)
            continue;
        for (int i = 0; i < c.x.size(); ++i)
            points.append(QPointF(c.x.at(i), c.y.at(i)));
    }
    return points;
}

QString MeasurementPlot::writePng(const QString &path)
{
    plot->replot();
    QImageWriter writer(path, "png");
    return writer.write(plot->grab().toImage()) ? QString() : writer.errorString();
}

void MeasurementPlot::render(QPainter *painter, const QRectF &rect)
{
    // The axes follow the points only as the plot is drawn.
    plot->replot();
    QwtPlotRenderer renderer;
    renderer.setDiscardFlags(QwtPlotRenderer::DiscardBackground | QwtPlotRenderer::DiscardCanvasFrame);
    renderer.render(plot, painter, rect);
}

bool MeasurementPlot::savePng(const QString &path)
{
    return writePng(path).isEmpty();
}

void MeasurementPlot::saveTo(const QString &chosenPath)
{
    const QString path = chosenPath.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)
                             ? chosenPath
                             : chosenPath + QStringLiteral(".png");
    const QString trouble = writePng(path);
    if (trouble.isEmpty()) {
        saveNote->setStyleSheet(QString());
        saveNote->setText(QStringLiteral("Plot saved to %1").arg(QDir::toNativeSeparators(path)));
    } else {
        saveNote->setStyleSheet(QStringLiteral("color: red;"));
        saveNote->setText(QStringLiteral("The plot cannot be saved to %1: %2").arg(QDir::toNativeSeparators(path), trouble));
    }
}

void MeasurementPlot::saveWithDialog()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save plot"), proposedPath(),
                                                      QStringLiteral("PNG images (*.png)"));
    if (!path.isEmpty())
        saveTo(path);
}
