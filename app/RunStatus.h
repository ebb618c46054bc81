#pragma once

#include "RunProgress.h"

#include <QElapsedTimer>
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
    bool isRunning() const { return progress.isRunning(); }

    // m:ss, or h:mm:ss from an hour on.
    static QString duration(qint64 ms) { return RunProgress::duration(ms); }

public slots:
    void runStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    void passStarted(int pass, int passes);
    void pointMeasured(const MeasuredPoint &point);
    void runEnded(bool stopped);
    void instrumentTrouble(const QString &instrument, const QString &trouble);

private:
    void refresh();

    QStatusBar *bar = nullptr;
    QLabel *label = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *troubleLabel = nullptr;
    QElapsedTimer clock;
    RunProgress progress;
};
