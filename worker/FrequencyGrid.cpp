#include "FrequencyGrid.h"

#include <cmath>
#include <limits>

namespace {

// Rounds half up into 64 bits, clamped, so that no quotient can overflow the conversion.
qint64 round64(double value)
{
    if (std::isnan(value))
        return 0;
    const double limit = double(std::numeric_limits<qint64>::max() / 2);
    return qRound64(qBound(-limit, value, limit));
}

} // namespace

FrequencyGrid FrequencyGrid::derive(bool pointsMode, double start, double stop, quint64 count,
                                    double step)
{
    FrequencyGrid grid;
    if (pointsMode) {
        grid.count = count;
        grid.step = count > 1 ? double(round64((stop - start) / double(count - 1))) : 0.0;
        grid.stepText = QString::number(grid.step, 'g', 6);
        return grid;
    }
    grid.step = step;
    const qint64 derived = step == 0.0 ? 1 : round64((stop - start) / step + 1);
    grid.count = derived < 0 ? 0 : quint64(derived);
    grid.countText = QString::number(grid.count);
    return grid;
}
