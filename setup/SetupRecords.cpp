#include "SetupRecords.h"

#include "BenchSetup.h"

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
    return form;
}

} // namespace SetupRecords
