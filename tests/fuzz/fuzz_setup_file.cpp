// Fuzzes the reading of a setup file: it never crashes, and a setup it accepts is written so
// that it reads back to the same setup.

#include "SetupFile.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const SetupFile::Result first = SetupFile::read(bytes, QStringLiteral("fuzz.json"));
    if (!first.ok()) {
        if (first.error.isEmpty())
            std::abort();
        return 0;
    }
    const QByteArray written = SetupFile::write(first.setup);
    const SetupFile::Result second = SetupFile::read(written, QStringLiteral("written.json"));
    if (!second.ok() || SetupFile::write(second.setup) != written)
        std::abort();
    // A section the writer dropped would read back the same twice over: compared field by field.
    const BenchSetup &a = first.setup;
    const BenchSetup &b = second.setup;
    if (a.hasStore != b.hasStore || a.storeAddress != b.storeAddress || a.station != b.station
        || a.identify != b.identify)
        std::abort();
    if (a.unitSerial != b.unitSerial || a.serialPattern != b.serialPattern || a.serialRequired != b.serialRequired
        || a.operatorName != b.operatorName || a.corrections != b.corrections || a.reportName != b.reportName
        || a.measurements.size() != b.measurements.size())
        std::abort();
    for (int i = 0; i < a.measurements.size(); ++i)
        if (a.measurements.at(i).limits != b.measurements.at(i).limits)
            std::abort();
    return 0;
}
