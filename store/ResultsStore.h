#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVector>
#include <QtGlobal>

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
    QString text;     // matched in the measurement, workbooks, setup, station, outcome; empty: any
    int limit = 0;    // 0: all; newest first
};

// The results store: every run with its setup, its points and its troubles. Written only from
// the worker's thread; a write that fails never stops a measurement, it sets problem().
class ResultsStore
{
public:
    virtual ~ResultsStore() = default;

    // Empty while the store is written; otherwise why not ("disk full", "read-only", ...).
    virtual QString problem() const = 0;

    // Each returns the new id, or 0 when it could not be written.
    virtual qint64 beginRun(const RunStart &run) = 0;
    // Committed before it returns: a kill after it loses nothing of the point.
    virtual qint64 addPoint(const StoredPoint &point) = 0;
    virtual void addPass(qint64 run, int pass, double outputPower, const QDateTime &started) = 0;
    virtual void addTrouble(qint64 run, const RunTrouble &trouble) = 0;
    // The rows of these points are in the named workbook (their own, or its "(recovered)" one).
    virtual void markInWorkbook(const QList<qint64> &points, const QString &workbook) = 0;
    // outcome: "finished", "stopped" or "failed"; a run never ended reads as "interrupted".
    virtual void endRun(qint64 run, const QString &outcome, const QDateTime &ended) = 0;
    // A resumed run runs again: its outcome goes back to "running".
    virtual void reopenRun(qint64 run) = 0;

    // Points whose rows are not in their workbook, oldest first (a kill while rows waited).
    virtual QList<StoredPoint> pointsNotInWorkbook() = 0;

    virtual QList<RunSummary> runs(const RunFilter &filter) = 0;
    // The run, or a summary with id 0 when there is none.
    virtual RunSummary run(qint64 id) = 0;
    virtual QList<StoredPoint> points(qint64 run) = 0;
    virtual QList<RunTrouble> troubles(qint64 run) = 0;
};
