#include "SpurEvaluation.h"

#include <cmath>

SpurEvaluation SpurEvaluation::fromLists(QList<double> frequencies, QList<double> levels)
{
    const int size = qMin(frequencies.size(), levels.size());
    SpurEvaluation peaks;
    peaks.frequencies = frequencies.mid(0, size);
    peaks.levels = levels.mid(0, size);
    return peaks;
}

SpurEvaluation SpurEvaluation::fromTable(const QList<double> &table)
{
    SpurEvaluation peaks;
    for (int i = 0; i + 1 < table.size(); i += 2) {
        peaks.frequencies.append(table.at(i));
        peaks.levels.append(table.at(i + 1));
    }
    return peaks;
}

bool SpurEvaluation::isNumber(int peak) const
{
    return std::isfinite(frequencies.at(peak)) && std::isfinite(levels.at(peak));
}

int SpurEvaluation::strongestOther() const
{
    for (int i = 1; i < size(); ++i)
        if (isNumber(i))
            return i;
    return -1;
}

int SpurEvaluation::strongestOther(const QList<double> &levelsAtUnit) const
{
    int strongest = -1;
    for (int i = 1; i < size() && i < levelsAtUnit.size(); ++i)
        if (isNumber(i) && std::isfinite(levelsAtUnit.at(i))
            && (strongest < 0 || levelsAtUnit.at(i) > levelsAtUnit.at(strongest)))
            strongest = i;
    return strongest;
}

void SpurEvaluation::evaluate(double displayLine, quint32 *spurCount, double *minimumDistance) const
{
    if (size() == 0 || !isNumber(0))
        return;
    const int strongest = strongestOther();
    for (int i = 1; i < size(); ++i) {
        if (!isNumber(i))
            continue;
        const double d = frequencies.at(0) / 1e9 - frequencies.at(i) / 1e9;
        if (!(d > 0.001 || d < -0.001))
            continue;
        if (std::isnan(levels.at(i) - levels.at(0) + displayLine))
            continue;
        ++*spurCount;
        // As before: the distance to the strongest other peak, even when that one is no spur.
        const double distance = levels.at(0) - levels.at(strongest);
        if (distance < *minimumDistance)
            *minimumDistance = distance;
    }
}
