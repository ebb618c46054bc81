#include "AnalyzerSim.h"

#include "BenchModel.h"
#include "Scpi.h"

#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

constexpr double noiseFloorDbm = -95.0;
constexpr double adjustedSpanHz = 10e6;
constexpr double inputRangeHz = 50e9;

const QSet<QString> &rohdeSchwarzOnly()
{
    static const QSet<QString> headers{
        QStringLiteral("ADJ:ALL"), QStringLiteral("CALC:THR"), QStringLiteral("CALC:MARK:FUNC:FPE:SORT"),
        QStringLiteral("CALC:MARK:FUNC:FPE:STAT"), QStringLiteral("CALC:MARK:FUNC:FPE:X"),
        QStringLiteral("CALC:MARK:FUNC:FPE:Y")};
    return headers;
}

const QSet<QString> &kvdOnly()
{
    static const QSet<QString> headers{
        QStringLiteral("SENS:FREQ:TUNE:IMM"), QStringLiteral("CALC:MARK:PEAK:THR"),
        QStringLiteral("CALC:MARK:PEAK:EXC:STAT"), QStringLiteral("CALC:MARK:PEAK:SORT"),
        QStringLiteral("CALC:MARK:PEAK:TABL:STAT"), QStringLiteral("TRAC:MATH:PEAK")};
    return headers;
}

QByteArray level(double dbm)
{
    return QByteArray::number(dbm, 'f', 2);
}

} // namespace

AnalyzerSim::AnalyzerSim(BenchModel &model, Model dialect)
    : model(model)
    , dialect(dialect)
{
}

QList<AnalyzerSim::Spur> AnalyzerSim::defaultSpurs()
{
    return {{0.4, 55.0}, {-0.3, 65.0}, {2.0, 48.0}, {4.5, 62.0}, {7.5, 52.0}, {-2.5, 58.0}, {15.0, 45.0}};
}

bool AnalyzerSim::setSpurs(const QString &text)
{
    QList<Spur> parsed;
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(QLatin1Char(':'));
        bool okOffset = false;
        bool okLevel = false;
        if (parts.size() != 2)
            return false;
        const Spur spur{parts.at(0).toDouble(&okOffset), parts.at(1).toDouble(&okLevel)};
        if (!okOffset || !okLevel)
            return false;
        parsed.append(spur);
    }
    spurs = parsed;
    return true;
}

// The default loss keeps the carrier where the spur search expects it, 1 to 2 dB below the
// output power, with a slight ripple over frequency.
double AnalyzerSim::carrierLevel() const
{
    return model.powerDbm - cableLossDb - 0.1 * std::sin(model.frequencyHz / 1e9);
}

QList<AnalyzerSim::Signal> AnalyzerSim::visibleSignals() const
{
    QList<Signal> signalList;
    if (!model.rfOn)
        return signalList;
    const double carrierHz = model.frequencyHz;
    const double carrierDbm = carrierLevel();
    auto add = [&](double hz, double dbm) {
        if (hz >= startHz && hz <= stopHz && dbm > noiseFloorDbm)
            signalList.append({hz, dbm});
    };
    // Through a tabled path each signal leaves the unit at its level and loses the path's loss
    // at its own frequency, so that the spurs' dBc at the analyzer follow the path's slope.
    const auto atAnalyzer = [&](double hz, double dbc) {
        return pathLoss ? model.powerDbm - dbc - Corrections::lossAt(*pathLoss, hz / 1e6) : carrierDbm - dbc;
    };
    add(carrierHz, atAnalyzer(carrierHz, 0));
    for (const Spur &spur : spurs)
        add(carrierHz + spur.offsetMhz * 1e6, atAnalyzer(carrierHz + spur.offsetMhz * 1e6, spur.belowCarrierDb));
    std::stable_sort(signalList.begin(), signalList.end(),
                     [](const Signal &a, const Signal &b) { return a.levelDbm > b.levelDbm; });
    return signalList;
}

QList<AnalyzerSim::Signal> AnalyzerSim::peaksAboveThreshold() const
{
    QList<Signal> peaks;
    for (const Signal &signal : visibleSignals())
        if (!thresholdOn || signal.levelDbm > thresholdDbm)
            peaks.append(signal);
    return peaks;
}

void AnalyzerSim::centreOnStrongest()
{
    const double windowCentre = (startHz + stopHz) / 2;
    startHz = 0;
    stopHz = inputRangeHz;
    const QList<Signal> everySignal = visibleSignals();
    const double centre = everySignal.isEmpty() ? windowCentre : everySignal.first().frequencyHz;
    startHz = centre - adjustedSpanHz / 2;
    stopHz = centre + adjustedSpanHz / 2;
    if (model.rfOn)
        referenceLevelDbm = model.powerDbm + 5.0;
}

QByteArray AnalyzerSim::frequencyText(double hz) const
{
    // The two models write frequencies differently; both are plain numbers in Hz.
    return dialect == Model::RohdeSchwarz ? QByteArray::number(hz, 'E', 10)
                                          : QByteArray::number(hz, 'f', 1);
}

