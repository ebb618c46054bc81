#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <memory>

// One measured point as the store keeps it: where its row goes and every value of that row, so
// that a row that never reached its workbook can be written from the store alone.
struct StoredPoint
{
    enum class Row { Sweep, Step, Spur }; // the report writer's row kinds

    qint64 id = 0;      // given by the store
    qint64 run = 0;
    int pass = 1;       // from 1
    quint64 number = 1; // within its pass, from 1
    QDateTime measuredAt;
    Row row = Row::Sweep;
    QString workbook;   // base name, as the report writer takes it
    quint64 pointIndex = 0; // the report writer's index: 0 opens the run's part of the workbook
    // Sweep: frequency, reading, synthesizer's power, temperature; Step: frequency, reading,
    // output power, synthesizer's power, temperature; Spur: span, bandwidth. NaN: no value.
    QVector<double> values;
    QVector<double> peakFrequencies; // spur rows: Hz, the carrier first
    QVector<double> peakLevels;      // spur rows: dBm
    bool inWorkbook = false;
    QString savedIn; // the workbook that holds its row: its own or its "(recovered)" one
    // Where its row was to stand when it was last saved: empty when never recorded.
    QString placedPath;
    QString placedSheet;
    int placedRow = 0;
    QString dataFolder; // its run's, where its workbook is; empty for runs recorded without one
    // Judged against its measurement's limits: "PASS", "MARGINAL", "NO READING", "FAIL"; empty
    // when its run has no limits.
    QString verdict;
    double limitMargin = qQNaN(); // dB to the nearest limit, positive inside
    double limitUpper = qQNaN();  // the limits at its frequency, absolute: dBm (power: the reading; spur: the carrier)
    double limitLower = qQNaN();
    double limitSpur = qQNaN();   // spur: the highest spur allowed there, dBc
    // The path loss added to the reading (power rows), dB; NaN: no table on its path. The
    // values above stay the meter's own.
    double correction = qQNaN();
    QVector<double> peakCorrections; // spur rows: the loss added to each peak's level, dB; empty: none
};

// A correction table as a run used it, whole, so that a file changed later changes nothing of
// the run's record.
struct RecordedTable
{
    QString path;          // "powerMeter.A", "powerMeter.B", "analyzer"
    QString source;        // the file as the setup names it, or "inline"
    QByteArray text;       // its bytes as read
    QString sha256;        // of text, lower-case hex
    QDate due;             // null: the file gives none
    QString interpolation; // "linear" or "log"
    QString beyond;        // "refuse" or "hold"
};

// What the store keeps of a run when it starts.
struct RunStart
{
    QString station;  // host name, or the name set in the settings
    QString user;
    QString version;  // of this program
    QDateTime started;
    QString measurement;      // "power" or "spur"
    QByteArray setup;         // the whole setup, in the setup file's format
    QString instruments;      // transports and addresses, one line each
    QString identities;       // the instruments' *IDN? answers, when asked; one line each
    QString note;             // a remark of the run's start, e.g. "RF output is off"
    QString dataFolder;       // where its workbooks are, absolute
    QString unit;             // the serial number of the unit under test; empty: none given
    QString operatorName;     // who measured; empty: none given
    QList<RecordedTable> tables; // the correction tables its values were corrected with
};

// A run's verdict as it stands: written as its points are judged and at its end.
struct RunVerdict
{
    QString verdict;     // "PASS", "MARGINAL", "NO READING", "FAIL", "INCOMPLETE"; empty: no limits
    qint64 failed = 0;   // points
    qint64 marginal = 0;
    qint64 unread = 0;

    bool operator==(const RunVerdict &other) const
    {
        return verdict == other.verdict && failed == other.failed && marginal == other.marginal
               && unread == other.unread;
    }
    bool operator!=(const RunVerdict &other) const { return !(*this == other); }
};

// A run as lists show it.
struct RunSummary
{
    qint64 id = 0;
    QString station;
    QString user;
    QString version;
    QDateTime started;
    QDateTime ended;      // null while it runs or when it was interrupted
    QString measurement;
    QString outcome;      // "running", "finished", "stopped", "interrupted", "failed"
    qint64 points = 0;
    int passes = 0;
    int troubles = 0;
    QStringList workbooks;
    QByteArray setup;
    QString instruments;
    QString identities;
    QString note;
    // On a results server: the run's id in its station's local store, and that store's identity.
    // In a local store: its own id and identity.
    qint64 localId = 0;
    QString store;
    QString dataFolder; // where its workbooks are; empty when not recorded (and on a server)
    QString unit;
    QString operatorName;
    // Empty for a run without limits. A run that did not reach its end (stopped, failed,
    // interrupted) reads "INCOMPLETE" unless it failed; a run still running reads its verdict so far.
    RunVerdict verdict;
    QList<RecordedTable> tables; // filled by run(id) alone; lists leave it empty
};

struct RunTrouble
{
    QDateTime when;
    QString instrument;
    QString text;
};

struct RunFilter
{
    QDateTime since;  // null: any
    QString text;     // matched in the measurement, workbooks, setup, station, outcome, unit, operator; empty: any
    QString station;  // runs of this station alone; empty: any
    QString unit;     // runs of this unit's serial alone, whole and as recorded (case counts); empty: any
    QString verdict;  // runs of this verdict alone ("PASS", ...), as RunSummary shows it; empty: any
    int limit = 0;    // 0: all; newest first
};

// One pass of a run as the store keeps it.
struct StoredPass
{
    int pass = 1;
    double outputPower = qQNaN();
    QDateTime started;
};

// The runs the front ends list and show: those of a local results store, or of every station on a
// shared results server. Read only; used from the thread that opened it.
class RunHistory
{
public:
    virtual ~RunHistory() = default;

    // A local store's file, or a server's address as "postgresql://user@host/database". Defined
    // with the server's reader (store/server), the library that knows both kinds.
    static std::unique_ptr<RunHistory> open(const QString &store);

    // Empty while it can be read; otherwise why not.
    virtual QString problem() const = 0;
    // Where the runs are, for messages: the store's file or the server's address.
    virtual QString where() const = 0;
    // False on a server, which is not told whether a point's row reached its workbook.
    virtual bool knowsWorkbookRows() const = 0;

    virtual QList<RunSummary> runs(const RunFilter &filter) = 0;
    // The run, or a summary with id 0 when there is none.
    virtual RunSummary run(qint64 id) = 0;
    virtual QList<StoredPoint> points(qint64 run) = 0;
    virtual QList<RunTrouble> troubles(qint64 run) = 0;
    // In the order begun: a pass that a resumed run began again is there twice.
    virtual QList<StoredPass> passes(qint64 run) = 0;
    // Every station with a run, in name order.
    virtual QStringList stations() = 0;

protected:
    // A LIKE pattern that finds text as it is, "%" and "_" included; backslash escapes.
    static QString likePattern(const QString &text);
};
