// Fuzzes the reading of a correction table: it never crashes, and a table it accepts keeps its
// promises: the bytes as read, frequencies strictly ascending, losses within 100 dB, each point's
// own loss at its frequency, and a finite loss everywhere between the ends.

#include "Corrections.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace Corrections;
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    // The first byte picks the interpolation, so that both are fuzzed.
    const Interpolation interpolation = size > 0 && (data[0] & 1) ? Interpolation::Log : Interpolation::Linear;
    const Parsed parsed = parse(bytes, QStringLiteral("fuzz.csv"), interpolation);
    if (!parsed.ok()) {
        if (!parsed.error.startsWith(QLatin1String("fuzz.csv:")))
            std::abort();
        return 0;
    }
    const CorrectionTable &table = parsed.table;
    if (table.text != bytes || table.points.isEmpty()
        || table.sha256 != QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()))
        std::abort();
    for (int i = 0; i < table.points.size(); ++i) {
        const LossPoint &p = table.points.at(i);
        if (!(std::fabs(p.loss) <= 100) || !(p.frequency >= 0) || (i > 0 && !(p.frequency > table.points.at(i - 1).frequency)))
            std::abort();
        if (lossAt(table, p.frequency) != p.loss)
            std::abort();
        if (i > 0) {
            const double between = lossAt(table, (p.frequency + table.points.at(i - 1).frequency) / 2);
            if (!std::isfinite(between) || std::fabs(between) > 100)
                std::abort();
        }
    }
    // An inline table of the same points reads back to them.
    const Parsed again = parse(fromPoints(table.points, QStringLiteral("inline"), interpolation).table.text,
                               QStringLiteral("again.csv"), interpolation);
    if (!again.ok() || again.table.points.size() != table.points.size())
        std::abort();
    for (int i = 0; i < table.points.size(); ++i)
        if (again.table.points.at(i).frequency != table.points.at(i).frequency
            || again.table.points.at(i).loss != table.points.at(i).loss)
            std::abort();
    return 0;
}
