#include "SetupFile.h"

#include "FrequencyGrid.h"
#include "ReportName.h"
#include "ServerAddress.h"
#include "Verdict.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSet>

#include <cfloat>
#include <cmath>
#include <functional>

namespace SetupFile {

namespace {

enum class Applies { Both, Power, Spur };
enum class Type { Number, Integer, Bool };

// One field of a measurement, with the range and decimals of its spin box in the window.
struct Field
{
    const char *key;
    Applies applies;
    Type type;
    double min;
    double max;
    int decimals;
    const char *unit;
    std::function<double(const MeasurementSetup &)> get;
    std::function<void(MeasurementSetup &, double)> set;
};

const QVector<Field> &fields()
{
    using M = MeasurementSetup;
    static const QVector<Field> table{
        {"start", Applies::Both, Type::Number, 0, 30001, 6, "MHz",
         [](const M &m) { return m.start; }, [](M &m, double v) { m.start = v; }},
        {"stop", Applies::Both, Type::Number, 0, 30001, 6, "MHz",
         [](const M &m) { return m.stop; }, [](M &m, double v) { m.stop = v; }},
        {"points", Applies::Both, Type::Integer, 0, 300000, 0, "points",
         [](const M &m) { return double(m.points); }, [](M &m, double v) { m.points = quint64(v); }},
        {"step", Applies::Both, Type::Number, 0, 22000, 9, "MHz",
         [](const M &m) { return m.step; }, [](M &m, double v) { m.step = v; }},
        {"power", Applies::Both, Type::Number, -120, 30, 1, "dBm",
         [](const M &m) { return m.power; }, [](M &m, double v) { m.power = v; }},
        {"delay", Applies::Both, Type::Integer, 0, 5000, 0, "ms",
         [](const M &m) { return double(m.delay); }, [](M &m, double v) { m.delay = int(v); }},
        {"cycle", Applies::Both, Type::Bool, 0, 1, 0, "",
         [](const M &m) { return m.cycle ? 1.0 : 0.0; }, [](M &m, double v) { m.cycle = v != 0; }},
        {"powerStep", Applies::Both, Type::Integer, 1, 99, 0, "dB",
         [](const M &m) { return double(m.powerStep); }, [](M &m, double v) { m.powerStep = int(v); }},
        {"oneFrequency", Applies::Power, Type::Bool, 0, 1, 0, "",
         [](const M &m) { return m.oneFrequency ? 1.0 : 0.0; },
         [](M &m, double v) { m.oneFrequency = v != 0; }},
        {"fetchValues", Applies::Power, Type::Bool, 0, 1, 0, "",
         [](const M &m) { return m.fetchValues ? 1.0 : 0.0; },
         [](M &m, double v) { m.fetchValues = v != 0; }},
        {"span", Applies::Spur, Type::Number, 0, 1000, 1, "MHz",
         [](const M &m) { return m.span; }, [](M &m, double v) { m.span = v; }},
        {"displayLine", Applies::Spur, Type::Number, 0, 100, 1, "dB",
         [](const M &m) { return m.displayLine; }, [](M &m, double v) { m.displayLine = v; }},
    };
    return table;
}

bool appliesTo(const Field &field, MeasurementSetup::Kind kind)
{
    return field.applies == Applies::Both
        || (field.applies == Applies::Power) == (kind == MeasurementSetup::Kind::Power);
}

const QStringList measurementKeys{QStringLiteral("kind"), QStringLiteral("run"), QStringLiteral("grid"),
                                   QStringLiteral("limits")};

bool isMeasurementKey(const QString &key)
{
    if (measurementKeys.contains(key))
        return true;
    for (const Field &field : fields())
        if (key == QLatin1String(field.key))
            return true;
    return false;
}

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("true or false");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a text");
    case QJsonValue::Array: return QStringLiteral("a list");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("nothing");
}

QString patternRefusal(const QString &pattern)
{
    const QRegularExpression expression(pattern);
    if (expression.isValid())
        return QString();
    return QStringLiteral("unit.serialPattern: \"%1\" is not a valid regular expression (%2 at character %3)")
        .arg(pattern, expression.errorString())
        .arg(expression.patternErrorOffset());
}

// The checks of one file; the first fault found ends them.
class Checker
{
public:
    QString error;

    bool fail(const QString &key, const QString &what)
    {
        if (error.isEmpty())
            error = key.isEmpty() ? what : key + QStringLiteral(": ") + what;
        return false;
    }

    bool onlyKnownKeys(const QJsonObject &object, const QString &place, const QStringList &known)
    {
        for (auto it = object.begin(); it != object.end(); ++it)
            if (!known.contains(it.key()))
                return fail(place + it.key(), QStringLiteral("unknown key"));
        return true;
    }

    bool text(const QJsonObject &object, const QString &place, const QString &key, QString *out,
              bool required, const QStringList &choices = {})
    {
        const QJsonValue value = object.value(key);
        if (value.isUndefined()) {
            if (required)
                return fail(place + key, QStringLiteral("missing"));
            return true;
        }
        if (!value.isString())
            return fail(place + key, QStringLiteral("must be a text, not %1").arg(typeName(value)));
        const QString s = value.toString();
        if (!choices.isEmpty()) {
            if (!choices.contains(s))
                return fail(place + key, QStringLiteral("\"%1\" is not one of %2")
                                             .arg(s, QLatin1Char('"') + choices.join(QStringLiteral("\", \""))
                                                         + QLatin1Char('"')));
        } else if (s.trimmed().isEmpty()) {
            return fail(place + key, QStringLiteral("is empty"));
        } else if (s.size() > 255) {
            return fail(place + key, QStringLiteral("is longer than 255 characters"));
        } else {
            for (const QChar c : s)
                if (c.category() == QChar::Other_Control)
                    return fail(place + key, QStringLiteral("holds a control character"));
        }
        *out = s;
        return true;
    }

