#pragma once

#include "Verdict.h"

#include <QMetaType>
#include <QString>
#include <QtGlobal>

// One measured point as the worker reports it to the window, right after its row was handed to
// the report writer: what a progress display and a live plot need. A reading for which the
// instrument gave no number (reading, fetchedPower, carrierLevel, and so spurLevel) is a quiet
// NaN, AnswerParsing::notANumber. The levels are those at the unit: the meter's reading plus the
// loss of its path when a correction table applies, so that every display shows what is judged.
struct MeasuredPoint
{
    bool spur = false;        // a point of the spur measurement, else of the power measurement
    int pass = 1;             // pass of the run, from 1
    quint64 number = 1;       // point within its pass, from 1
    double frequency = 0;     // MHz
    double outputPower = 0;   // dBm set on the synthesizer
    double reading = 0;       // power at the unit, dBm: the power meter's reading, corrected
    double correction = qQNaN(); // dB added to reading or carrierLevel; NaN: no table on the path
    bool fetched = false;     // fetchedPower holds the synthesizer's own reading
    double fetchedPower = 0;  // dBm
    double carrierLevel = 0;  // dBm, corrected
    bool hasSpur = false;     // spurLevel holds the strongest other peak
    double spurLevel = 0;     // dBc, relative to the carrier, both corrected at their own frequencies
    QString workbook;         // base name of the workbook its row went to
    Verdict::Judgement judgement; // against its measurement's limits; grade None without limits
};

Q_DECLARE_METATYPE(MeasuredPoint)
