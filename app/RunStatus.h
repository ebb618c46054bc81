#pragma once

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>

struct MeasuredPoint;
class QLabel;
class QProgressBar;
class QStatusBar;

// The status bar's account of a measurement: which one runs, point k of n, pass p of P, time
// elapsed and an estimate of the time left, a progress bar, and the troubles the instrument links
// report, counted per instrument; a summary when the run ends.
class RunStatus : public QObject
{
    Q_OBJECT

public:
    explicit RunStatus(QStatusBar *statusBar);

    QString progressText() const;
    QString troubleText() const;
    int progressValue() const;   // per mille of the run
    bool progressShown() const;

    // m:ss, or h:mm:ss from an hour on.
    static QString duration(qint64 ms);

public slots:
    void runStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    void passStarted(int pass, int passes);
    void pointMeasured(const MeasuredPoint &point);
    void runEnded(bool stopped);
    void instrumentTrouble(const QString &instrument, const QString &trouble);

private:
    void refresh();
    quint64 done() const;

    QStatusBar *bar = nullptr;
    QLabel *label = nullptr;
    QProgressBar *progress = nullptr;
    QLabel *troubleLabel = nullptr;
    QElapsedTimer clock;
    QString measurement;
    quint64 pointsPerPass = 0;
    int passes = 0;
    int pass = 0;
    quint64 point = 0;
    bool running = false;
    QMap<QString, int> troubles;        // "Instrument: trouble" -> times in this run
    QMap<QString, int> troublesPerLink; // instrument -> troubles in this run
};
