#pragma once

#include <QMap>
#include <QPointF>
#include <QString>
#include <QVector>
#include <QWidget>

struct MeasuredPoint;
class QwtPlot;
class QwtPlotCurve;
class QTimer;

// A window of its own with the live plot of a measurement: for the power measurement the reading
// over frequency, one curve per pass, and the synthesizer's own output reading when it is fetched;
// for the spur measurement the carrier level and the strongest spur relative to it. It follows
// every point, scales its axes, shows the values under the pointer and saves itself as PNG.
class MeasurementPlot : public QWidget
{
    Q_OBJECT

public:
    explicit MeasurementPlot(QWidget *parent = nullptr);

    // Titles of the curves, in the order they were made, and the points each holds.
    QStringList curveTitles() const;
    QVector<QPointF> curvePoints(const QString &title) const;
    bool savePng(const QString &path);

public slots:
    // A new run starts with empty curves.
    void clear();
    void addPoint(const MeasuredPoint &point);

private:
    struct Curve
    {
        QwtPlotCurve *curve = nullptr;
        // The curve draws straight from these, without a copy per point.
        QVector<double> x;
        QVector<double> y;
    };
    void append(Curve &curve, double x, double y);
    Curve &curve(const QString &title, int axis, int colorIndex);
    void saveWithDialog();

    QwtPlot *plot = nullptr;
    QMap<QString, Curve> curves;
    QStringList order;
    bool spurMode = false;
    QTimer *replotSoon = nullptr;
};
