#pragma once

#include <QString>
#include <QtGlobal>

// The frequency grid of a measurement, derived from a point count or from a step.
struct FrequencyGrid
{
    double start = 0.0; // MHz
    double stop = 0.0;  // MHz
    double step = 0.0;  // MHz
    quint64 count = 0;  // points
    QString stepText;   // set in points mode: the derived step, for the window
    QString countText;  // set in step mode: the derived count, for the window
    // Set when fewer points fit the range than were asked: "76 points of the 101 asked fit ...".
    QString shortfall;

    // Points mode: the step is the whole number of MHz nearest to the range over count - 1; a
    // count of 1 gives step 0 (one point at the start). Step mode: the count is the range over
    // the step plus one, rounded; a step of 0 gives one point, a reversed range none.
    // Where the rounded step would carry the grid past the stop frequency, the stop frequency
    // takes the place of the first point past it and the points after it are left out.
    static FrequencyGrid derive(bool pointsMode, double start, double stop, quint64 count,
                                double step);

    // The frequency of the point with this index, from 0.
    double at(quint64 index) const;

    // Why count points cannot be measured from start to stop, with the largest count the range
    // takes and the smallest range the count needs; empty when they can. The points mode alone
    // can ask for more points than the range has whole MHz (a step of 0).
    static QString refusal(bool pointsMode, double start, double stop, quint64 count);

    // The synthesizer's range, MHz.
    static constexpr double lowestMhz = 0.0;
    static constexpr double highestMhz = 30001.0;
};
