#pragma once

#include "BenchSetup.h"
#include "SetupCorrections.h"
#include "RunJudgement.h"
#include "RunProgress.h"
#include "TroubleFlood.h"
#include "StoreFile.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

class DevicesWork;
class QThread;
struct MeasuredPoint;

// Runs a setup's measurements without the window: connects the instruments it names, runs each
// measurement through the worker exactly as the window's buttons would, reports progress and
// troubles on the console and disconnects at the end.
class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    // Exit codes of "rfbench run".
    enum Outcome {
        Finished = 0,
        Failed = 1,      // the run could not be started (a data folder or trace file not writable)
        BadSetup = 2,    // the command line or the setup is wrong
        Unreachable = 3, // an instrument could not be reached
        Stopped = 4,     // stopped by Ctrl-C or SIGTERM
        RowsNotSaved = 5, // rows could not be saved to their workbooks
        LinkLost = 6,     // an instrument's connection was lost after it was made
        NotPassed = 7     // the unit did not pass: a limit failed, or, short of the above, a point had no reading
    };

    struct Options
    {
        QString setupName;         // named in messages and in the JSON summary
        QString workbookFolder;
        QString storePath;         // the results store; empty: none
        StoreFile::NamedBy storeNamedBy = StoreFile::NamedBy::User;
        QString station;           // the runs' station in it; empty: the host name
        qint64 resumeRun = 0;      // a stopped or interrupted run to go on with, from this pass and point
        int resumePass = 1;
        quint64 resumePoint = 0;
        bool json = false;         // one JSON object on standard output at the end
        bool terminal = false;     // standard error is a terminal: one status line redrawn in place
        int connectTimeoutMs = 3000;
        QString unit;              // the unit's serial number; empty: none given
        QString operatorName;      // who measures
        SetupCorrections::Loaded corrections; // the setup's tables, read and checked
    };

    HeadlessRun(const BenchSetup &setup, const Options &options, FILE *out, FILE *err,
                QObject *parent = nullptr);
    ~HeadlessRun() override;

    // Runs everything and returns the exit code; needs a QCoreApplication.
    int exec();
    // After exec(): the verdicts as JUnit XML, one test suite per measurement of the setup.
    QByteArray junitReport() const;
    // After exec(): the results store's runs it recorded, by their ids there, one per
    // measurement begun (the run resumed alone when resuming); none when the store lacks some
    // of their points.
    QList<qint64> recordedRuns() const { return storeRuns; }
    // After exec(): when its first measurement began; invalid when none did.
    QDateTime started() const { return finished.isEmpty() ? QDateTime() : finished.first().started; }

public slots:
    // As the window's Stop button: the measurement under way ends after its point, and no
    // further measurement of the sequence starts.
    void requestStop();

signals:
    // A stop was requested; a wait for a connection ends at once.
    void stopping();

private:
    struct Workbook
    {
        QString name;
        int rows = 0;      // measured for it
        int notSaved = 0;  // of them, the rows that never reached it
        QString savedTo;   // where those went instead; empty: lost
    };
    struct MeasurementDone
    {
        QString kind;
        QString measurement;
        quint64 points = 0;    // measured by this process
        quint64 runPoints = 0; // the run's, with those of the earlier process of a resumed run
        quint64 withoutReading = 0;
        int passes = 0;
        bool stopped = false;
        qint64 elapsedMs = 0;
        QMap<QString, int> troubles;
        int index = 0;          // in the setup's measurements
        QDateTime started;
        RunJudgement judgement; // limits not present: no verdict
    };
    // The verdict of everything run: every measurement with limits, each to its end or not.
    struct Overall
    {
        bool hasLimits = false;
        Verdict::Grade grade = Verdict::Grade::None;
        Verdict::Tally tally; // its grade the points' roll-up
        QString summary() const;
    };
    Overall overall() const;
    // measurements[1] (spur), as messages name a measurement of the setup.
    QString measurementName(int index) const;

    bool connectInstruments();
    // Makes the request and waits for the worker's signal, for at most timeoutMs (0: no limit);
    // a wait with a limit also ends when a stop is requested. *failed: the port did not open.
    template <typename Signal>
    bool waitFor(const std::function<void()> &request, Signal signal, int timeoutMs, bool *failed = nullptr);
    void runMeasurement(int index);
    void disconnectInstruments();
    void settleWaitingRows();
    void shutDownWorker();

    void onRunStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    void onPassStarted(int pass, int passes);
    void onPoint(const MeasuredPoint &point);
    void onRunEnded(bool stopped);
    void onTrouble(const QString &instrument, const QString &trouble);
    // The last line of each trouble whose count standard error has not told yet.
    void sayUnsaidCounts();
    void note(const QString &line);
    void drawStatus();
    void printSummary(int code, const QString &why);

    BenchSetup setup;
    Options options;
    FILE *out;
    FILE *err;
    DevicesWork *worker = nullptr;
    QThread *workerThread = nullptr;
    RunProgress progress;
    QElapsedTimer runClock;
    QElapsedTimer totalClock;
    qint64 lastDraw = -1000;
    bool statusShown = false;
    bool stopRequested = false;
    QString refusedResume; // why the run resumed could not go on
    bool stopAnnounced = false;
    bool synthesizerConnected = false;
    bool powerMeterConnected = false;
    bool analyzerConnected = false;
    QList<MeasurementDone> finished;
    QList<qint64> storeRuns;
    RunJudgement lastJudgement; // of the measurement that just ended
    QDateTime runStartedAt;
    // The sequence's measurements that a stop kept from starting, "measurements[1] (spur)".
    QStringList notStarted;
    QList<Workbook> workbooks;
    QStringList unsaved; // lines naming rows that could not be saved
    QStringList warnings; // said at the start of the measurements
    QString lostLink; // the instrument whose connection was lost after it was made
    bool savingElsewhere = false; // the rows that wait go to the temporary folder
    QMap<QString, QString> recoveredNames; // workbook -> the "(recovered)" one holding its rows
    struct Flood
    {
        TroubleFlood::State state;
        QString line; // the trouble's line with its latest count
    };
    QMap<QString, Flood> floods; // "Instrument: trouble" -> its course on standard error
};
