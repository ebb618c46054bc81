#pragma once

#include "Limits.h"

#include <QString>
#include <QtGlobal>

// Judging measured values against a measurement's limits, and rolling the judgements of points
// up to passes, measurements and runs. Plain functions without I/O.
namespace Verdict {

// In the order of their weight: a roll-up is the heaviest of its parts. None: no limits.
enum class Grade { None, Pass, Marginal, NoReading, Fail, Incomplete };

// "PASS", "MARGINAL", "NO READING", "FAIL", "INCOMPLETE"; empty for None.
QString text(Grade grade);
// The grade a text names; None for anything else.
Grade fromText(const QString &text);

// The heavier of two grades, PASS < MARGINAL < NO READING < FAIL; None counts for nothing.
// Incomplete is a run's alone (see ofRun) and is never given to worst.
Grade worst(Grade a, Grade b);

// A run's grade from the roll-up of its points: Incomplete when it did not reach its end,
// unless it failed; None when the run has no limits; NoReading when it has limits but judged
// no point.
Grade ofRun(Grade points, bool reachedItsEnd, bool hasLimits);

// The level of the mask at the frequency; at a step, the stricter level (the lower of an upper
// mask, the higher of a lower one). NaN outside the mask or for an empty mask.
double levelAt(const LimitMask &mask, double frequency, bool upperMask);

// A number with at most these decimals and no trailing zeros, whatever the locale: "2000",
// "2000.125", "-1.48"; never "-0".
QString decimalText(double value, int decimals);

// A frequency in MHz as the operator reads it: "12,400", "1,000.5" (a comma between thousands,
// whatever the locale).
QString frequencyText(double mhz);

// What became of one point.
struct Judgement
{
    Grade grade = Grade::None;
    double margin = qQNaN(); // dB to the nearest limit, positive inside; NaN without a reading
    double upper = qQNaN();  // the limits at its frequency, absolute (dBm, or dBc for maxSpur)
    double lower = qQNaN();
    double spurLimit = qQNaN(); // spur: maxSpur at the carrier frequency, dBc
    double value = qQNaN();     // the value the nearest limit judged: a reading, a carrier or a spur level
    double limit = qQNaN();     // that limit
    QString failure;            // e.g. "above the upper limit"; empty unless Fail or NoReading
};

// A power point: the meter's reading (NaN: no reading) at the frequency, with the pass's output power.
Judgement judgePower(const MeasurementLimits &limits, double frequency, double outputPower, double reading);

// A spur point: the carrier's level (NaN: no reading) and the strongest spur in dBc, if any was
// found (a spur point without a carrier has no reading).
Judgement judgeSpur(const MeasurementLimits &limits, double frequency, double outputPower, double carrierLevel,
                    bool hasSpur, double spurLevel);

// Why the limits cannot judge a measurement from start to stop (MHz), or empty: a mask not in
// ascending order, one that does not cover the whole range (naming the range left uncovered),
// a lower mask above the upper one anywhere, a margin below 0, a mask for the other kind of
// measurement. Begins with the key and its place below "limits", e.g. "upper[3]: ...".
QString check(const MeasurementLimits &limits, bool spur, double start, double stop);

// The failed and marginal points of a pass, a measurement or a run as they come.
struct Tally
{
    struct Failure
    {
        int pass = 1;
        quint64 number = 1;
        double frequency = 0; // MHz
        Judgement judgement;
    };

    Grade grade = Grade::None;
    qint64 failed = 0;
    qint64 marginal = 0;
    qint64 unread = 0; // NO READING
    qint64 judged = 0;
    QVector<Failure> firstFailures; // the first ten failed points, in the order measured
    Failure worstFailure;           // the failed point furthest outside its limit; judged only if failed > 0
    // The failed points by what failed them ("above the upper limit", ...), in the order first seen.
    struct Kind
    {
        QString failure;
        qint64 count = 0;
    };
    QVector<Kind> failureKinds;

    void add(int pass, quint64 number, double frequency, const Judgement &judgement);
    // Counts the points of a tally measured after this one's, as if each had been added here.
    void merge(const Tally &later);
    // One line for the operator: "PASS", or "FAIL: 3 points above the upper limit, worst +0.8 dB
    // at 12,400 MHz"; empty without limits. See Verdict.cpp for the other grades' wording.
    QString summary() const;
};

} // namespace Verdict