QByteArray AnalyzerSim::handle(const QByteArray &raw)
{
    const Scpi::Line line = Scpi::parse(raw);
    const QString &h = line.header;
    // An adjustment sweeps the input for a while before it sets the window, and the analyzer
    // takes no line meanwhile: the signal it finds is the one there when the next line is read.
    // So a frequency the synthesizer was set to just before the adjustment counts, in whichever
    // order the simulator reads the two connections.
    if (adjusting) {
        adjusting = false;
        centreOnStrongest();
    }
    if ((dialect == Model::RohdeSchwarz && kvdOnly().contains(h))
        || (dialect == Model::Kvd4471b && rohdeSchwarzOnly().contains(h)))
        return QByteArray();

    if (line.query) {
        if (h == QLatin1String("*IDN"))
            return dialect == Model::RohdeSchwarz ? "Rohde&Schwarz,FSx-Sim,000003,1.0\n"
                                                  : "KVD,KVD4471B-Sim,000004,1.0\n";
        if (h == QLatin1String("CALC:MARK:X") || h == QLatin1String("CALC:MARK:Y")) {
            const QList<Signal> visible = visibleSignals();
            const Signal marker = visible.isEmpty()
                                      ? Signal{(startHz + stopHz) / 2, noiseFloorDbm + model.noise(1.0)}
                                      : Signal{visible.first().frequencyHz,
                                               visible.first().levelDbm + model.noise(0.05)};
            return (h.endsWith(QLatin1Char('X')) ? frequencyText(marker.frequencyHz)
                                                 : level(marker.levelDbm))
                   + '\n';
        }
        if (h == QLatin1String("CALC:MARK:FUNC:FPE:X") || h == QLatin1String("CALC:MARK:FUNC:FPE:Y")
            || h == QLatin1String("TRAC:MATH:PEAK")) {
            const QList<Signal> peaks = peaksAboveThreshold();
            // With no peak above the threshold the analyzer queues an error and sends nothing.
            if (peaks.isEmpty())
                return QByteArray();
            QList<QByteArray> fields;
            for (const Signal &peak : peaks) {
                if (h.endsWith(QLatin1Char('X')))
                    fields << frequencyText(peak.frequencyHz);
                else if (h.endsWith(QLatin1Char('Y')))
                    fields << level(peak.levelDbm);
                else
                    fields << frequencyText(peak.frequencyHz) << level(peak.levelDbm);
            }
            return fields.join(',') + '\n';
        }
        if (h == QLatin1String("FREQ:STAR"))
            return QByteArray::number(startHz, 'f', 1) + '\n';
        if (h == QLatin1String("FREQ:STOP"))
            return QByteArray::number(stopHz, 'f', 1) + '\n';
        if (h == QLatin1String("FREQ:SPAN"))
            return QByteArray::number(stopHz - startHz, 'f', 1) + '\n';
        if (h == QLatin1String("DISP:WIND:TRAC:Y:RLEV"))
            return level(referenceLevelDbm) + '\n';
        if (h == QLatin1String("SWE:POIN"))
            return QByteArray::number(sweepPoints) + '\n';
        if (h == QLatin1String("BAND") || h == QLatin1String("BAND:RES"))
            return QByteArray::number(resolutionBandwidthHz) + '\n';
        if (h == QLatin1String("BAND:VID"))
            return QByteArray::number(videoBandwidthHz) + '\n';
        if (h == QLatin1String("CALC:THR") || h == QLatin1String("CALC:MARK:PEAK:THR"))
            return level(thresholdDbm) + '\n';
        return "-113,\"Undefined header\"\n";
    }

    bool ok = false;
    const double value = Scpi::valueWithUnit(line.argument, &ok);
    if (h == QLatin1String("ADJ:ALL") || h == QLatin1String("SENS:FREQ:TUNE:IMM")) {
        adjusting = true;
    } else if (h == QLatin1String("DISP:WIND:TRAC:Y:RLEV") && ok) {
        referenceLevelDbm = value;
    } else if (h == QLatin1String("SWE:POIN") && ok) {
        sweepPoints = quint32(value);
    } else if ((h == QLatin1String("BAND") || h == QLatin1String("BAND:RES")) && ok) {
        resolutionBandwidthHz = quint32(value);
    } else if (h == QLatin1String("BAND:VID") && ok) {
        videoBandwidthHz = quint32(value);
    } else if (h == QLatin1String("FREQ:SPAN") && ok) {
        const double centre = (startHz + stopHz) / 2;
        startHz = centre - value / 2;
        stopHz = centre + value / 2;
    } else if (h == QLatin1String("FREQ:STAR") && ok) {
        startHz = value;
    } else if (h == QLatin1String("FREQ:STOP") && ok) {
        stopHz = value;
    } else if ((h == QLatin1String("CALC:THR") || h == QLatin1String("CALC:MARK:PEAK:THR")) && ok) {
        thresholdDbm = value;
    } else if (h == QLatin1String("CALC:THR:STAT")) {
        const QString word = line.argument.toUpper();
        thresholdOn = word == QLatin1String("ON") || word == QLatin1String("1");
    }
    return QByteArray();
}