    bool field(const QJsonObject &object, const QString &place, const Field &f, MeasurementSetup &m)
    {
        const QString key = QLatin1String(f.key);
        const QJsonValue value = object.value(key);
        if (value.isUndefined())
            return true;
        if (f.type == Type::Bool) {
            if (!value.isBool())
                return fail(place + key, QStringLiteral("must be true or false, not %1").arg(typeName(value)));
            f.set(m, value.toBool() ? 1 : 0);
            return true;
        }
        if (!value.isDouble())
            return fail(place + key, QStringLiteral("must be a number, not %1").arg(typeName(value)));
        const double v = value.toDouble();
        const QString unit = *f.unit ? QStringLiteral(" ") + QLatin1String(f.unit) : QString();
        if (!(v >= f.min && v <= f.max))
            return fail(place + key, QStringLiteral("%1 is out of range (%2 to %3%4)")
                                         .arg(QString::number(v, 'g', 15), Verdict::decimalText(f.min, 0),
                                              Verdict::decimalText(f.max, 0), unit));
        const double scaled = v * std::pow(10.0, f.decimals);
        // Only the rounding of the decimal text may part the value from the spin box's grid.
        if (std::fabs(scaled - std::round(scaled)) > 1e-6 + 16 * DBL_EPSILON * std::fabs(scaled)) {
            if (f.decimals == 0)
                return fail(place + key, QStringLiteral("%1 must be a whole number").arg(QString::number(v, 'g', 15)));
            return fail(place + key, QStringLiteral("%1 has more than %2 decimal%3")
                                         .arg(QString::number(v, 'g', 15)).arg(f.decimals)
                                         .arg(f.decimals == 1 ? QString() : QStringLiteral("s")));
        }
        f.set(m, std::round(scaled) / std::pow(10.0, f.decimals));
        return true;
    }

