#include "SetupCorrections.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace SetupCorrections {

namespace {

using Corrections::CorrectionTable;
using Corrections::Path;

// A table is a few hundred lines; a file many times larger is the wrong file, not a table.
constexpr qint64 largestTable = 1 << 20;

const Path paths[] = {Path::MeterA, Path::MeterB, Path::Analyzer};

QString keyOf(Path path)
{
    return QStringLiteral("corrections.") + Corrections::pathKey(path);
}

const CorrectionTable *find(const QVector<CorrectionTable> &tables, Path path)
{
    for (const CorrectionTable &table : tables)
        if (table.path == path)
            return &table;
    return nullptr;
}

// Reads one file as bytes; the error names it as the setup does.
bool readFile(const QString &name, const QString &folder, QByteArray *bytes, QString *why)
{
    QFile file(QDir(folder).filePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("%1: cannot be read (%2)").arg(name, file.errorString());
        return false;
    }
    *bytes = file.read(largestTable + 1);
    if (bytes->size() > largestTable) {
        *why = QStringLiteral("%1: larger than 1 MiB, which no correction table is").arg(name);
        return false;
    }
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("%1: cannot be read (%2)").arg(name, file.errorString());
        return false;
    }
    return true;
}

} // namespace

const Corrections::CorrectionTable *Loaded::table(Corrections::Path path) const
{
    return find(tables, path);
}

Corrections::Path pathOf(const BenchSetup &setup, const MeasurementSetup &measurement)
{
    if (measurement.kind == MeasurementSetup::Kind::Spur)
        return Path::Analyzer;
    return setup.channel == QLatin1String("A") ? Path::MeterA : Path::MeterB;
}

Loaded load(const BenchSetup &setup, const QString &setupFolder, const QDate &today)
{
    Loaded loaded;
    for (const Path path : paths) {
        const CorrectionSource &source = setup.corrections.source(path);
        if (!source.isSet())
            continue;
        Corrections::Parsed parsed;
        if (source.file.isEmpty()) {
            parsed = Corrections::fromPoints(source.points, keyOf(path), source.interpolation, source.beyond);
        } else {
            QByteArray bytes;
            QString why;
            if (!readFile(source.file, setupFolder, &bytes, &why)) {
                loaded.error = keyOf(path) + QStringLiteral(": ") + why;
                return loaded;
            }
            parsed = Corrections::parse(bytes, source.file, source.interpolation, source.beyond);
            if (!parsed.ok())
                parsed.error = keyOf(path) + QStringLiteral(": ") + parsed.error;
        }
        if (!parsed.ok()) {
            loaded.error = parsed.error;
            return loaded;
        }
        parsed.table.path = path;
        loaded.tables << parsed.table;
    }
    loaded.error = check(setup, loaded.tables, today, &loaded.warnings);
    return loaded;
}

QString check(const BenchSetup &setup, const QVector<CorrectionTable> &tables, const QDate &today,
              QStringList *warnings)
{
    QVector<Path> used;
    for (int i = 0; i < setup.measurements.size(); ++i) {
        const MeasurementSetup &m = setup.measurements.at(i);
        if (!m.run)
            continue;
        const Path path = pathOf(setup, m);
        const CorrectionTable *table = find(tables, path);
        const bool power = m.kind == MeasurementSetup::Kind::Power;
        const Path otherChannel = path == Path::MeterA ? Path::MeterB : Path::MeterA;
        // A table for the channel not read would leave the readings uncorrected without a word.
        if (!table && power && find(tables, otherChannel))
            return QStringLiteral("%1: missing; the power meter reads channel %2%3 and %4 is given")
                .arg(keyOf(path), path == Path::MeterA ? QStringLiteral("A") : QStringLiteral("B"),
                     setup.channel.isEmpty() ? QStringLiteral(" (none chosen)") : QString(), keyOf(otherChannel));
        if (!table)
            continue;
        double from = std::min(m.start, m.stop);
        double to = std::max(m.start, m.stop);
        if (power && m.oneFrequency) {
            from = m.start;
            to = m.start;
        } else if (!power) {
            // The analyzer's levels come from the whole span around each carrier.
            from = std::max(0.0, from - m.span / 2);
            to += m.span / 2;
        }
        const QString which = setup.measurements.size() == 1 ? QStringLiteral("the measurement")
                                                             : QStringLiteral("measurements[%1]").arg(i);
        const QString why = Corrections::uncovered(*table, from, to, which);
        if (!why.isEmpty())
            return keyOf(path) + QStringLiteral(": ") + why;
        if (!used.contains(path))
            used << path;
    }
    for (const Path path : paths) {
        const CorrectionTable *table = find(tables, path);
        if (!table || !used.contains(path))
            continue;
        const QString late = Corrections::dueWarning(*table, today);
        if (late.isEmpty())
            continue;
        if (setup.corrections.enforceDue)
            return keyOf(path) + QStringLiteral(": ") + late + QStringLiteral(" (\"enforceDue\": true refuses it)");
        *warnings << late;
    }
    return QString();
}

Loaded fromRecord(const BenchSetup &setup, const QList<RecordedTable> &recorded, const QDate &today)
{
    using namespace Corrections;
    Loaded loaded;
    // A run records the table of the path it read alone; the setup may name others, which it
    // never used.
    QList<Path> read;
    for (const MeasurementSetup &m : setup.measurements)
        if (m.run)
            read << pathOf(setup, m);
    BenchSetup used = setup;
    for (const Path path : {Path::MeterA, Path::MeterB, Path::Analyzer}) {
        if (!setup.corrections.source(path).isSet())
            continue;
        const auto it = std::find_if(recorded.cbegin(), recorded.cend(),
                                     [path](const RecordedTable &table) { return table.path == pathKey(path); });
        if (it == recorded.cend() && !read.contains(path)) {
            used.corrections.source(path) = CorrectionSource();
            continue;
        }
        if (it == recorded.cend()) {
            loaded.error = QStringLiteral("corrections.%1: the run's record keeps no table of it").arg(pathKey(path));
            return loaded;
        }
        Parsed parsed = parse(it->text, it->source,
                              it->interpolation == name(Interpolation::Log) ? Interpolation::Log : Interpolation::Linear,
                              it->beyond == name(Beyond::Hold) ? Beyond::Hold : Beyond::Refuse);
        if (!parsed.ok()) {
            loaded.error = QStringLiteral("corrections.%1: %2").arg(pathKey(path), parsed.error);
            return loaded;
        }
        parsed.table.path = path;
        parsed.table.source = it->source;
        loaded.tables << parsed.table;
    }
    loaded.error = check(used, loaded.tables, today, &loaded.warnings);
    return loaded;
}

} // namespace SetupCorrections
