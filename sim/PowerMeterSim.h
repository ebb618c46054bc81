#pragma once

#include "Corrections.h"

#include <QByteArray>

#include <optional>

class BenchModel;

// The simulated two-channel power meter: reads the synthesizer's output through a cable whose
// loss rises smoothly with frequency, or through a path whose losses a table gives.
class PowerMeterSim
{
public:
    explicit PowerMeterSim(BenchModel &model) : model(model) {}

    QByteArray handle(const QByteArray &line);

    // Cable and flatness loss in dB at a frequency in Hz.
    static double lossDb(double frequencyHz);
    // A path whose loss the table gives (its end values beyond it) in place of the cable's.
    void setPathLoss(const Corrections::CorrectionTable &table) { pathLoss = table; }

private:
    double reading();

    BenchModel &model;
    double channelFrequencyMhz[2] = {50.0, 50.0};
    std::optional<Corrections::CorrectionTable> pathLoss;
};
