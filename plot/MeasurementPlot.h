#pragma once

#include "Limits.h"
#include "Verdict.h"

#include <QColor>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QWidget>

struct MeasuredPoint;
class QLabel;
class QPainter;
class QRectF;
class QwtPlot;
class QwtPlotCurve;
class QTimer;

// A window of its own with the live plot of a measurement: for the power measurement the reading
// over frequency, one curve per pass, and the synthesizer's own output reading when it is fetched;
// for the spur measurement the carrier level and the strongest spur relative to it; a run of one
// point per pass as one curve over the passes. It follows every point, scales its axes (never
// less than 1 dB), shows the measured point nearest the pointer and saves itself as PNG. With
// limits it draws their masks (the margins dashed), marks failed points red and marginal ones
// amber, and shows the run's verdict large above the plot.
class MeasurementPlot : public QWidget
{
    Q_OBJECT

public:
    explicit MeasurementPlot(QWidget *parent = nullptr);

    // Titles of the curves, in the order they were made, and the points each holds.
    QStringList curveTitles() const;
    QVector<QPointF> curvePoints(const QString &title) const;
    bool savePng(const QString &path);
    // Draws the plot with its axes and legend into a rectangle of the painter's device, as lines
    // and text: vector graphics on a PDF or SVG device. Needs no display and no showing.
    void render(QPainter *painter, const QRectF &rect);
    // Saves to the path, with ".png" added unless it ends so, and says under the plot whether
    // the image was saved.
    void saveTo(const QString &chosenPath);
    // The folder "Save PNG…" opens in: the workbooks'.
    void setFolder(const QString &folder) { saveFolder = folder; }
    // The file "Save PNG…" proposes: the run's first workbook and the minute the run started,
    // in that folder ("Table -5 dBm 2026-12-08 10-32.png").
    QString proposedPath() const;
    // What the tracker shows with the pointer at this point of the canvas: the nearest measured
    // point's curve, its frequency (or pass) and its value in the unit of its curve's axis;
    // empty when no point is drawn.
    QString trackerText(const QPoint &canvasPosition) const;
    // Where on the canvas that point is drawn; the pointer's position when there is none.
    QPoint snappedPosition(const QPoint &canvasPosition) const;
    // The colour a curve draws its points in (its line's, for a curve without marks).
    QColor curveColour(const QString &title) const;

    // The limits the next run's points are judged against, drawn over its range (MHz); limits
    // relative to the output power are drawn once per pass, at that pass's power.
    void setLimits(const MeasurementLimits &limits, double start, double stop);
    // The run's verdict, large and in its grade's colour; an empty text hides it.
    void setVerdict(Verdict::Grade grade, const QString &text);
    QString verdictText() const;

public slots:
    // A new run starts with empty curves; with one point per pass they are drawn over the pass.
    void runStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    // Empty curves, drawn over frequency.
    void clear();
    void addPoint(const MeasuredPoint &point);

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct Curve
    {
        QString title;
        QwtPlotCurve *curve = nullptr;
        int axis = 0;
        bool measured = true; // false: a limit or a mark, which the tracker passes over
        // The curve draws straight from these, without a copy per point.
        QVector<double> x;
        QVector<double> y;
    };
    void removeCurves();
    void setOverPass(bool on);
    QString passLabel(const MeasuredPoint &point);
    void append(Curve &curve, double x, double y);
    // The axis shows at least 1 dB around its values: a rounding step of 0.01 dB drawn over the
    // full height would look like a cliff.
    void keepMinimumSpan(int axis);
    struct Nearest
    {
        const Curve *curve = nullptr;
        int index = -1;
        QPoint position;
    };
    Nearest nearest(const QPoint &canvasPosition) const;
    Curve &curve(const QString &key, const QString &title, int axis, int colorIndex);
    Curve &guide(const QString &key, const QString &title, int axis, const QPen &pen);
    void drawLimits(const MeasuredPoint &point, const QString &group, const QString &label, double x);
    void markJudged(const MeasuredPoint &point, double x);
    QString writePng(const QString &path);
    void saveWithDialog();

    QwtPlot *plot = nullptr;
    QLabel *saveNote = nullptr;
    QLabel *verdictLabel = nullptr;
    QMap<QString, Curve> curves; // by kind and pass, or kind and frequency over the passes
    QStringList order;           // keys of curves, in the order they were made
    QHash<QString, int> firstPassAtPower;
    bool spurMode = false;
    bool overPass = false;
    QTimer *replotSoon = nullptr;
    // The values drawn on each y axis, lowest and highest.
    QMap<int, QPair<double, double>> axisValues;
    QString saveFolder;
    QString runMeasurement;
    QString runWorkbook;    // of the run's first point
    QDateTime runStartedAt;
    MeasurementLimits limits;
    double limitsFrom = 0; // MHz
    double limitsTo = 0;
};