    bool measurement(const QJsonObject &object, const QString &place, MeasurementSetup *out)
    {
        QString kindText;
        if (!text(object, place, QStringLiteral("kind"), &kindText, true,
                  {QStringLiteral("power"), QStringLiteral("spur")}))
            return false;
        const auto kind = kindText == QLatin1String("power") ? MeasurementSetup::Kind::Power
                                                              : MeasurementSetup::Kind::Spur;
        MeasurementSetup m = MeasurementSetup::defaults(kind);
        QStringList known = measurementKeys;
        for (const Field &f : fields())
            if (appliesTo(f, kind))
                known << QLatin1String(f.key);
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!known.contains(it.key())) {
                return fail(place + it.key(), isMeasurementKey(it.key())
                                                  ? QStringLiteral("not a field of a %1 measurement").arg(kindText)
                                                  : QStringLiteral("unknown key"));
            }
        }
        const QJsonValue run = object.value(QStringLiteral("run"));
        if (!run.isUndefined() && !run.isBool())
            return fail(place + QStringLiteral("run"), QStringLiteral("must be true or false, not %1").arg(typeName(run)));
        m.run = run.toBool(true);
        for (const Field &f : fields())
            if (appliesTo(f, kind) && !field(object, place, f, m))
                return false;
        QString grid;
        if (!text(object, place, QStringLiteral("grid"), &grid, false,
                  {QStringLiteral("points"), QStringLiteral("step")}))
            return false;
        if (grid.isEmpty()) {
            // A setup written by hand names the one it means: a step alone divides by step.
            m.pointsMode = !(object.contains(QStringLiteral("step")) && !object.contains(QStringLiteral("points")));
        } else {
            m.pointsMode = grid == QLatin1String("points");
        }
        if (!limits(object, place, m))
            return false;
        *out = m;
        return true;
    }

    // A mask: a non-empty list of [frequency MHz, level] pairs; check() judges their order.
    bool mask(const QJsonObject &object, const QString &place, const QString &key, LimitMask *out)
    {
        const QJsonValue value = object.value(key);
        if (value.isUndefined())
            return true;
        if (!value.isArray())
            return fail(place + key, QStringLiteral("must be a list of [frequency MHz, level], not %1").arg(typeName(value)));
        const QJsonArray array = value.toArray();
        if (array.isEmpty())
            return fail(place + key, QStringLiteral("is empty"));
        LimitMask mask;
        for (int i = 0; i < array.size(); ++i) {
            const QJsonArray pair = array.at(i).toArray();
            if (!array.at(i).isArray() || pair.size() != 2 || !pair.at(0).isDouble() || !pair.at(1).isDouble())
                return fail(QStringLiteral("%1%2[%3]").arg(place, key).arg(i),
                            QStringLiteral("must be [frequency MHz, level]"));
            mask << MaskPoint{pair.at(0).toDouble(), pair.at(1).toDouble()};
        }
        *out = mask;
        return true;
    }

    // "limits": a power measurement's upper and lower judge the reading; a spur measurement's
    // "carrier" holds those of the carrier, beside maxSpur. relativeTo and margin sit beside the
    // masks for both kinds (maxSpur is in dBc whatever relativeTo says). Checked against the
    // measurement's own range as the overrides left it.
    bool limits(const QJsonObject &object, const QString &place, MeasurementSetup &m)
    {
        const QJsonValue value = object.value(QStringLiteral("limits"));
        if (value.isUndefined())
            return true;
        const QString at = place + QStringLiteral("limits");
        if (!value.isObject())
            return fail(at, QStringLiteral("must be an object, not %1").arg(typeName(value)));
        const QJsonObject section = value.toObject();
        const bool spur = m.kind == MeasurementSetup::Kind::Spur;
        const QStringList common{QStringLiteral("relativeTo"), QStringLiteral("margin")};
        const QStringList power{QStringLiteral("upper"), QStringLiteral("lower")};
        const QStringList spurs{QStringLiteral("maxSpur"), QStringLiteral("carrier")};
        for (auto it = section.begin(); it != section.end(); ++it) {
            if (common.contains(it.key()) || (spur ? spurs : power).contains(it.key()))
                continue;
            if ((spur ? power : spurs).contains(it.key()))
                return fail(at + QLatin1Char('.') + it.key(),
                            spur ? QStringLiteral("not a limit of a spur measurement (the carrier's go in \"carrier\")")
                                 : QStringLiteral("not a limit of a power measurement"));
            return fail(at + QLatin1Char('.') + it.key(), QStringLiteral("unknown key"));
        }
        MeasurementLimits l;
        l.present = true;
        const QString inside = at + QLatin1Char('.');
        QString relative;
        if (!text(section, inside, QStringLiteral("relativeTo"), &relative, false,
                  {QStringLiteral("absolute"), QStringLiteral("output")}))
            return false;
        l.relativeTo = relative == QLatin1String("output") ? MeasurementLimits::RelativeTo::Output
                                                           : MeasurementLimits::RelativeTo::Absolute;
        const QJsonValue margin = section.value(QStringLiteral("margin"));
        if (!margin.isUndefined() && !margin.isDouble())
            return fail(inside + QStringLiteral("margin"), QStringLiteral("must be a number, not %1").arg(typeName(margin)));
        l.margin = margin.toDouble(0);
        if (spur) {
            QJsonObject carrier;
            if (!instrument(section, QStringLiteral("carrier"), power, &carrier, inside))
                return false;
            if (!mask(section, inside, QStringLiteral("maxSpur"), &l.maxSpur)
                || !mask(carrier, inside + QStringLiteral("carrier."), QStringLiteral("upper"), &l.upper)
                || !mask(carrier, inside + QStringLiteral("carrier."), QStringLiteral("lower"), &l.lower))
                return false;
        } else if (!mask(section, inside, QStringLiteral("upper"), &l.upper)
                   || !mask(section, inside, QStringLiteral("lower"), &l.lower)) {
            return false;
        }
        // One frequency alone is the start's.
        const bool one = !spur && m.oneFrequency;
        const QString why = Verdict::check(l, spur, m.start, one ? m.start : m.stop);
        if (!why.isEmpty())
            return fail(QString(), inside + why);
        m.limits = l;
        return true;
    }

    bool setup(const QJsonObject &root, BenchSetup *out)
    {
        const QJsonValue format = root.value(QStringLiteral("format"));
        if (format.isUndefined())
            return fail(QStringLiteral("format"), QStringLiteral("missing (this program writes \"format\": %1)").arg(currentFormat));
        if (!format.isDouble() || format.toDouble() != std::floor(format.toDouble()) || format.toDouble() < 1)
            return fail(QStringLiteral("format"), QStringLiteral("must be a whole number from 1"));
        if (format.toDouble() > currentFormat)
            return fail(QStringLiteral("format"), QStringLiteral("%1 is newer than this program reads (%2)")
                                                       .arg(Verdict::decimalText(format.toDouble(), 0)).arg(currentFormat));
        const bool sequence = root.contains(QStringLiteral("measurements"));
        QStringList known{QStringLiteral("format"), QStringLiteral("synthesizer"), QStringLiteral("powerMeter"),
                          QStringLiteral("analyzer"), QStringLiteral("store"), QStringLiteral("unit"),
                          QStringLiteral("corrections"), QStringLiteral("report"), QStringLiteral("measurements")};
        for (auto it = root.begin(); it != root.end(); ++it) {
            if (known.contains(it.key()))
                continue;
            if (isMeasurementKey(it.key())) {
                if (sequence)
                    return fail(it.key(), QStringLiteral("belongs in an entry of \"measurements\""));
                continue;
            }
            return fail(it.key(), QStringLiteral("unknown key"));
        }

        BenchSetup s;
        if (!instruments(root, &s) || !store(root, &s) || !unit(root, &s) || !corrections(root, &s)
            || !text(root, QString(), QStringLiteral("report"), &s.reportName, false))
            return false;
        if (const QString why = ReportName::refusal(s.reportName); !s.reportName.isEmpty() && !why.isEmpty())
            return fail(QStringLiteral("report"), why);
        if (sequence) {
            const QJsonValue list = root.value(QStringLiteral("measurements"));
            if (!list.isArray())
                return fail(QStringLiteral("measurements"), QStringLiteral("must be a list, not %1").arg(typeName(list)));
            const QJsonArray array = list.toArray();
            if (array.isEmpty())
                return fail(QStringLiteral("measurements"), QStringLiteral("is empty"));
            for (int i = 0; i < array.size(); ++i) {
                const QString place = QStringLiteral("measurements[%1]").arg(i);
                if (!array.at(i).isObject())
                    return fail(place, QStringLiteral("must be an object, not %1").arg(typeName(array.at(i))));
                MeasurementSetup m;
                if (!measurement(array.at(i).toObject(), place + QLatin1Char('.'), &m))
                    return false;
                s.measurements << m;
            }
        } else if (root.contains(QStringLiteral("kind"))) {
            QJsonObject own;
            for (auto it = root.begin(); it != root.end(); ++it)
                if (isMeasurementKey(it.key()))
                    own.insert(it.key(), it.value());
            MeasurementSetup m;
            if (!measurement(own, QString(), &m))
                return false;
            s.measurements << m;
        } else {
            for (auto it = root.begin(); it != root.end(); ++it)
                if (isMeasurementKey(it.key()))
                    return fail(QStringLiteral("kind"), QStringLiteral("missing (\"power\" or \"spur\"), needed by \"%1\"").arg(it.key()));
        }
        *out = s;
        return true;
    }

    // An optional section (an instrument's, the store's, a carrier's limits): an object of the
    // given keys.
    bool instrument(const QJsonObject &root, const QString &name, const QStringList &keys, QJsonObject *object,
                    const QString &place = QString())
    {
        const QJsonValue value = root.value(name);
        if (value.isUndefined())
            return true;
        if (!value.isObject())
            return fail(place + name, QStringLiteral("must be an object, not %1").arg(typeName(value)));
        *object = value.toObject();
        return onlyKnownKeys(*object, place + name + QLatin1Char('.'), keys);
    }

    bool instruments(const QJsonObject &root, BenchSetup *s)
    {
        QJsonObject synthesizer;
        if (!instrument(root, QStringLiteral("synthesizer"), {QStringLiteral("transport"), QStringLiteral("address")},
                        &synthesizer))
            return false;
        if (root.contains(QStringLiteral("synthesizer"))) {
            QString transport;
            if (!text(synthesizer, QStringLiteral("synthesizer."), QStringLiteral("transport"), &transport, true,
                      {QStringLiteral("lan"), QStringLiteral("serial"), QStringLiteral("hid")})
                || !text(synthesizer, QStringLiteral("synthesizer."), QStringLiteral("address"),
                         &s->synthesizerAddress, true))
                return false;
            s->hasSynthesizer = true;
            s->transport = transport == QLatin1String("lan")      ? BenchSetup::Transport::Lan
                         : transport == QLatin1String("serial") ? BenchSetup::Transport::Serial
                                                                : BenchSetup::Transport::Hid;
        }
        QJsonObject meter;
        if (!instrument(root, QStringLiteral("powerMeter"), {QStringLiteral("address"), QStringLiteral("channel")},
                        &meter))
            return false;
        if (root.contains(QStringLiteral("powerMeter"))) {
            if (!text(meter, QStringLiteral("powerMeter."), QStringLiteral("address"), &s->powerMeterAddress, true)
                || !text(meter, QStringLiteral("powerMeter."), QStringLiteral("channel"), &s->channel, false,
                         {QStringLiteral("A"), QStringLiteral("B")}))
                return false;
            s->hasPowerMeter = true;
        }
        QJsonObject analyzer;
        if (!instrument(root, QStringLiteral("analyzer"), {QStringLiteral("address"), QStringLiteral("model")},
                        &analyzer))
            return false;
        if (root.contains(QStringLiteral("analyzer"))) {
            QString model = QStringLiteral("rs");
            if (!text(analyzer, QStringLiteral("analyzer."), QStringLiteral("address"), &s->analyzerAddress, true)
                || !text(analyzer, QStringLiteral("analyzer."), QStringLiteral("model"), &model, false,
                         {QStringLiteral("rs"), QStringLiteral("kvd4471b")}))
                return false;
            s->hasAnalyzer = true;
            s->rohdeSchwarz = model == QLatin1String("rs");
        }
        return true;
    }

    // The results store: both keys optional; a server address is checked as --store checks it.
    bool store(const QJsonObject &root, BenchSetup *s)
    {
        QJsonObject section;
        if (!instrument(root, QStringLiteral("store"),
                        {QStringLiteral("address"), QStringLiteral("station"), QStringLiteral("identify")}, &section))
            return false;
        if (!root.contains(QStringLiteral("store")))
            return true;
        const QString place = QStringLiteral("store.");
        if (!text(section, place, QStringLiteral("address"), &s->storeAddress, false)
            || !text(section, place, QStringLiteral("station"), &s->station, false))
            return false;
        const QJsonValue identify = section.value(QStringLiteral("identify"));
        if (!identify.isUndefined() && !identify.isBool())
            return fail(place + QStringLiteral("identify"),
                        QStringLiteral("must be true or false, not %1").arg(typeName(identify)));
        if (identify.isBool())
            s->identify = identify.toBool() ? BenchSetup::Identify::On : BenchSetup::Identify::Off;
        if (ServerAddress::isServerAddress(s->storeAddress)) {
            QString why;
            ServerAddress::parse(s->storeAddress, &why);
            if (!why.isEmpty())
                return fail(place + QStringLiteral("address"), why);
        }
        s->hasStore = true;
        return true;
    }

    // The unit under test: every key optional; a serial is matched against the pattern when a
    // run starts (unitRefusal), since the command line or the window gives it as a rule.
    bool unit(const QJsonObject &root, BenchSetup *s)
    {
        QJsonObject section;
        if (!instrument(root, QStringLiteral("unit"),
                        {QStringLiteral("serial"), QStringLiteral("serialPattern"), QStringLiteral("required"),
                         QStringLiteral("operator")},
                        &section))
            return false;
        const QString place = QStringLiteral("unit.");
        if (!text(section, place, QStringLiteral("serial"), &s->unitSerial, false)
            || !text(section, place, QStringLiteral("serialPattern"), &s->serialPattern, false)
            || !text(section, place, QStringLiteral("operator"), &s->operatorName, false))
            return false;
        const QString why = patternRefusal(s->serialPattern);
        if (!why.isEmpty())
            return fail(QString(), why);
        const QJsonValue required = section.value(QStringLiteral("required"));
        if (!required.isUndefined() && !required.isBool())
            return fail(place + QStringLiteral("required"),
                        QStringLiteral("must be true or false, not %1").arg(typeName(required)));
        s->serialRequired = required.toBool(false);
        return true;
    }

    // "corrections": the path tables, each a file name, a list of [frequency MHz, loss dB] or an
    // object with "file" or "points" and the optional "interpolation" and "beyond". Inline
    // points are checked here as a file's are when it is read; files are read by
    // SetupCorrections::load, since reading a setup does no I/O.
    bool corrections(const QJsonObject &root, BenchSetup *s)
    {
        QJsonObject section;
        if (!instrument(root, QStringLiteral("corrections"),
                        {QStringLiteral("powerMeter"), QStringLiteral("analyzer"), QStringLiteral("enforceDue")},
                        &section))
            return false;
        const QString place = QStringLiteral("corrections.");
        QJsonObject meter;
        if (!instrument(section, QStringLiteral("powerMeter"), {QStringLiteral("A"), QStringLiteral("B")}, &meter, place)
            || !correction(meter, place + QStringLiteral("powerMeter."), QStringLiteral("A"), &s->corrections.meterA)
            || !correction(meter, place + QStringLiteral("powerMeter."), QStringLiteral("B"), &s->corrections.meterB)
            || !correction(section, place, QStringLiteral("analyzer"), &s->corrections.analyzer))
            return false;
        const QJsonValue enforce = section.value(QStringLiteral("enforceDue"));
        if (!enforce.isUndefined() && !enforce.isBool())
            return fail(place + QStringLiteral("enforceDue"),
                        QStringLiteral("must be true or false, not %1").arg(typeName(enforce)));
        s->corrections.enforceDue = enforce.toBool(false);
        return true;
    }

    bool correction(const QJsonObject &parent, const QString &place, const QString &key, CorrectionSource *out)
    {
        const QJsonValue value = parent.value(key);
        const QString at = place + key;
        CorrectionSource source;
        QString pointsPlace = at;
        if (value.isUndefined()) {
            return true;
        } else if (value.isString()) {
            if (!text(parent, place, key, &source.file, true))
                return false;
        } else if (value.isArray()) {
            if (!lossPoints(value.toArray(), at, &source.points))
                return false;
        } else if (value.isObject()) {
            const QJsonObject entry = value.toObject();
            const QString inside = at + QLatin1Char('.');
            if (!onlyKnownKeys(entry, inside, {QStringLiteral("file"), QStringLiteral("points"),
                                               QStringLiteral("interpolation"), QStringLiteral("beyond")}))
                return false;
            const bool file = entry.contains(QStringLiteral("file"));
            if (file == entry.contains(QStringLiteral("points")))
                return fail(at, file ? QStringLiteral("gives \"file\" and \"points\"; a table is one or the other")
                                     : QStringLiteral("needs \"file\" or \"points\""));
            QString interpolation;
            QString beyond;
            if (!text(entry, inside, QStringLiteral("file"), &source.file, false)
                || !text(entry, inside, QStringLiteral("interpolation"), &interpolation, false,
                         {QStringLiteral("linear"), QStringLiteral("log")})
                || !text(entry, inside, QStringLiteral("beyond"), &beyond, false,
                         {QStringLiteral("refuse"), QStringLiteral("hold")}))
                return false;
            if (!file) {
                pointsPlace = inside + QStringLiteral("points");
                const QJsonValue points = entry.value(QStringLiteral("points"));
                if (!points.isArray())
                    return fail(pointsPlace, QStringLiteral("must be a list of [frequency MHz, loss dB], not %1")
                                                 .arg(typeName(points)));
                if (!lossPoints(points.toArray(), pointsPlace, &source.points))
                    return false;
            }
            if (interpolation == QLatin1String("log"))
                source.interpolation = Corrections::Interpolation::Log;
            if (beyond == QLatin1String("hold"))
                source.beyond = Corrections::Beyond::Hold;
        } else {
            return fail(at, QStringLiteral("must be a file name, a list of [frequency MHz, loss dB] or an object, not %1")
                                .arg(typeName(value)));
        }
        if (source.file.isEmpty()) {
            const Corrections::Parsed table =
                Corrections::fromPoints(source.points, pointsPlace, source.interpolation, source.beyond);
            if (!table.ok())
                return fail(QString(), table.error);
        }
        *out = source;
        return true;
    }

    bool lossPoints(const QJsonArray &array, const QString &place, QVector<Corrections::LossPoint> *out)
    {
        for (int i = 0; i < array.size(); ++i) {
            const QJsonArray pair = array.at(i).toArray();
            if (!array.at(i).isArray() || pair.size() != 2 || !pair.at(0).isDouble() || !pair.at(1).isDouble())
                return fail(QStringLiteral("%1[%2]").arg(place).arg(i), QStringLiteral("must be [frequency MHz, loss dB]"));
            out->append({pair.at(0).toDouble(), pair.at(1).toDouble()});
        }
        return true;
    }
};

