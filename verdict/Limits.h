#pragma once

#include <QString>
#include <QVector>

// One corner of a limit mask: a level at a frequency.
struct MaskPoint
{
    double frequency = 0; // MHz
    double level = 0;     // dBm, dB relative to the output power, or dBc, by the mask
};

// A limit line over frequency, its points in ascending frequency. Between two points the level
// is linear in dB over linear frequency; the same frequency given twice makes a step, at which
// the stricter of its two levels holds.
using LimitMask = QVector<MaskPoint>;

// The limits of one measurement as its setup gives them. Power: upper and lower judge the power
// meter's reading. Spur: upper and lower judge the carrier's level ("carrier" in the file) and
// maxSpur the strongest spur found, in dBc over the carrier frequency.
struct MeasurementLimits
{
    enum class RelativeTo { Absolute, Output }; // levels in dBm, or dB relative to the pass's output power

    bool present = false; // the setup gave limits for this measurement
    LimitMask upper;
    LimitMask lower;
    RelativeTo relativeTo = RelativeTo::Absolute;
    LimitMask maxSpur;   // spur only
    double margin = 0;   // dB, >= 0: a passing value this close to a limit is marginal

    bool operator==(const MeasurementLimits &other) const;
    bool operator!=(const MeasurementLimits &other) const { return !(*this == other); }
};
