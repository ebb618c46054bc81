#include "SetupRecords.h"

#include "BenchSetup.h"
#include "FrequencyGrid.h"
#include "SetupFile.h"

#include <algorithm>

namespace SetupRecords {

ValueFormMeasurePower powerRecord(const BenchSetup &setup, const MeasurementSetup &m)
{
    ValueFormMeasurePower form;
    form.freqStart = m.start;
    form.freqStop = m.stop;
    form.pointsCount = m.points;
    form.freqStep = m.step;
    form.power = m.power;
    form.pointsMode = m.pointsMode;
    form.channelA = setup.channel == QLatin1String("A");
    form.ipPowerMeter = setup.powerMeterAddress;
    form.delay = m.delay;
    form.cycle = m.cycle;
    form.justPower = m.oneFrequency;
    form.fetchValues = m.fetchValues;
    form.limits = m.limits;
    return form;
}

ValueForm spurRecord(const BenchSetup &setup, const MeasurementSetup &m)
{
    ValueForm form;
    form.freqStart = m.start;
    form.freqStop = m.stop;
    form.pointsCount = m.points;
    form.freqStep = m.step;
    form.power = m.power;
    form.pointsMode = m.pointsMode;
    form.delay = m.delay;
    form.rohdeSchwarz = setup.rohdeSchwarz;
    form.span = m.span;
    form.displayLine = m.displayLine;
    form.cycle = m.cycle;
    form.limits = m.limits;
    return form;
}

bool identifies(const BenchSetup &setup)
{
    switch (setup.identify) {
    case BenchSetup::Identify::On: return true;
    case BenchSetup::Identify::Off: return false;
    case BenchSetup::Identify::Unset: break;
    }
    return std::any_of(setup.measurements.cbegin(), setup.measurements.cend(),
                       [](const MeasurementSetup &m) { return m.limits.present; });
}

} // namespace SetupRecords

bool SetupRecords::resumeGrid(const QByteArray &setup, RunResume::Grid *grid, QString *why)
{
    const SetupFile::Result parsed = SetupFile::read(setup, QStringLiteral("the run's setup"));
    if (!parsed.ok() || parsed.setup.measurements.size() != 1) {
        *why = parsed.ok() ? QStringLiteral("it holds %1 measurements, not one").arg(parsed.setup.measurements.size())
                           : parsed.error;
        return false;
    }
    const MeasurementSetup &m = parsed.setup.measurements.first();
    grid->perPass = m.kind == MeasurementSetup::Kind::Power && m.oneFrequency
                        ? 1
                        : FrequencyGrid::derive(m.pointsMode, m.start, m.stop, m.points, m.step).count;
    grid->cycle = m.cycle;
    return true;
}
