#include "Verdict.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

using namespace Verdict;

bool sameMask(const LimitMask &a, const LimitMask &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (a.at(i).frequency != b.at(i).frequency || a.at(i).level != b.at(i).level)
            return false;
    return true;
}

// A grid's frequencies are sums of a start with six decimals and a step with nine; rounded to
// nine decimals they are the decimal the setup meant, so that a point on a mask's corner or step
// is judged there and not a rounding error to one side of it.
double gridFrequency(double frequency)
{
    return std::round(frequency * 1e9) / 1e9;
}

// Readings carry a few decimals: the noise of interpolating must not fail a reading that lies
// exactly on its limit, which passes.
double cleanMargin(double margin)
{
    return std::round(margin * 1e9) / 1e9;
}

// "1,234,567" from the digits of a whole number.
QString grouped(const QString &digits)
{
    QString text;
    for (int i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += QLatin1Char(',');
        text += digits.at(i);
    }
    return text;
}

// dB for the operator: two decimals at most, but never a failure by "0".
QString decibels(double value)
{
    QString text = Verdict::decimalText(value, 2);
    if (text == QLatin1String("0") && value != 0)
        text = QString::number(value, 'g', 2);
    return text;
}

// Numbers in check()'s words: as the setup file would give them.
QString plain(double value)
{
    return Verdict::decimalText(value, 9);
}

QString points(qint64 count)
{
    return grouped(QString::number(count)) + (count == 1 ? QStringLiteral(" point") : QStringLiteral(" points"));
}

// The nearest of the limits a point is judged against, as they are considered.
struct Nearest
{
    double margin = qQNaN();
    double value = qQNaN();
    double limit = qQNaN();
    QString failure;

    void consider(double v, double l, bool upper, const QString &whenOutside)
    {
        if (std::isnan(l))
            return;
        const double m = cleanMargin(upper ? l - v : v - l);
        if (std::isnan(margin) || m < margin) {
            margin = m;
            value = v;
            limit = l;
            failure = whenOutside;
        }
    }

    // On a limit passes; inside the margin (strictly) is marginal, so a margin of 0 marks none.
    void grade(Judgement &j, double marginSetting) const
    {
        j.margin = margin;
        j.value = value;
        j.limit = limit;
        if (std::isnan(margin)) {
            j.grade = Grade::Pass; // nothing to measure a distance to, e.g. no spur found under maxSpur alone
        } else if (margin < 0) {
            j.grade = Grade::Fail;
            j.failure = failure;
        } else {
            j.grade = margin < marginSetting ? Grade::Marginal : Grade::Pass;
        }
    }
};

const QString uncoveredFailure = QStringLiteral("at a frequency the limits do not cover");
const QString unreadFailure = QStringLiteral("without a reading");

// A mask given but without a level here: check() refuses such setups, and the judgement fails
// rather than passes the point.
bool uncovered(const LimitMask &mask, double level)
{
    return !mask.isEmpty() && std::isnan(level);
}

// The absolute limits of upper and lower at the frequency; false if either leaves it uncovered.
bool limitsAt(const MeasurementLimits &limits, double frequency, double outputPower, Judgement &j)
{
    const double offset = limits.relativeTo == MeasurementLimits::RelativeTo::Output ? outputPower : 0.0;
    const double upper = limits.upper.isEmpty() ? qQNaN() : levelAt(limits.upper, frequency, true);
    const double lower = limits.lower.isEmpty() ? qQNaN() : levelAt(limits.lower, frequency, false);
    j.upper = upper + offset;
    j.lower = lower + offset;
    return !uncovered(limits.upper, upper) && !uncovered(limits.lower, lower);
}

Judgement failedUncovered(Judgement j, double value)
{
    j.grade = Grade::Fail;
    j.failure = uncoveredFailure;
    j.value = value;
    return j;
}

Judgement unread(Judgement j, const QString &why)
{
    j.grade = Grade::NoReading;
    j.failure = why;
    return j;
}

