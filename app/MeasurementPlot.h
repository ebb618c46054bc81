#pragma once

#include <QHash>
#include <QMap>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QWidget>

struct MeasuredPoint;
class QLabel;
class QwtPlot;
class QwtPlotCurve;
class QTimer;

// A window of its own with the live plot of a measurement: for the power measurement the reading
// over frequency, one curve per pass, and the synthesizer's own output reading when it is fetched;
// for the spur measurement the carrier level and the strongest spur relative to it; a run of one
// point per pass as one curve over the passes. It follows every point, scales its axes, shows the
// values under the pointer and saves itself as PNG.
class MeasurementPlot : public QWidget
{
    Q_OBJECT

public:
    explicit MeasurementPlot(QWidget *parent = nullptr);

    // Titles of the curves, in the order they were made, and the points each holds.
    QStringList curveTitles() const;
    QVector<QPointF> curvePoints(const QString &title) const;
    bool savePng(const QString &path);
    // Saves to the path, with ".png" added unless it ends so, and says under the plot whether
    // the image was saved.
    void saveTo(const QString &chosenPath);

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
        // The curve draws straight from these, without a copy per point.
        QVector<double> x;
        QVector<double> y;
    };
    void removeCurves();
    void setOverPass(bool on);
    QString passLabel(const MeasuredPoint &point);
    void append(Curve &curve, double x, double y);
    Curve &curve(const QString &key, const QString &title, int axis, int colorIndex);
    QString writePng(const QString &path);
    void saveWithDialog();

    QwtPlot *plot = nullptr;
    QLabel *saveNote = nullptr;
    QMap<QString, Curve> curves; // by kind and pass, or kind and frequency over the passes
    QStringList order;           // keys of curves, in the order they were made
    QHash<QString, int> firstPassAtPower;
    bool spurMode = false;
    bool overPass = false;
    QTimer *replotSoon = nullptr;
};