// One step of an override's key: a name, and an index when it names an entry of a list.
struct PathStep
{
    QString name;
    int index = -1;
};

bool parsePath(const QString &key, QVector<PathStep> *steps)
{
    for (const QString &part : key.split(QLatin1Char('.'))) {
        // "name" or "name[index]": a letter, then letters and digits; an index of up to six digits.
        const int bracket = part.indexOf(QLatin1Char('['));
        const QString name = bracket < 0 ? part : part.left(bracket);
        if (name.isEmpty() || !(name.at(0).isLetter() && name.at(0).unicode() < 128))
            return false;
        for (const QChar c : name)
            if (c.unicode() >= 128 || !c.isLetterOrNumber())
                return false;
        PathStep step{name, -1};
        if (bracket >= 0) {
            const QString index = part.mid(bracket + 1);
            if (!index.endsWith(QLatin1Char(']')) || index.size() < 2 || index.size() > 7)
                return false;
            for (const QChar c : index.left(index.size() - 1))
                if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                    return false;
            step.index = index.left(index.size() - 1).toInt();
        }
        steps->append(step);
    }
    return !steps->isEmpty();
}

// Whether a key appears twice in one object of the text, and the first that does: a setup that
// says a thing twice is refused rather than read one way (the JSON reader keeps the last).
// Texts that are not JSON give false here; the reader says what is wrong with them.
// A key as JSON reads it: "d\u0065lay" is "delay".
QString keyText(const QByteArray &raw)
{
    if (!raw.contains('\\'))
        return QString::fromUtf8(raw);
    const QJsonDocument document = QJsonDocument::fromJson("[\"" + raw + "\"]");
    return document.isArray() ? document.array().at(0).toString() : QString::fromUtf8(raw);
}