// One mask's own faults: numbers, order, steps and the range it covers.
QString checkMask(const LimitMask &mask, const QString &key, double low, double high)
{
    for (int i = 0; i < mask.size(); ++i) {
        const QString place = QStringLiteral("%1[%2]: ").arg(key).arg(i);
        const MaskPoint &p = mask.at(i);
        if (!std::isfinite(p.frequency) || !std::isfinite(p.level))
            return place + QStringLiteral("not a finite number");
        if (i == 0)
            continue;
        const double before = mask.at(i - 1).frequency;
        if (p.frequency < before)
            return place + QStringLiteral("%1 MHz comes after %2 MHz; frequencies must ascend")
                               .arg(plain(p.frequency), plain(before));
        if (i >= 2 && p.frequency == mask.at(i - 2).frequency)
            return place + QStringLiteral("a third point at %1 MHz; a step is the same frequency twice")
                               .arg(plain(p.frequency));
    }
    const double first = mask.first().frequency;
    const double last = mask.last().frequency;
    QStringList gaps;
    if (low < first)
        gaps << QStringLiteral("%1 to %2").arg(plain(low), plain(std::min(first, high)));
    if (high > last)
        gaps << QStringLiteral("%1 to %2").arg(plain(std::max(last, low)), plain(high));
    if (gaps.isEmpty())
        return QString();
    const QString covers = first == last ? QStringLiteral("covers %1 MHz alone").arg(plain(first))
                                         : QStringLiteral("covers %1 to %2 MHz").arg(plain(first), plain(last));
    return key + QStringLiteral(": %1; %2 MHz %3 not covered")
                     .arg(covers, gaps.join(QStringLiteral(" and ")),
                          gaps.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}

// Where between low and high the lower mask lies above the upper one. Both are straight between
// their corners, so the corners of both and the ends of the range tell; at a step the stricter
// levels hold, which are at least as close as those on either side of it.
QString checkCrossing(const LimitMask &upper, const LimitMask &lower, const QString &prefix, double low, double high)
{
    QVector<double> corners{low, high};
    for (const LimitMask *mask : {&upper, &lower})
        for (const MaskPoint &p : *mask)
            if (p.frequency > low && p.frequency < high)
                corners << p.frequency;
    std::sort(corners.begin(), corners.end());
    for (const double f : corners) {
        const double top = levelAt(upper, f, true);
        const double bottom = levelAt(lower, f, false);
        if (cleanMargin(top - bottom) < 0)
            return prefix + QStringLiteral("lower: %1 lies above the upper limit's %2 at %3 MHz")
                                .arg(plain(bottom), plain(top), plain(f));
    }
    return QString();
}

} // namespace

bool MeasurementLimits::operator==(const MeasurementLimits &other) const
{
    return present == other.present && sameMask(upper, other.upper) && sameMask(lower, other.lower)
           && relativeTo == other.relativeTo && sameMask(maxSpur, other.maxSpur) && margin == other.margin;
}

