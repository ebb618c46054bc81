#include "RunJudging.h"

#include "FrequencyGrid.h"
#include "PathLoss.h"
#include "RunHistory.h"
#include "SpurEvaluation.h"

#include <QMap>

#include <cmath>

QString RunJudgement::summary() const
{
    Verdict::Tally shown = tally;
    shown.grade = grade;
    return shown.summary();
}

void RunJudging::begin(const MeasurementLimits &limits, bool spur, quint64 pointsPerPass)
{
    run = RunJudgement();
    run.limits = limits;
    run.spur = spur;
    run.pointsPerPass = pointsPerPass;
}

void RunJudging::pass(int pass, double outputPower, int passesExpected)
{
    run.passesExpected = passesExpected;
    // A resumed pass goes on in the entry its earlier points made.
    if (run.passes.isEmpty() || run.passes.last().pass != pass)
        run.passes.append(RunJudgement::Pass{pass, outputPower, 0, Verdict::Tally()});
}

Verdict::Judgement RunJudging::counted(int pass, quint64 number, double frequency, Verdict::Judgement judgement,
                                       bool atFrequency)
{
    if (!run.limits.present)
        return judgement;
    if (!atFrequency) {
        judgement.grade = Verdict::Grade::NoReading;
        judgement.margin = qQNaN();
        judgement.failure = QStringLiteral("not at its frequency: the synthesizer's connection was lost");
    }
    run.tally.add(pass, number, frequency, judgement);
    if (run.passes.isEmpty() || run.passes.last().pass != pass)
        run.passes.append(RunJudgement::Pass{pass, qQNaN(), 0, Verdict::Tally()});
    RunJudgement::Pass &p = run.passes.last();
    ++p.points;
    p.tally.add(pass, number, frequency, judgement);
    return judgement;
}

Verdict::Judgement RunJudging::power(int pass, quint64 number, double frequency, double outputPower, double reading,
                                     bool atFrequency)
{
    if (!run.limits.present)
        return Verdict::Judgement();
    return counted(pass, number, frequency, Verdict::judgePower(run.limits, frequency, outputPower, reading),
                   atFrequency);
}

Verdict::Judgement RunJudging::spur(int pass, quint64 number, double frequency, double outputPower,
                                    double carrierLevel, bool hasSpur, double spurLevel, bool atFrequency)
{
    if (!run.limits.present)
        return Verdict::Judgement();
    return counted(pass, number, frequency,
                   Verdict::judgeSpur(run.limits, frequency, outputPower, carrierLevel, hasSpur, spurLevel),
                   atFrequency);
}

namespace {

// A point recorded without a reading at its frequency (measured after the synthesizer's link was
// lost) stays so, whatever it read.
bool atFrequency(const StoredPoint &point)
{
    return point.verdict != Verdict::text(Verdict::Grade::NoReading);
}

} // namespace

void RunJudging::earlier(const QList<StoredPoint> &points, const QList<StoredPass> &passes, const FrequencyGrid &grid,
                         qint64 recordedUnread)
{
    if (!run.limits.present)
        return;
    QMap<int, double> powers;
    for (const StoredPass &p : passes)
        if (!powers.contains(p.pass))
            powers.insert(p.pass, p.outputPower);
    for (const StoredPoint &point : points) {
        const double power = powers.value(point.pass, qQNaN());
        pass(point.pass, power, run.passesExpected);
        const auto value = [&point](int i) { return i < point.values.size() ? point.values.at(i) : qQNaN(); };
        if (point.row == StoredPoint::Row::Spur) {
            // Judged at the unit, as the point was: each level with the loss the store kept for it.
            const SpurEvaluation peaks = SpurEvaluation::fromLists(
                point.peakFrequencies.toList(), PathLoss::appliedToPeaks(point.peakLevels.toList(), point.peakCorrections));
            const int strongest =
                point.peakCorrections.isEmpty() ? peaks.strongestOther() : peaks.strongestOther(peaks.levels);
            const double carrier = peaks.size() > 0 ? peaks.levels.at(0) : qQNaN();
            spur(point.pass, point.number, grid.at(point.number - 1), power, carrier, strongest > 0,
                 strongest > 0 ? peaks.levels.at(strongest) - carrier : 0.0, atFrequency(point));
        } else {
            const double reading =
                std::isnan(point.correction) ? value(1) : Corrections::corrected(value(1), point.correction);
            this->power(point.pass, point.number, value(0), power, reading, atFrequency(point));
        }
    }
    // Points that gave no row (a spur point without a carrier) are in the run's recorded count
    // alone: they count again as they did.
    for (qint64 missing = recordedUnread - run.tally.unread; missing > 0; --missing) {
        Verdict::Judgement unread;
        unread.grade = Verdict::Grade::NoReading;
        unread.failure = QStringLiteral("without a reading");
        counted(run.passes.isEmpty() ? 1 : run.passes.last().pass, 0, qQNaN(), unread, true);
    }
}

RunJudgement RunJudging::end(bool reachedItsEnd) const
{
    RunJudgement ended = run;
    ended.reachedItsEnd = reachedItsEnd;
    ended.grade = Verdict::ofRun(run.tally.grade, reachedItsEnd, run.limits.present);
    return ended;
}
