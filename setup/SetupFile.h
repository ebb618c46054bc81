#pragma once

#include "BenchSetup.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The setup file: a versioned JSON text with the instruments and the measurements of a run.
// Reading checks it as strictly as the window's fields: the same ranges and decimals, no key it
// does not know, no value of the wrong type. Free of I/O, so that it can be tested and fuzzed.
namespace SetupFile {

constexpr int currentFormat = 1;

struct Result
{
    BenchSetup setup;
    QString error; // "<file>: <key>: <what is wrong>"; empty when the setup is sound

    bool ok() const { return error.isEmpty(); }
};

// Reads a setup from the bytes of the named file, after applying the overrides in order, each
// "key=value" with a key such as "power", "synthesizer.address" or "measurements[1].delay" and a
// value that is a JSON number, true, false or null, or else taken as text.
Result read(const QByteArray &bytes, const QString &fileName, const QStringList &overrides = {});

// The setup as a file that read() gives back unchanged.
QByteArray write(const BenchSetup &setup);

// What keeps the setup's measurements from running, e.g. "no measurement to run",
// "analyzer: missing; measurements[1] (spur) needs it" or a range too narrow for its points
// ("points: 1000 to 1001 MHz is too narrow for 4 points ..."); empty when they can run.
QString runnable(const BenchSetup &setup);

// Why a run of the setup may not start with its unit's serial number, e.g. "unit.serial: \"AB12\"
// does not match the pattern ^SN[0-9]{6}$" or "unit.serial: a serial number is required by this
// setup"; empty when it may. An empty serial passes any pattern unless the setup requires one.
QString unitRefusal(const BenchSetup &setup);

// The setup of one of its measurements alone, as a run of it records it: the same instruments,
// and no results store, which is the bench's own and not part of what was measured, nor the
// unit's serial and operator, which the run records in fields of their own.
BenchSetup only(const BenchSetup &setup, int measurement);

// The instruments' transports and addresses, one line each ("synthesizer: lan 10.0.0.5"); the
// results store is not an instrument and is not among them.
QString describeInstruments(const BenchSetup &setup);

// The measurement's name in messages: "power" or "spur".
QString kindName(MeasurementSetup::Kind kind);

} // namespace SetupFile
