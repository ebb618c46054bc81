#pragma once

#include <QDateTime>
#include <QString>

// The file name a setup gives the test report of its runs, such as "{unit} {date}.pdf": its
// placeholders filled in with the run's own values. Free of I/O.
namespace ReportName {

struct Values
{
    QString unit;         // the unit's serial number; empty: none given
    QDateTime started;    // the run's start, in local time
    QString operatorName;
    QString station;
};

// What a report's file name asks for by its ending: a PDF for ".pdf", HTML for ".html" or ".htm",
// in any case; None for any other.
enum class Kind { None, Pdf, Html };
Kind kindOf(const QString &name);

// A value to stand in a file's name: a character no file name may hold becomes "_", and so does
// each of a value of dots alone, so that a serial never makes or climbs a folder.
QString fileNameSafe(QString text);

// Why the pattern names no report: a placeholder it does not know, a brace left open, or a name
// that ends in neither .pdf, .html nor .htm (in any case); empty when it names one.
QString refusal(const QString &pattern);

// The pattern with {unit}, {date} (yyyy-MM-dd), {time} (HH-mm-ss), {operator} and {station}
// filled in. A character no file name may hold, in a value, becomes "_", and so does a value of
// dots alone: a serial never makes a folder of the name.
QString expand(const QString &pattern, const Values &values);

// The name to try in the nth place for a report at the path: the path itself first, then
// "name (2).pdf", "name (3).pdf" and so on.
QString numbered(const QString &path, int n);

} // namespace ReportName
