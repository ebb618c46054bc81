#pragma once

#include "Corrections.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class BenchModel;

// The simulated spectrum analyzer: a display window over the carrier that the synthesizer puts
// out and a set of spurs around it, speaking either the R&S or the KVD4471B dialect.
class AnalyzerSim
{
public:
    enum class Model { RohdeSchwarz, Kvd4471b };

    struct Spur
    {
        double offsetMhz = 0.0;
        double belowCarrierDb = 0.0;
    };

    AnalyzerSim(BenchModel &model, Model dialect);

    // "offset:dBc,offset:dBc,..." with offsets in MHz from the carrier; false when malformed.
    bool setSpurs(const QString &text);
    static QList<Spur> defaultSpurs();
    // Loss of the cable to the analyzer in dB (about 1.5 dB by default).
    void setCableLoss(double db) { cableLossDb = db; }
    // A path whose loss the table gives at each signal's own frequency (its end values beyond
    // it), in place of the cable's.
    void setPathLoss(const Corrections::CorrectionTable &table) { pathLoss = table; }

    QByteArray handle(const QByteArray &line);

private:
    struct Signal
    {
        double frequencyHz;
        double levelDbm;
    };
    // Signals inside the display window, strongest first.
    QList<Signal> visibleSignals() const;
    QList<Signal> peaksAboveThreshold() const;
    // The end of an adjustment: the window 10 MHz wide around the strongest signal of the whole
    // input range.
    void centreOnStrongest();
    QByteArray frequencyText(double hz) const;
    double carrierLevel() const;

    BenchModel &model;
    Model dialect;
    QList<Spur> spurs = defaultSpurs();
    double cableLossDb = 1.4;
    std::optional<Corrections::CorrectionTable> pathLoss;
    double startHz = 9e3;
    double stopHz = 3e9;
    double referenceLevelDbm = 0.0;
    double thresholdDbm = -200.0;
    bool thresholdOn = false;
    // An adjustment was asked for and ends as the next line arrives.
    bool adjusting = false;
    quint32 sweepPoints = 1001;
    quint32 resolutionBandwidthHz = 1000;
    quint32 videoBandwidthHz = 1000;
};
