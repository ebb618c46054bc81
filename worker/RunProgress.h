#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

struct MeasuredPoint;

// The wording of a measurement's course, shared by the window's status bar and the command
// line: point k of n, pass p of P, time elapsed and left, the troubles counted per instrument,
// and the summary at the end. Free of widgets and of the clock: callers pass the elapsed time.
class RunProgress
{
public:
    void runStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    void passStarted(int pass, int passes);
    void pointMeasured(const MeasuredPoint &point);
    // A point that gave no row counts among the points, and apart as one without a reading.
    void pointWithoutReading(int pass, quint64 number);
    // The trouble's line as it should be shown: "Power meter: no answer to FETC?", with
    // " — 3 times in this run" from its second time on.
    QString trouble(const QString &instrument, const QString &trouble);
    void runEnded(bool stopped) { running = false; wasStopped = stopped; settlingSince = -1; }
    // A warning of the run's start ("RF output is off: readings are noise"), repeated in the
    // summary.
    void warning(const QString &text);
    // The analyzer's settling at a pass's first point: shown in place of the point, and left out
    // of the time per point, which alone would make a short run announce several times its
    // length; the estimate adds the settling once for each pass still to come.
    void settlingStarted(qint64 elapsedMs);
    void settlingEnded(qint64 elapsedMs);

    // "Power measurement: point 12 of 400, pass 2 of 3 · 0:03 elapsed · about 1:40 left"; while
    // the analyzer settles "Spur measurement: adjusting the analyzer… · 0:03 elapsed".
    QString progressText(qint64 elapsedMs) const;
    // The same for little room: "point 12 of 400, pass 2 of 3 · 1:40 left".
    QString compactProgressText(qint64 elapsedMs) const;
    // The time left, -1 when it cannot be told yet.
    qint64 leftMs(qint64 elapsedMs) const;
    // "Power measurement finished: 50 points in 1:12; RF output is off: readings are noise; Power
    // meter: 3 troubles", with "3 points, 1 without a reading, in 0:07" when points gave no row.
    QString summary(qint64 elapsedMs) const;
    int perMille() const;

    bool isRunning() const { return running; }
    bool stopped() const { return wasStopped; }
    QString measurement() const { return name; }
    // Points measured in the run, over every pass.
    quint64 done() const;
    // Those of them measured since runStarted: a resumed run's own from an earlier process not.
    quint64 measuredHere() const { return pointSeen ? done() - doneBefore : 0; }
    // Points of the run in this process that gave no row.
    quint64 withoutReading() const { return unread; }
    int pass() const { return currentPass; }
    // Every trouble of the run ("Instrument: trouble") with the times it happened.
    const QMap<QString, int> &troubles() const { return troubleTimes; }
    // Troubles of the run per instrument.
    const QMap<QString, int> &troublesPerInstrument() const { return troublesPerLink; }
    const QStringList &warnings() const { return runWarnings; }
    bool settling() const { return settlingSince >= 0; }

    // m:ss, or h:mm:ss from an hour on.
    static QString duration(qint64 ms);

private:
    quint64 total() const;
    // "point 12 of 400, pass 2 of 3", or "adjusting the analyzer…".
    QString position() const;
    void reached(int pass, quint64 number);

    QString name;
    quint64 pointsPerPass = 0;
    int passes = 0;
    int currentPass = 0;
    quint64 point = 0;
    quint64 unread = 0;
    bool running = false;
    bool wasStopped = false;
    QMap<QString, int> troubleTimes;
    QMap<QString, int> troublesPerLink;
    QStringList runWarnings;
    bool pointSeen = false; // the run's first point in this process has come
    quint64 doneBefore = 0; // points of the run measured before it (a resumed run's)
    qint64 settlingSince = -1; // elapsed time the settling under way began at; -1: none
    qint64 settledMs = 0;      // time of the settlings that have ended
    int settlings = 0;         // and their number
};