namespace Verdict {

QString text(Grade grade)
{
    switch (grade) {
    case Grade::None:
        break;
    case Grade::Pass:
        return QStringLiteral("PASS");
    case Grade::Marginal:
        return QStringLiteral("MARGINAL");
    case Grade::NoReading:
        return QStringLiteral("NO READING");
    case Grade::Fail:
        return QStringLiteral("FAIL");
    case Grade::Incomplete:
        return QStringLiteral("INCOMPLETE");
    }
    return QString();
}

Grade fromText(const QString &name)
{
    for (const Grade grade : {Grade::Pass, Grade::Marginal, Grade::NoReading, Grade::Fail, Grade::Incomplete})
        if (name == text(grade))
            return grade;
    return Grade::None;
}

Grade worst(Grade a, Grade b)
{
    return int(a) >= int(b) ? a : b;
}

Grade ofRun(Grade points, bool reachedItsEnd, bool hasLimits)
{
    if (!hasLimits)
        return Grade::None;
    if (points == Grade::Fail)
        return Grade::Fail; // a failed unit stays failed, however the run ended
    if (!reachedItsEnd)
        return Grade::Incomplete;
    // A run with limits that judged nothing has shown nothing to pass.
    return points == Grade::None ? Grade::NoReading : points;
}

double levelAt(const LimitMask &mask, double frequency, bool upperMask)
{
    if (mask.isEmpty() || !std::isfinite(frequency))
        return qQNaN();
    const auto below = [](const MaskPoint &p, double f) { return p.frequency < f; };
    auto it = std::lower_bound(mask.cbegin(), mask.cend(), frequency, below);
    if (it == mask.cend())
        return qQNaN();
    if (it->frequency == frequency) {
        double level = it->level;
        for (++it; it != mask.cend() && it->frequency == frequency; ++it)
            level = upperMask ? std::min(level, it->level) : std::max(level, it->level);
        return level;
    }
    if (it == mask.cbegin())
        return qQNaN();
    const MaskPoint &a = *(it - 1);
    const MaskPoint &b = *it;
    return a.level + (b.level - a.level) * (frequency - a.frequency) / (b.frequency - a.frequency);
}

QString decimalText(double value, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString frequencyText(double mhz)
{
    const QString text = decimalText(std::fabs(mhz), 6);
    const int dot = text.indexOf(QLatin1Char('.'));
    const QString whole = dot < 0 ? text : text.left(dot);
    return (mhz < 0 && text != QLatin1String("0") ? QStringLiteral("-") : QString()) + grouped(whole)
         + (dot < 0 ? QString() : text.mid(dot));
}

Judgement judgePower(const MeasurementLimits &limits, double frequency, double outputPower, double reading)
{
    Judgement j;
    if (!limits.present)
        return j;
    const double f = gridFrequency(frequency);
    if (!limitsAt(limits, f, outputPower, j))
        return failedUncovered(j, reading);
    // A reading of -inf is no more a number than NaN is.
    if (!std::isfinite(reading))
        return unread(j, unreadFailure);
    if (limits.relativeTo == MeasurementLimits::RelativeTo::Output && !std::isfinite(outputPower))
        return unread(j, QStringLiteral("without the output power its limits are relative to"));
    Nearest nearest;
    nearest.consider(reading, j.upper, true, QStringLiteral("above the upper limit"));
    nearest.consider(reading, j.lower, false, QStringLiteral("below the lower limit"));
    nearest.grade(j, limits.margin);
    return j;
}

Judgement judgeSpur(const MeasurementLimits &limits, double frequency, double outputPower, double carrierLevel,
                    bool hasSpur, double spurLevel)
{
    Judgement j;
    if (!limits.present)
        return j;
    const double f = gridFrequency(frequency);
    const bool covered = limitsAt(limits, f, outputPower, j);
    j.spurLimit = limits.maxSpur.isEmpty() ? qQNaN() : levelAt(limits.maxSpur, f, true);
    if (!covered || uncovered(limits.maxSpur, j.spurLimit))
        return failedUncovered(j, carrierLevel);
    if (!std::isfinite(carrierLevel))
        return unread(j, unreadFailure);
    if (hasSpur && !std::isfinite(spurLevel))
        return unread(j, QStringLiteral("without a reading of its spur"));
    if (limits.relativeTo == MeasurementLimits::RelativeTo::Output && !std::isfinite(outputPower)
        && !(limits.upper.isEmpty() && limits.lower.isEmpty()))
        return unread(j, QStringLiteral("without the output power its limits are relative to"));
    Nearest nearest;
    nearest.consider(carrierLevel, j.upper, true, QStringLiteral("with the carrier above the upper limit"));
    nearest.consider(carrierLevel, j.lower, false, QStringLiteral("with the carrier below the lower limit"));
    // No spur found above the analyzer's display line: nothing comes near maxSpur.
    if (hasSpur)
        nearest.consider(spurLevel, j.spurLimit, true, QStringLiteral("with a spur above the limit"));
    nearest.grade(j, limits.margin);
    return j;
}

QString check(const MeasurementLimits &limits, bool spur, double start, double stop)
{
    if (!limits.present)
        return QString();
    if (!std::isfinite(limits.margin))
        return QStringLiteral("margin: not a finite number");
    if (limits.margin < 0)
        return QStringLiteral("margin: %1 is below 0 dB").arg(plain(limits.margin));
    if (!spur && !limits.maxSpur.isEmpty())
        return QStringLiteral("maxSpur: not a limit of a power measurement");
    // A spur measurement's upper and lower judge its carrier and sit in "carrier" in the file.
    const QString prefix = spur ? QStringLiteral("carrier.") : QString();
    if (limits.upper.isEmpty() && limits.lower.isEmpty() && limits.maxSpur.isEmpty())
        return spur ? QStringLiteral("maxSpur: missing; a spur measurement's limits need maxSpur or a carrier limit")
                    : QStringLiteral("upper: missing; a power measurement's limits need upper or lower");
    if (!std::isfinite(start) || !std::isfinite(stop))
        return QStringLiteral("the measurement's range is not a finite number");
    // A grid may run downwards: the range covered is the same.
    const double low = std::min(start, stop);
    const double high = std::max(start, stop);
    const struct { const LimitMask &mask; QString key; } masks[] = {
        {limits.upper, prefix + QStringLiteral("upper")},
        {limits.lower, prefix + QStringLiteral("lower")},
        {limits.maxSpur, QStringLiteral("maxSpur")}};
    for (const auto &m : masks) {
        if (m.mask.isEmpty())
            continue;
        const QString why = checkMask(m.mask, m.key, low, high);
        if (!why.isEmpty())
            return why;
    }
    if (limits.upper.isEmpty() || limits.lower.isEmpty())
        return QString();
    return checkCrossing(limits.upper, limits.lower, prefix, low, high);
}

void Tally::add(int pass, quint64 number, double frequency, const Judgement &judgement)
{
    if (judgement.grade == Grade::None)
        return;
    ++judged;
    grade = worst(grade, judgement.grade);
    switch (judgement.grade) {
    case Grade::Marginal:
        ++marginal;
        return;
    case Grade::NoReading:
        ++unread;
        return;
    case Grade::Fail:
        break;
    default:
        return;
    }
    ++failed;
    const Failure failure{pass, number, frequency, judgement};
    if (firstFailures.size() < 10)
        firstFailures << failure;
    // Furthest outside; a failure without a distance (a frequency not covered) only until one has one.
    const double worstSoFar = worstFailure.judgement.margin;
    if (failed == 1 || (!std::isnan(judgement.margin) && (std::isnan(worstSoFar) || judgement.margin < worstSoFar)))
        worstFailure = failure;
    for (Kind &kind : failureKinds)
        if (kind.failure == judgement.failure) {
            ++kind.count;
            return;
        }
    failureKinds << Kind{judgement.failure, 1};
}

void Tally::merge(const Tally &later)
{
    if (later.judged == 0)
        return;
    const bool hadFailed = failed > 0;
    grade = worst(grade, later.grade);
    failed += later.failed;
    marginal += later.marginal;
    unread += later.unread;
    judged += later.judged;
    for (const Failure &failure : later.firstFailures)
        if (firstFailures.size() < 10)
            firstFailures << failure;
    // As add() would have chosen: the earlier of two failures equally far outside.
    const double ours = worstFailure.judgement.margin;
    const double theirs = later.worstFailure.judgement.margin;
    if (later.failed > 0 && (!hadFailed || (!std::isnan(theirs) && (std::isnan(ours) || theirs < ours))))
        worstFailure = later.worstFailure;
    for (const Kind &kind : later.failureKinds) {
        auto it = std::find_if(failureKinds.begin(), failureKinds.end(),
                               [&kind](const Kind &k) { return k.failure == kind.failure; });
        if (it == failureKinds.end())
            failureKinds << kind;
        else
            it->count += kind.count;
    }
}

// Wording beyond the agreed FAIL line: "MARGINAL: 2 points within the margin of a limit",
// "NO READING: 2 points without a reading", and after the failures of a FAIL, or after an
// INCOMPLETE, "; 2 points without a reading" (and marginal points where nothing failed).
QString Tally::summary() const
{
    if (grade == Grade::None)
        return QString();
    QStringList parts;
    if (failed > 0) {
        QStringList kinds;
        for (const Kind &kind : failureKinds)
            kinds << points(kind.count) + QLatin1Char(' ') + kind.failure;
        QString line = kinds.join(QStringLiteral(", "));
        const Judgement &w = worstFailure.judgement;
        if (std::isfinite(w.value - w.limit))
            line += QStringLiteral(", worst %1%2 dB at %3 MHz")
                        .arg(w.value > w.limit ? QStringLiteral("+") : QString(), decibels(w.value - w.limit),
                             frequencyText(worstFailure.frequency));
        parts << line;
    }
    if (unread > 0)
        parts << points(unread) + QLatin1Char(' ') + unreadFailure;
    if (marginal > 0 && failed == 0)
        parts << points(marginal) + QStringLiteral(" within the margin of a limit");
    const QString name = text(grade);
    return parts.isEmpty() || grade == Grade::Pass ? name : name + QStringLiteral(": ") + parts.join(QStringLiteral("; "));
}

} // namespace Verdict
