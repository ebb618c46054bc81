#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QVector>

// The losses of the paths between the unit under test and the meters: reading and checking a
// path's table, interpolating it, and what a run records of it. Plain functions without I/O.
// A loss is positive where the path attenuates: the level at the unit is the reading plus it.
namespace Corrections {

// The paths a setup names a table for, by their setup keys below "corrections".
enum class Path { None, MeterA, MeterB, Analyzer };

// "powerMeter.A", "powerMeter.B", "analyzer"; empty for None (a table on no setup's path).
QString pathKey(Path path);

enum class Interpolation { Linear, Log }; // dB over linear or over log frequency
enum class Beyond { Refuse, Hold };       // a frequency outside the table: refused, or its end value

// "linear"/"log" and "refuse"/"hold", as the setup and a run's record name them.
QString name(Interpolation interpolation);
QString name(Beyond beyond);

struct LossPoint
{
    double frequency = 0; // MHz
    double loss = 0;      // dB, positive: the path attenuates
};

// One path's table with everything a run records of it, so that a file changed afterwards
// changes nothing of a run made with it: the table can be read again from its text alone.
struct CorrectionTable
{
    Path path = Path::None;
    QString source;     // the file as the setup names it, or "inline"
    QByteArray text;    // the file's bytes as read; an inline table's points as a file would hold them
    QString sha256;     // of text, lower-case hex
    QDate due;          // "# valid until": the calibration's due date; null when the file gives none
    QVector<LossPoint> points; // strictly ascending frequencies, at least one
    Interpolation interpolation = Interpolation::Linear;
    Beyond beyond = Beyond::Refuse;

    double lowest() const { return points.first().frequency; }
    double highest() const { return points.last().frequency; }
};

// A table or the reason it is refused.
struct Parsed
{
    CorrectionTable table;
    QString error; // "cable.csv:7: frequency 2000 is not above 2000 on line 6"; empty when sound

    bool ok() const { return error.isEmpty(); }
};

// Reads a table file: the header line "frequency_mhz,loss_db", then one "frequency,loss" point a
// line. "#" starts a comment anywhere on a line; blank lines, CRLF line ends and a UTF-8 byte
// order mark are taken. One comment may say "valid until YYYY-MM-DD". Numbers are plain decimals
// ("1e3" too), never with a thousands separator, NaN or infinity; frequencies from 0 MHz (above
// 0 for log interpolation) to 1 THz, strictly ascending; |loss| at most 100 dB. Every error
// names the file and the line.
Parsed parse(const QByteArray &bytes, const QString &fileName, Interpolation interpolation = Interpolation::Linear,
             Beyond beyond = Beyond::Refuse);

// A table given as a list of points in the setup, with the same checks as a file; an error names
// the place of the offending point, e.g. "corrections.analyzer[3]: ..." for the place
// "corrections.analyzer". Its text is the file that parse() reads to the same points.
Parsed fromPoints(const QVector<LossPoint> &points, const QString &place,
                  Interpolation interpolation = Interpolation::Linear, Beyond beyond = Beyond::Refuse);

// The loss at a frequency in MHz: a table point's own value there, interpolated between points;
// outside the table the end value when it holds, else NaN, so that a value corrected by it is no
// reading rather than a wrong one.
double lossAt(const CorrectionTable &table, double frequency);

// The value at the unit from the meter's reading through a path of the given loss.
inline double corrected(double reading, double loss)
{
    return reading + loss;
}

// Why the table cannot correct a measurement over from..to MHz, or empty: the table's range and
// the part of the measurement's outside it, e.g. "cable.csv covers 100 to 18000 MHz; 18000 to
// 22000 MHz of the measurement is not covered (\"beyond\": \"hold\" holds the end value)".
// A table that holds its end values covers every range.
QString uncovered(const CorrectionTable &table, double from, double to,
                  const QString &measurement = QStringLiteral("the measurement"));

// Whether the table's calibration was due before today (it is valid on its due date itself).
bool pastDue(const CorrectionTable &table, const QDate &today);

// "the correction table cable-A.csv was due for calibration on 2026-11-01"; empty unless past due.
QString dueWarning(const CorrectionTable &table, const QDate &today);

// One line for a run's listing: "powerMeter.A: cable-A.csv, 24 points, 10 to 26500 MHz, valid
// until 2027-03-01, sha256 1a2b3c4d…", with the interpolation and the ends when not the defaults.
QString describe(const CorrectionTable &table);

// A number as tables and messages write it: the shortest decimal that reads back to it.
QString numberText(double value);

} // namespace Corrections
