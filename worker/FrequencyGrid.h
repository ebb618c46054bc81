#pragma once

#include <QString>
#include <QtGlobal>

// The frequency grid of a measurement, derived from a point count or from a step.
struct FrequencyGrid
{
    double step = 0.0;  // MHz
    quint64 count = 0;  // points
    QString stepText;   // set in points mode: the derived step, for the window
    QString countText;  // set in step mode: the derived count, for the window

    // Points mode: the step is the whole number of MHz nearest to the range over count - 1; a
    // count of 1 gives step 0 (one point at the start). Step mode: the count is the range over
    // the step plus one, rounded; a step of 0 gives one point, a reversed range none.
    static FrequencyGrid derive(bool pointsMode, double start, double stop, quint64 count,
                                double step);
};
