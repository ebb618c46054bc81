#include "PowerMeterSim.h"

#include "BenchModel.h"
#include "Scpi.h"

#include <cmath>

double PowerMeterSim::lossDb(double frequencyHz)
{
    const double ghz = frequencyHz / 1e9;
    return 0.4 + 0.35 * std::sqrt(std::max(ghz, 0.0)) + 0.15 * std::sin(ghz * 1.7);
}

double PowerMeterSim::reading()
{
    if (!model.rfOn)
        return -70.0 + model.noise(0.6);
    const double loss = pathLoss ? Corrections::lossAt(*pathLoss, model.frequencyHz / 1e6) : lossDb(model.frequencyHz);
    return model.powerDbm - loss + model.noise(0.04);
}

QByteArray PowerMeterSim::handle(const QByteArray &raw)
{
    const Scpi::Line line = Scpi::parse(raw);
    const QString &h = line.header;
    int channel = -1;
    if (h == QLatin1String("SENS1:FREQ") || h == QLatin1String("SENS:FREQ"))
        channel = 0;
    else if (h == QLatin1String("SENS2:FREQ"))
        channel = 1;

    if (line.query) {
        if (h == QLatin1String("*IDN"))
            return "PowerSim,PM-2,000002,1.0\n";
        if (h == QLatin1String("FETC") || h == QLatin1String("FETC1") || h == QLatin1String("FETC2")
            || h == QLatin1String("READ") || h == QLatin1String("MEAS")) {
            if (model.echoFrequency)
                return QByteArray::number(channelFrequencyMhz[h == QLatin1String("FETC2") ? 1 : 0], 'f', 4) + '\n';
            return QByteArray::number(reading(), 'f', 4) + '\n';
        }
        if (channel >= 0)
            return QByteArray::number(channelFrequencyMhz[channel] * 1e6, 'f', 1) + '\n';
        return "-113,\"Undefined header\"\n";
    }
    if (channel >= 0) {
        bool ok = false;
        const double hz = Scpi::valueWithUnit(line.argument, &ok);
        if (ok)
            channelFrequencyMhz[channel] = hz / 1e6;
    }
    return QByteArray();
}
