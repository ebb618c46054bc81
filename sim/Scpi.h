#pragma once

#include <QByteArray>
#include <QString>

// Small SCPI helpers of the simulator: header canonicalisation and number parsing with units.
namespace Scpi {

// One parsed command line: canonical header (short forms, upper case), query flag, argument.
struct Line
{
    QString header;
    bool query = false;
    QString argument;
};

// Short form of one header keyword by the SCPI rule: keywords longer than four letters keep
// four, or three when the fourth is a vowel; a numeric suffix stays.
QString shortForm(const QString &keyword);

Line parse(const QByteArray &raw);

// Reads a number with an optional unit and returns it in the base unit (Hz, s, dBm, percent);
// ok is false when the text holds no number.
double valueWithUnit(const QString &text, bool *ok = nullptr);

} // namespace Scpi
