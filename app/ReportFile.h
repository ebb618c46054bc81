#pragma once

#include <QString>

struct RunSummary;
namespace ReportContent {
struct Report;
}

// The window's test report files: the name one is offered under, and writing it where the operator
// chose.
namespace ReportFile {

// "<unit> <yyyy-MM-dd>.pdf" by the day the run began, "Run <id> ..." for a run without a unit; a
// character a file name cannot hold becomes "_".
QString proposedName(const RunSummary &run);

// The path a chosen name is written to: ".pdf" added to one that asks for neither PDF nor HTML.
QString withFormat(const QString &chosen);

// Writes the report whole or not at all, in the format the path's suffix asks for; empty when
// written, else why.
QString write(const ReportContent::Report &report, const QString &path);

} // namespace ReportFile
