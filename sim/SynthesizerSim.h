#pragma once

#include <QByteArray>

class BenchModel;

// The simulated synthesizer's command interpreter: applies settings to the bench model and
// answers queries with one line each.
class SynthesizerSim
{
public:
    explicit SynthesizerSim(BenchModel &model) : model(model) {}

    QByteArray handle(const QByteArray &line);

private:
    BenchModel &model;
};
