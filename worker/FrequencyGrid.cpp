#include "FrequencyGrid.h"

#include <cmath>
#include <limits>

namespace {

// A point this close to the stop frequency is at it: the sums of a start with six decimals and
// whole steps are not exact in binary.
const double atStopMhz = 1e-9;

// Rounds half up into 64 bits, clamped, so that no quotient can overflow the conversion.
qint64 round64(double value)
{
    if (std::isnan(value))
        return 0;
    const double limit = double(std::numeric_limits<qint64>::max() / 2);
    return qRound64(qBound(-limit, value, limit));
}

QString mhz(double value)
{
    return QString::number(value, 'g', 12);
}

QString points(quint64 count)
{
    return count == 1 ? QStringLiteral("1 point") : QStringLiteral("%1 points").arg(count);
}

} // namespace

FrequencyGrid FrequencyGrid::derive(bool pointsMode, double start, double stop, quint64 count,
                                    double step)
{
    FrequencyGrid grid;
    grid.start = start;
    grid.stop = stop;
    if (pointsMode) {
        grid.count = count;
        grid.step = count > 1 ? double(round64((stop - start) / double(count - 1))) : 0.0;
        grid.stepText = QString::number(grid.step, 'g', 6);
    } else {
        grid.step = step;
        const qint64 derived = step == 0.0 ? 1 : round64((stop - start) / step + 1);
        grid.count = derived < 0 ? 0 : quint64(derived);
        grid.countText = QString::number(grid.count);
    }
    if (grid.step == 0.0 || grid.count == 0)
        return grid;
    // The points up to the stop frequency, then the stop frequency itself unless the last of
    // them is at it. A derived step counts only the last point past the stop; a rounded-up step
    // of the points mode may carry several past it.
    const double lastIndex = (std::fabs(stop - start) + atStopMhz) / std::fabs(grid.step);
    if (lastIndex >= double(grid.count - 1))
        return grid;
    const quint64 within = quint64(lastIndex) + 1;
    const bool endsAtStop = std::fabs(start + double(within - 1) * grid.step - stop) <= atStopMhz;
    const quint64 asked = grid.count;
    grid.count = endsAtStop ? within : within + 1;
    if (pointsMode && grid.count < asked)
        grid.shortfall = QStringLiteral("%1 of the %2 asked fit %3 to %4 MHz at a %5 MHz step")
                             .arg(points(grid.count), QString::number(asked), mhz(start), mhz(stop), grid.stepText);
    return grid;
}

double FrequencyGrid::at(quint64 index) const
{
    const double frequency = start + double(index) * step;
    const bool past = stop >= start ? frequency - stop > atStopMhz : stop - frequency > atStopMhz;
    return past ? stop : frequency;
}

QString FrequencyGrid::refusal(bool pointsMode, double start, double stop, quint64 count)
{
    if (!pointsMode || count < 2 || derive(true, start, stop, count, 0.0).step != 0.0)
        return QString();
    // The most points the range takes, each a whole number of MHz past the one before but the
    // last, which may be the stop frequency.
    const double span = std::fabs(stop - start);
    quint64 most = span < 0.5 ? 1 : quint64(std::ceil(span - atStopMhz)) + 1;
    while (most > 1) {
        const FrequencyGrid fewer = derive(true, start, stop, most, 0.0);
        if (fewer.step != 0.0 && fewer.count == most)
            break;
        --most;
    }
    // Points a whole number of MHz apart, the narrowest whole range that takes them all has a
    // step of 1 MHz: from the start on, or else up to the stop, within the synthesizer's range.
    const double width = double(count - 1);
    const double direction = stop >= start ? 1.0 : -1.0;
    const auto within = [](double frequency) { return frequency >= lowestMhz && frequency <= highestMhz; };
    QString widened;
    if (within(start + direction * width))
        widened = QStringLiteral(", as %1 to %2 MHz").arg(mhz(start), mhz(start + direction * width));
    else if (within(stop - direction * width))
        widened = QStringLiteral(", as %1 to %2 MHz").arg(mhz(stop - direction * width), mhz(stop));
    const QString widen = width <= highestMhz - lowestMhz
                              ? QStringLiteral(", or widen the range to %1 MHz%2").arg(QString::number(count - 1), widened)
                              : QString();
    return QStringLiteral("%1 to %2 MHz is too narrow for %3 a whole number of MHz apart: ask for at most %4%5")
        .arg(mhz(start), mhz(stop), points(count), points(most), widen);
}
