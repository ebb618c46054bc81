#pragma once

#include "Corrections.h"
#include "Limits.h"

#include <QMetaType>
#include <QString>

// Parameters of one power measurement, filled by the window and passed by value to the worker.
struct ValueFormMeasurePower
{
    double freqStart = 0.0;
    double freqStop = 0.0;
    quint64 pointsCount = 0;
    double freqStep = 0.0;
    double power = 0.0;
    bool pointsMode = false;
    bool channelA = false;
    QString ipPowerMeter;
    int delay = 0;
    bool cycle = false;
    bool justPower = false;
    bool fetchValues = false;
    MeasurementLimits limits; // each point is judged against them; none: no verdict
    // The loss table of the path the readings come through; path None: the readings stand as read.
    Corrections::CorrectionTable correction;
};

Q_DECLARE_METATYPE(ValueFormMeasurePower)
