#pragma once

#include <QMap>
#include <QRandomGenerator>
#include <QString>

// The simulated bench's shared state: what the synthesizer was told, which the simulated
// meters then measure.
class BenchModel
{
public:
    double frequencyHz = 1e9;
    double powerDbm = -10.0;
    bool rfOn = false;
    bool alcOn = true;
    bool modulationOn = false;
    // Readings answer the frequency in MHz they were taken at instead of a level.
    bool echoFrequency = false;
    // Every other setting of the synthesizer, by canonical header, as last sent.
    QMap<QString, QString> synthSettings;

    // Gaussian-like noise of the given spread, from a seeded generator so runs can repeat.
    double noise(double spread);

    explicit BenchModel(quint32 seed = 1) : random(seed) {}

private:
    QRandomGenerator random;
};
