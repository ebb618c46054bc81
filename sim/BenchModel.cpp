#include "BenchModel.h"

double BenchModel::noise(double spread)
{
    // Sum of uniform values: cheap and close enough to a normal distribution.
    double sum = 0.0;
    for (int i = 0; i < 4; ++i)
        sum += random.generateDouble() - 0.5;
    return sum * spread;
}
