#pragma once

#include "RunProgress.h"
#include "RunJudgement.h"
#include "Verdict.h"

#include <QColor>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

struct MeasuredPoint;
class QLabel;
class QProgressBar;
class QStatusBar;

// The status bar's account of a measurement: which one runs, point k of n, pass p of P, time
// elapsed and an estimate of the time left, a progress bar, and the troubles the instrument links
// report, counted per instrument; a warning of the run's start in red; a summary when the run
// ends. A run judged against limits shows its failed points as they come and its verdict at its
// end, in the verdict's colour.
class RunStatus : public QObject
{
    Q_OBJECT

public:
    explicit RunStatus(QStatusBar *statusBar);

    QString progressText() const;
    QString troubleText() const;
    // The run's warnings as the status bar shows them during the run; empty when none is shown.
    QString warningText() const;
    int progressValue() const;   // per mille of the run
    bool progressShown() const;
    bool isRunning() const { return progress.isRunning(); }

    // The next run is judged: its points carry their judgements. Set before it starts.
    void setJudging(bool on) { judging = on; }
    // The verdict of the run that ended last, and its line ("FAIL: 3 points above the upper
    // limit, worst +0.8 dB at 12,400 MHz"); None and empty for a run without limits.
    Verdict::Grade verdict() const { return runVerdict; }
    QString verdictText() const;

    // m:ss, or h:mm:ss from an hour on.
    static QString duration(qint64 ms) { return RunProgress::duration(ms); }

    // The clock the run's times are read from, in ms; a monotonic clock unless tests set theirs.
    void setClock(std::function<qint64()> clock);

public slots:
    void runStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    void passStarted(int pass, int passes);
    void pointMeasured(const MeasuredPoint &point);
    void pointWithoutReading(int pass, quint64 number);
    // The run's verdict as the worker gave it at its end, just before runEnded.
    void runJudged(const RunJudgement &judgement);
    void runEnded(bool stopped);
    void instrumentTrouble(const QString &instrument, const QString &trouble);
    void runWarning(const QString &text);
    void analyzerSettling(bool settling);

private:
    void refresh();
    void showVerdict(const QString &text, const QColor &colour);
    qint64 elapsed() const { return now() - startedAt; }

    QStatusBar *bar = nullptr;
    QLabel *label = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *troubleLabel = nullptr;
    QLabel *warningLabel = nullptr;
    QLabel *verdictLabel = nullptr;
    QElapsedTimer monotonic;
    std::function<qint64()> now;
    qint64 startedAt = 0;
    RunProgress progress;
    bool judging = false;
    Verdict::Tally tally;
    Verdict::Grade runVerdict = Verdict::Grade::None;
};