bool duplicateKey(const QByteArray &bytes, QString *key)
{
    struct Level
    {
        bool object = false;
        bool expectKey = false;
        QSet<QString> keys;
    };
    QVector<Level> levels;
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '"') {
            const int begin = ++i;
            while (i < bytes.size() && bytes.at(i) != '"')
                i += bytes.at(i) == '\\' ? 2 : 1;
            if (i >= bytes.size())
                return false;
            if (!levels.isEmpty() && levels.last().object && levels.last().expectKey) {
                const QString name = keyText(bytes.mid(begin, i - begin));
                if (levels.last().keys.contains(name)) {
                    *key = name;
                    return true;
                }
                levels.last().keys.insert(name);
                levels.last().expectKey = false;
            }
        } else if (c == '{' || c == '[') {
            levels.append(Level{c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (levels.isEmpty())
                return false;
            levels.removeLast();
        } else if (c == ',' && !levels.isEmpty() && levels.last().object) {
            levels.last().expectKey = true;
        }
    }
    return false;
}

QJsonValue overrideValue(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson("[" + text.toUtf8() + "]", &error);
    if (error.error == QJsonParseError::NoError && document.isArray() && document.array().size() == 1) {
        const QJsonValue value = document.array().at(0);
        if (!value.isArray() && !value.isObject())
            return value;
    }
    return QJsonValue(text);
}

