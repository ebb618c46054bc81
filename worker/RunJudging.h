#pragma once

#include "RunJudgement.h"

#include <QList>

struct FrequencyGrid;
struct StoredPass;
struct StoredPoint;

// Judges each point of a run against its measurement's limits as it is measured, and keeps the
// tallies of the run and of its passes. Without limits every judgement is of grade None and
// nothing is counted.
class RunJudging
{
public:
    // A run begins: its limits, its kind and the points of one of its passes.
    void begin(const MeasurementLimits &limits, bool spur, quint64 pointsPerPass);
    // A pass begins (or a resumed one goes on) at this output power.
    void pass(int pass, double outputPower, int passesExpected);

    // A point judged and counted. atFrequency false: the synthesizer's link was lost before it,
    // so whatever was read is not at the point's frequency, which makes it NO READING.
    Verdict::Judgement power(int pass, quint64 number, double frequency, double outputPower, double reading,
                             bool atFrequency);
    Verdict::Judgement spur(int pass, quint64 number, double frequency, double outputPower, double carrierLevel,
                            bool hasSpur, double spurLevel, bool atFrequency);

    // The points an earlier process measured of a resumed run, judged again from the values the
    // store keeps, at the frequencies of the run's grid and the output powers of their passes.
    // recordedUnread: the run's count of points without a reading as recorded, which holds
    // those that left no point in the store.
    void earlier(const QList<StoredPoint> &points, const QList<StoredPass> &passes, const FrequencyGrid &grid,
                 qint64 recordedUnread);

    // The run as it stands, its grade not yet given.
    const RunJudgement &standing() const { return run; }
    // The run as it ends.
    RunJudgement end(bool reachedItsEnd) const;

private:
    Verdict::Judgement counted(int pass, quint64 number, double frequency, Verdict::Judgement judgement,
                               bool atFrequency);

    RunJudgement run;
};
