#include "PathLoss.h"

#include "RunHistory.h"

namespace PathLoss {

double at(const Corrections::CorrectionTable &table, double frequencyMhz)
{
    if (!applies(table))
        return qQNaN();
    return Corrections::lossAt(table, frequencyMhz);
}

bool applies(const Corrections::CorrectionTable &table)
{
    return table.path != Corrections::Path::None && !table.points.isEmpty();
}

QVector<double> atPeaks(const Corrections::CorrectionTable &table, const QList<double> &frequenciesHz)
{
    QVector<double> losses;
    if (!applies(table))
        return losses;
    losses.reserve(frequenciesHz.size());
    for (const double hz : frequenciesHz)
        losses << Corrections::lossAt(table, hz / 1e6);
    return losses;
}

QList<double> appliedToPeaks(const QList<double> &levels, const QVector<double> &losses)
{
    if (losses.isEmpty())
        return levels;
    QList<double> corrected;
    corrected.reserve(levels.size());
    for (int i = 0; i < levels.size(); ++i)
        corrected << (i < losses.size() ? Corrections::corrected(levels.at(i), losses.at(i)) : qQNaN());
    return corrected;
}

RecordedTable record(const Corrections::CorrectionTable &table)
{
    RecordedTable recorded;
    recorded.path = Corrections::pathKey(table.path);
    recorded.source = table.source;
    recorded.text = table.text;
    recorded.sha256 = table.sha256;
    recorded.due = table.due;
    recorded.interpolation = Corrections::name(table.interpolation);
    recorded.beyond = Corrections::name(table.beyond);
    return recorded;
}

} // namespace PathLoss
