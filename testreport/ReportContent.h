#pragma once

#include "Limits.h"
#include "MeasuredPoint.h"
#include "Verdict.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

struct RunSummary;
struct RunTrouble;
struct StoredPass;
struct StoredPoint;

// What a test report says of its runs, as text and numbers, before it is laid out on pages or
// in HTML. Plain functions without I/O, so that the same record always makes the same report.
namespace ReportContent {

using Facts = QVector<QPair<QString, QString>>; // label, value

struct Table
{
    QString title;
    QStringList columns;
    QVector<bool> numeric;        // per column: numbers, aligned right
    QVector<QStringList> rows;
    QVector<Verdict::Grade> grades; // per row: the colour it is marked in; None: unmarked
    QString empty;                // said in place of a table without rows
};

// One run: one measurement, with its plot.
struct Section
{
    QString title;   // "Run 12: power over frequency"
    Facts facts;
    Verdict::Grade grade = Verdict::Grade::None; // None: the run has no limits
    QString verdictLine; // "FAIL: 3 points above the upper limit, worst ..."
    // What the plot draws: the points as the window drew them live, with the run's limits.
    QString measurement; // "power" or "spur"
    MeasurementLimits limits;
    double start = 0; // MHz, the range the limits are drawn over
    double stop = 0;
    quint64 pointsPerPass = 0;
    int passes = 0;
    QVector<MeasuredPoint> plotted;
    QVector<Table> tables; // the points that did not pass, every point, the troubles
};

struct Report
{
    QString title;   // "Test report: unit SN0042"
    Facts facts;     // of every run: unit, operator, station
    Verdict::Grade grade = Verdict::Grade::None; // the runs' together
    QString verdictWord; // "PASS", ...; empty when no run has limits
    QString verdictLine; // the run's line, for a report of one run
    QVector<Section> sections;
};

// One run as its record holds it.
Section section(const RunSummary &run, const QList<StoredPoint> &points, const QList<StoredPass> &passes,
                const QList<RunTrouble> &troubles);
// The report of these runs, in the order given.
Report report(const QVector<Section> &sections, const QList<RunSummary> &runs);

// Numbers as the report prints them, whatever the locale: fixed decimals ("-12.345"), a sign
// where asked ("+0.800"), a dash for no value.
QString number(double value, int decimals, bool sign = false);
// A time in UTC, "2026-12-09 10:32:05 UTC"; a dash for none.
QString utc(const QDateTime &time);

} // namespace ReportContent
