#pragma once

#include <QByteArray>

class BenchModel;

// The simulated two-channel power meter: reads the synthesizer's output through a cable whose
// loss rises smoothly with frequency.
class PowerMeterSim
{
public:
    explicit PowerMeterSim(BenchModel &model) : model(model) {}

    QByteArray handle(const QByteArray &line);

    // Cable and flatness loss in dB at a frequency in Hz.
    static double lossDb(double frequencyHz);

private:
    double reading();

    BenchModel &model;
    double channelFrequencyMhz[2] = {50.0, 50.0};
};
