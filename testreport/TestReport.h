#pragma once

#include "ReportContent.h"

#include <QList>
#include <QString>

class RunHistory;

// A test report of one or more runs of the results store, as a PDF on A4 or as one
// self-contained HTML file: who measured which unit when and with what, the verdict, the plot
// with its limits, the points that did not pass, every point and the troubles. Needs a
// QApplication, which may run without a display (the "offscreen" platform).
namespace TestReport {

enum class Format { Pdf, Html };

// The format a file's name asks for: ".pdf", or ".html" or ".htm", in any case; false for any other.
bool formatOf(const QString &path, Format *format);

// Why a report may not be written to the path: a file there that is not a report this program
// wrote earlier (a mistyped name never costs a workbook, a store or a setup); empty when it may.
QString refusal(const QString &path);

// The report of the runs, read from the history. False with why when the history cannot be
// read or has no such run; *unknownRun tells the two apart.
bool read(RunHistory &history, const QList<qint64> &runs, ReportContent::Report *report, QString *why,
          bool *unknownRun);

// Writes the report whole or not at all (a file there keeps its bytes when this fails); empty
// when written, else why. madeBy: the program and version that makes the report.
QString write(const ReportContent::Report &report, const QString &path, Format format, const QString &madeBy);

// The report as the bytes write() puts in a file.
QByteArray pdf(const ReportContent::Report &report, const QString &madeBy);
QByteArray html(const ReportContent::Report &report, const QString &madeBy);

// The marker an earlier report carries, so that it may be written over.
extern const char marker[];

} // namespace TestReport
