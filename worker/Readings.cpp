#include "Readings.h"

#include "AnswerParsing.h"

#include <cmath>

namespace Readings {

double meanOfNumbers(const QList<double> &values)
{
    double sum = 0;
    int count = 0;
    for (const double value : values) {
        if (std::isfinite(value)) {
            sum += value;
            ++count;
        }
    }
    return count > 0 ? sum / count : AnswerParsing::notANumber;
}

QString labelText(double reading)
{
    return std::isfinite(reading) ? QString::number(reading, 'g', 4) : QStringLiteral("—");
}

} // namespace Readings
