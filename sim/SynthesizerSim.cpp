#include "SynthesizerSim.h"

#include "BenchModel.h"
#include "Scpi.h"

#include <QSet>

namespace {

QByteArray number(double value, int decimals)
{
    return QByteArray::number(value, 'f', decimals) + '\n';
}

QByteArray flag(bool on)
{
    return on ? QByteArray("1\n") : QByteArray("0\n");
}

bool parseSwitch(const QString &argument, bool current)
{
    const QString word = argument.trimmed().toUpper();
    if (word == QLatin1String("ON") || word == QLatin1String("1"))
        return true;
    if (word == QLatin1String("OFF") || word == QLatin1String("0"))
        return false;
    return current;
}

const QSet<QString> &settingHeaders()
{
    static const QSet<QString> headers{
        QStringLiteral("FREQ:MODE"), QStringLiteral("FREQ:STAR"),   QStringLiteral("FREQ:STOP"),
        QStringLiteral("FREQ:STEP"), QStringLiteral("LIST:TYPE"),   QStringLiteral("LIST:MODE"),
        QStringLiteral("SWE:TIME"),  QStringLiteral("SWE:TIME:AUTO"), QStringLiteral("TRIG:SOUR"),
        QStringLiteral("INIT:CONT"), QStringLiteral("POW:MODE"),    QStringLiteral("POW:STAR"),
        QStringLiteral("POW:STOP"),  QStringLiteral("POW:STEP"),    QStringLiteral("AM:INT:FREQ"),
        QStringLiteral("AM:INT:FUNC:SHAP"), QStringLiteral("AM:DEPT"), QStringLiteral("PULM:INT:PWID"),
        QStringLiteral("PULM:INT:PER")};
    return headers;
}

} // namespace

QByteArray SynthesizerSim::handle(const QByteArray &raw)
{
    const Scpi::Line line = Scpi::parse(raw);
    const QString &h = line.header;
    if (h.isEmpty())
        return QByteArray();

    if (line.query) {
        if (h == QLatin1String("*IDN"))
            return "Orvane,SG-Sim,000001,1.0\n";
        if (model.echoFrequency && (h == QLatin1String("FETC:POW:AC") || h == QLatin1String("DIAG:INFO:TEMP")))
            return number(model.frequencyHz / 1e6, 6);
        if (h == QLatin1String("FETC:POW:AC")) {
            const double level = model.rfOn ? model.powerDbm + model.noise(0.2) : -90.0 + model.noise(1.0);
            return number(level, 2);
        }
        if (h == QLatin1String("DIAG:INFO:TEMP"))
            return number(38.0 + model.noise(0.5), 1);
        if (h == QLatin1String("FREQ:CW") || h == QLatin1String("FREQ"))
            return number(model.frequencyHz, 3);
        if (h == QLatin1String("POW") || h == QLatin1String("POW:LEV"))
            return number(model.powerDbm, 2);
        if (h == QLatin1String("OUTP"))
            return flag(model.rfOn);
        if (h == QLatin1String("OUTP:ALC"))
            return flag(model.alcOn);
        if (h == QLatin1String("OUTP:MOD"))
            return flag(model.modulationOn);
        if (model.synthSettings.contains(h))
            return model.synthSettings.value(h).toLatin1() + '\n';
        return "-113,\"Undefined header\"\n";
    }

    bool ok = false;
    if (h == QLatin1String("FREQ:CW") || h == QLatin1String("FREQ")) {
        const double hz = Scpi::valueWithUnit(line.argument, &ok);
        if (ok)
            model.frequencyHz = hz;
    } else if (h == QLatin1String("POW") || h == QLatin1String("POW:LEV")) {
        const double dbm = Scpi::valueWithUnit(line.argument, &ok);
        if (ok)
            model.powerDbm = dbm;
    } else if (h == QLatin1String("OUTP")) {
        model.rfOn = parseSwitch(line.argument, model.rfOn);
    } else if (h == QLatin1String("OUTP:ALC")) {
        model.alcOn = parseSwitch(line.argument, model.alcOn);
    } else if (h == QLatin1String("OUTP:MOD")) {
        model.modulationOn = parseSwitch(line.argument, model.modulationOn);
    } else if (h.startsWith(QLatin1Char('*')) || h == QLatin1String("INIT")
               || h == QLatin1String("ABOR")) {
        model.synthSettings.insert(QStringLiteral("LAST:EVENT"), h);
    } else if (h == QLatin1String("AM:SOUR:INT") || h == QLatin1String("PULM:SOUR:INT")) {
        model.synthSettings.insert(h.section(QLatin1Char(':'), 0, 1), QStringLiteral("INT"));
    } else if (settingHeaders().contains(h) && !line.argument.isEmpty()) {
        // Sweep, list, AM and pulse settings are kept as sent, so that they can be read back.
        model.synthSettings.insert(h, line.argument);
    }
    return QByteArray();
}