// Sets the value at the path below object; null removes the key. False with the reason when
// the path leads through something that is not an object or past the end of a list.
bool setAt(QJsonObject &object, const QVector<PathStep> &steps, int at, const QJsonValue &value, QString *why)
{
    const PathStep &step = steps.at(at);
    const bool last = at == steps.size() - 1;
    if (step.index < 0) {
        if (last) {
            if (value.isNull())
                object.remove(step.name);
            else
                object.insert(step.name, value);
            return true;
        }
        QJsonValue child = object.value(step.name);
        if (child.isUndefined())
            child = QJsonObject();
        if (!child.isObject()) {
            *why = QStringLiteral("%1 is not an object").arg(step.name);
            return false;
        }
        QJsonObject inner = child.toObject();
        if (!setAt(inner, steps, at + 1, value, why))
            return false;
        object.insert(step.name, inner);
        return true;
    }
    const QJsonValue child = object.value(step.name);
    if (!child.isArray()) {
        *why = QStringLiteral("the setup has no list \"%1\"").arg(step.name);
        return false;
    }
    QJsonArray array = child.toArray();
    if (step.index >= array.size()) {
        *why = QStringLiteral("the setup's \"%1\" has %2 entr%3 (counted from 0)")
                   .arg(step.name).arg(array.size()).arg(array.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies"));
        return false;
    }
    if (last) {
        *why = QStringLiteral("a whole entry of \"%1\" cannot be set").arg(step.name);
        return false;
    }
    if (!array.at(step.index).isObject()) {
        *why = QStringLiteral("%1[%2] is not an object").arg(step.name).arg(step.index);
        return false;
    }
    QJsonObject inner = array.at(step.index).toObject();
    if (!setAt(inner, steps, at + 1, value, why))
        return false;
    array.replace(step.index, inner);
    object.insert(step.name, array);
    return true;
}

// A number of a mask or margin: the shortest text that reads back to the same number.
QString exactNumber(double value)
{
    const QString text = QString::number(value, 'f', QLocale::FloatingPointShortest);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString maskText(const LimitMask &mask)
{
    QStringList pairs;
    for (const MaskPoint &p : mask)
        pairs << QStringLiteral("[%1, %2]").arg(exactNumber(p.frequency), exactNumber(p.level));
    return QLatin1Char('[') + pairs.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QString limitLines(const MeasurementSetup &m, const QString &indent)
{
    const MeasurementLimits &l = m.limits;
    QStringList carrier;
    if (!l.upper.isEmpty())
        carrier << QStringLiteral("\"upper\": ") + maskText(l.upper);
    if (!l.lower.isEmpty())
        carrier << QStringLiteral("\"lower\": ") + maskText(l.lower);
    QStringList lines;
    if (m.kind == MeasurementSetup::Kind::Spur) {
        if (!l.maxSpur.isEmpty())
            lines << indent + QStringLiteral("\"maxSpur\": ") + maskText(l.maxSpur);
        if (!carrier.isEmpty())
            lines << indent + QStringLiteral("\"carrier\": {") + carrier.join(QStringLiteral(", ")) + QLatin1Char('}');
    } else {
        for (const QString &line : carrier)
            lines << indent + line;
    }
    lines << indent + QStringLiteral("\"relativeTo\": \"%1\"")
                          .arg(l.relativeTo == MeasurementLimits::RelativeTo::Output ? QStringLiteral("output")
                                                                                    : QStringLiteral("absolute"));
    lines << indent + QStringLiteral("\"margin\": ") + exactNumber(l.margin);
    return lines.join(QStringLiteral(",\n"));
}

void writeMeasurement(QStringList &lines, const MeasurementSetup &m, const QString &indent, bool withRun)
{
    lines << indent + QStringLiteral("\"kind\": \"%1\"").arg(kindName(m.kind));
    if (withRun && !m.run)
        lines << indent + QStringLiteral("\"run\": false");
    lines << indent + QStringLiteral("\"grid\": \"%1\"").arg(m.pointsMode ? QStringLiteral("points") : QStringLiteral("step"));
    for (const Field &f : fields()) {
        if (!appliesTo(f, m.kind))
            continue;
        const QString value = f.type == Type::Bool ? (f.get(m) != 0 ? QStringLiteral("true") : QStringLiteral("false"))
                                                   : Verdict::decimalText(f.get(m), f.decimals);
        lines << indent + QStringLiteral("\"%1\": %2").arg(QLatin1String(f.key), value);
    }
    if (m.limits.present)
        lines << indent + QStringLiteral("\"limits\": {\n") + limitLines(m, indent + QStringLiteral("  "))
                     + QLatin1Char('\n') + indent + QLatin1Char('}');
}

// The transport as the file names it.
QString transportName(BenchSetup::Transport transport)
{
    switch (transport) {
    case BenchSetup::Transport::Lan: return QStringLiteral("lan");
    case BenchSetup::Transport::Serial: return QStringLiteral("serial");
    case BenchSetup::Transport::Hid: break;
    }
    return QStringLiteral("hid");
}

QString quoted(const QString &text)
{
    // QJsonDocument escapes a string exactly as JSON wants it.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// A path's table as the setup gave it: the short forms where interpolation and ends are the defaults.
QString correctionText(const CorrectionSource &source)
{
    QString table;
    if (source.file.isEmpty()) {
        QStringList pairs;
        for (const Corrections::LossPoint &p : source.points)
            pairs << QStringLiteral("[%1, %2]").arg(exactNumber(p.frequency), exactNumber(p.loss));
        table = QLatin1Char('[') + pairs.join(QStringLiteral(", ")) + QLatin1Char(']');
    } else {
        table = quoted(source.file);
    }
    QStringList keys;
    if (source.interpolation != Corrections::Interpolation::Linear)
        keys << QStringLiteral("\"interpolation\": \"%1\"").arg(Corrections::name(source.interpolation));
    if (source.beyond != Corrections::Beyond::Refuse)
        keys << QStringLiteral("\"beyond\": \"%1\"").arg(Corrections::name(source.beyond));
    if (keys.isEmpty())
        return table;
    keys.prepend((source.file.isEmpty() ? QStringLiteral("\"points\": ") : QStringLiteral("\"file\": ")) + table);
    return QLatin1Char('{') + keys.join(QStringLiteral(", ")) + QLatin1Char('}');
}

QString correctionsSection(const CorrectionsSetup &c)
{
    QStringList lines;
    QStringList meter;
    if (c.meterA.isSet())
        meter << QStringLiteral("\"A\": ") + correctionText(c.meterA);
    if (c.meterB.isSet())
        meter << QStringLiteral("\"B\": ") + correctionText(c.meterB);
    if (!meter.isEmpty())
        lines << QStringLiteral("    \"powerMeter\": {") + meter.join(QStringLiteral(", ")) + QLatin1Char('}');
    if (c.analyzer.isSet())
        lines << QStringLiteral("    \"analyzer\": ") + correctionText(c.analyzer);
    if (c.enforceDue)
        lines << QStringLiteral("    \"enforceDue\": true");
    return QStringLiteral("  \"corrections\": {\n") + lines.join(QStringLiteral(",\n")) + QStringLiteral("\n  }");
}

} // namespace

QString kindName(MeasurementSetup::Kind kind)
{
    return kind == MeasurementSetup::Kind::Power ? QStringLiteral("power") : QStringLiteral("spur");
}

Result read(const QByteArray &bytes, const QString &fileName, const QStringList &overrides)
{
    Result result;
    const auto failed = [&](const QString &what) {
        result.error = fileName + QStringLiteral(": ") + what;
        return result;
    };
    QString twice;
    if (duplicateKey(bytes, &twice))
        return failed(QStringLiteral("\"%1\": given twice in one object").arg(twice));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failed(QStringLiteral("not a JSON text (%1 at byte %2)").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return failed(QStringLiteral("must hold one JSON object"));
    QJsonObject root = document.object();
    for (const QString &assignment : overrides) {
        const int equals = assignment.indexOf(QLatin1Char('='));
        QVector<PathStep> steps;
        if (equals <= 0 || !parsePath(assignment.left(equals), &steps))
            return failed(QStringLiteral("--set %1: not key=value (keys such as power, synthesizer.address, "
                                         "measurements[1].delay)").arg(assignment));
        QJsonValue value = overrideValue(assignment.mid(equals + 1));
        // A serial number or a name is a text even when it is all digits.
        if (steps.size() == 2 && steps.at(0).name == QLatin1String("unit") && steps.at(0).index < 0
            && (steps.at(1).name == QLatin1String("serial") || steps.at(1).name == QLatin1String("operator"))
            && !value.isString() && !value.isNull())
            value = QJsonValue(assignment.mid(equals + 1));
        QString why;
        if (!setAt(root, steps, 0, value, &why))
            return failed(QStringLiteral("--set %1: %2").arg(assignment, why));
    }
    Checker checker;
    if (!checker.setup(root, &result.setup))
        return failed(checker.error);
    return result;
}

QByteArray write(const BenchSetup &setup)
{
    QStringList sections;
    sections << QStringLiteral("  \"format\": %1").arg(currentFormat);
    if (setup.hasSynthesizer) {
        sections << QStringLiteral("  \"synthesizer\": {\"transport\": \"%1\", \"address\": %2}")
                        .arg(transportName(setup.transport), quoted(setup.synthesizerAddress));
    }
    if (setup.hasPowerMeter) {
        QString meter = QStringLiteral("  \"powerMeter\": {\"address\": %1").arg(quoted(setup.powerMeterAddress));
        if (!setup.channel.isEmpty())
            meter += QStringLiteral(", \"channel\": %1").arg(quoted(setup.channel));
        sections << meter + QLatin1Char('}');
    }
    if (setup.hasAnalyzer)
        sections << QStringLiteral("  \"analyzer\": {\"address\": %1, \"model\": \"%2\"}")
                        .arg(quoted(setup.analyzerAddress),
                             setup.rohdeSchwarz ? QStringLiteral("rs") : QStringLiteral("kvd4471b"));
    if (setup.hasStore) {
        QStringList keys;
        if (!setup.storeAddress.isEmpty())
            keys << QStringLiteral("\"address\": ") + quoted(setup.storeAddress);
        if (!setup.station.isEmpty())
            keys << QStringLiteral("\"station\": ") + quoted(setup.station);
        if (setup.identify != BenchSetup::Identify::Unset)
            keys << QStringLiteral("\"identify\": ")
                        + (setup.identify == BenchSetup::Identify::On ? QStringLiteral("true") : QStringLiteral("false"));
        sections << QStringLiteral("  \"store\": {") + keys.join(QStringLiteral(", ")) + QLatin1Char('}');
    }
    QStringList unit;
    if (!setup.unitSerial.isEmpty())
        unit << QStringLiteral("\"serial\": ") + quoted(setup.unitSerial);
    if (!setup.serialPattern.isEmpty())
        unit << QStringLiteral("\"serialPattern\": ") + quoted(setup.serialPattern);
    if (setup.serialRequired)
        unit << QStringLiteral("\"required\": true");
    if (!setup.operatorName.isEmpty())
        unit << QStringLiteral("\"operator\": ") + quoted(setup.operatorName);
    if (!unit.isEmpty())
        sections << QStringLiteral("  \"unit\": {") + unit.join(QStringLiteral(", ")) + QLatin1Char('}');
    if (!setup.corrections.isEmpty())
        sections << correctionsSection(setup.corrections);
    if (!setup.reportName.isEmpty())
        sections << QStringLiteral("  \"report\": ") + quoted(setup.reportName);
    if (setup.measurements.size() == 1 && setup.measurements.first().run) {
        QStringList lines;
        writeMeasurement(lines, setup.measurements.first(), QStringLiteral("  "), false);
        sections << lines;
    } else if (!setup.measurements.isEmpty()) {
        QStringList entries;
        for (const MeasurementSetup &m : setup.measurements) {
            QStringList lines;
            writeMeasurement(lines, m, QStringLiteral("      "), true);
            entries << QStringLiteral("    {\n") + lines.join(QStringLiteral(",\n")) + QStringLiteral("\n    }");
        }
        sections << QStringLiteral("  \"measurements\": [\n") + entries.join(QStringLiteral(",\n"))
                        + QStringLiteral("\n  ]");
    }
    return (QStringLiteral("{\n") + sections.join(QStringLiteral(",\n")) + QStringLiteral("\n}\n")).toUtf8();
}

BenchSetup only(const BenchSetup &setup, int measurement)
{
    BenchSetup one = setup;
    one.measurements = {setup.measurements.at(measurement)};
    one.measurements.first().run = true;
    one.hasStore = false;
    one.storeAddress.clear();
    one.station.clear();
    one.identify = BenchSetup::Identify::Unset;
    // The unit and who measured it are the run's own fields; the record keeps the rules alone.
    one.unitSerial.clear();
    one.operatorName.clear();
    // Where this bench files its reports is no part of what was measured either.
    one.reportName.clear();
    return one;
}

QString describeInstruments(const BenchSetup &setup)
{
    QStringList lines;
    if (setup.hasSynthesizer) {
        lines << QStringLiteral("synthesizer: %1 %2").arg(transportName(setup.transport), setup.synthesizerAddress);
    }
    if (setup.hasPowerMeter)
        lines << QStringLiteral("power meter: lan %1, channel %2")
                     .arg(setup.powerMeterAddress, setup.channel.isEmpty() ? QStringLiteral("B (none chosen)") : setup.channel);
    if (setup.hasAnalyzer)
        lines << QStringLiteral("spectrum analyzer: lan %1, %2")
                     .arg(setup.analyzerAddress, setup.rohdeSchwarz ? QStringLiteral("R&S") : QStringLiteral("KVD4471B"));
    return lines.join(QLatin1Char('\n'));
}

QString unitRefusal(const BenchSetup &setup)
{
    const QString serial = setup.unitSerial;
    if (serial.isEmpty())
        return setup.serialRequired ? QStringLiteral("unit.serial: a serial number is required by this setup") : QString();
    if (serial.size() > 255)
        return QStringLiteral("unit.serial: is longer than 255 characters");
    for (const QChar c : serial)
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("unit.serial: holds a control character");
    if (setup.serialPattern.isEmpty())
        return QString();
    const QString why = patternRefusal(setup.serialPattern);
    if (!why.isEmpty())
        return why;
    // The whole serial must match: a pattern without anchors does not pass a serial that merely holds it.
    const QRegularExpression whole(QRegularExpression::anchoredPattern(setup.serialPattern));
    if (whole.match(serial).hasMatch())
        return QString();
    return QStringLiteral("unit.serial: %1 does not match the pattern %2").arg(quoted(serial), setup.serialPattern);
}

QString runnable(const BenchSetup &setup)
{
    bool any = false;
    for (int i = 0; i < setup.measurements.size(); ++i) {
        const MeasurementSetup &m = setup.measurements.at(i);
        if (!m.run)
            continue;
        any = true;
        const QString which = setup.measurements.size() == 1
                                  ? QStringLiteral("the %1 measurement").arg(kindName(m.kind))
                                  : QStringLiteral("measurements[%1] (%2)").arg(i).arg(kindName(m.kind));
        if (!setup.hasSynthesizer)
            return QStringLiteral("synthesizer: missing; %1 needs it").arg(which);
        if (m.kind == MeasurementSetup::Kind::Power && !setup.hasPowerMeter)
            return QStringLiteral("powerMeter: missing; %1 needs it").arg(which);
        if (m.kind == MeasurementSetup::Kind::Spur && !setup.hasAnalyzer)
            return QStringLiteral("analyzer: missing; %1 needs it").arg(which);
        // The one frequency of a power measurement is its start alone.
        const bool oneFrequency = m.kind == MeasurementSetup::Kind::Power && m.oneFrequency;
        const QString narrow = oneFrequency ? QString() : FrequencyGrid::refusal(m.pointsMode, m.start, m.stop, m.points);
        if (!narrow.isEmpty())
            return (setup.measurements.size() == 1 ? QString() : QStringLiteral("measurements[%1].").arg(i))
                 + QStringLiteral("points: ") + narrow;
    }
    return any ? QString() : QStringLiteral("no measurement to run");
}

} // namespace SetupFile

MeasurementSetup MeasurementSetup::defaults(Kind kind)
{
    MeasurementSetup m;
    m.kind = kind;
    if (kind == Kind::Spur) {
        m.start = 10000.0;
        m.points = 12001;
        m.step = 1.0;
        m.delay = 1700;
        m.fetchValues = false;
    }
    return m;
}

bool CorrectionSource::operator==(const CorrectionSource &other) const
{
    if (file != other.file || interpolation != other.interpolation || beyond != other.beyond
        || points.size() != other.points.size())
        return false;
    for (int i = 0; i < points.size(); ++i)
        if (points.at(i).frequency != other.points.at(i).frequency || points.at(i).loss != other.points.at(i).loss)
            return false;
    return true;
}

CorrectionSource &CorrectionsSetup::source(Corrections::Path path)
{
    Q_ASSERT(path != Corrections::Path::None);
    return path == Corrections::Path::MeterA ? meterA : path == Corrections::Path::MeterB ? meterB : analyzer;
}

const CorrectionSource &CorrectionsSetup::source(Corrections::Path path) const
{
    static const CorrectionSource none;
    switch (path) {
    case Corrections::Path::MeterA: return meterA;
    case Corrections::Path::MeterB: return meterB;
    case Corrections::Path::Analyzer: return analyzer;
    case Corrections::Path::None: break;
    }
    return none;
}

bool CorrectionsSetup::operator==(const CorrectionsSetup &other) const
{
    return meterA == other.meterA && meterB == other.meterB && analyzer == other.analyzer
        && enforceDue == other.enforceDue;
}
