#include "TestReport.h"

#include "ReportName.h"
#include "RunHistory.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace TestReport {

const char marker[] = "rfbench test report";

bool formatOf(const QString &path, Format *format)
{
    switch (ReportName::kindOf(path)) {
    case ReportName::Kind::Pdf:
        *format = Format::Pdf;
        return true;
    case ReportName::Kind::Html:
        *format = Format::Html;
        return true;
    case ReportName::Kind::None:
        break;
    }
    return false;
}

QString refusal(const QString &path)
{
    const QFileInfo info(path);
    Format format;
    if (!formatOf(path, &format))
        return QStringLiteral("%1: a report's name ends in .pdf, .html or .htm").arg(path);
    if (info.isSymLink() && !info.exists())
        return QStringLiteral("%1 is a link to a file that is not there; it is left as it is").arg(path);
    if (!info.exists() || (info.isFile() && info.size() == 0))
        return QString();
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 is there and cannot be read; it is left as it is").arg(path);
    // The marker stands where this program puts it alone: in a PDF's metadata, which Qt writes
    // near its start, and in an HTML file's generator element.
    const QByteArray head = file.read(64 * 1024);
    const QByteArray tail = QByteArray(" (") + marker + (format == Format::Pdf ? ")</xmp:CreatorTool>" : ")\">");
    const bool ours = format == Format::Pdf
                          ? head.startsWith("%PDF-") && head.contains("<xmp:CreatorTool>rfbench ") && head.contains(tail)
                          : head.startsWith("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                                            "<meta name=\"generator\" content=\"rfbench ")
                                && head.left(head.indexOf('\n', 90) + 1).endsWith(tail + '\n');
    return ours ? QString() : QStringLiteral("%1 is there and is not a report of rfbench; it is left as it is").arg(path);
}

bool read(RunHistory &history, const QList<qint64> &runs, ReportContent::Report *report, QString *why,
          bool *unknownRun)
{
    *unknownRun = false;
    QVector<ReportContent::Section> sections;
    QList<RunSummary> summaries;
    for (const qint64 id : runs) {
        const RunSummary run = history.run(id);
        if (history.problem().isEmpty() && run.id == 0) {
            *unknownRun = true;
            *why = QStringLiteral("%1 has no run %2").arg(history.where()).arg(id);
            return false;
        }
        const QList<StoredPoint> points = history.points(id);
        const QList<StoredPass> passes = history.passes(id);
        const QList<RunTrouble> troubles = history.troubles(id);
        if (!history.problem().isEmpty()) {
            *why = history.problem();
            return false;
        }
        sections.append(ReportContent::section(run, points, passes, troubles));
        summaries.append(run);
    }
    *report = ReportContent::report(sections, summaries);
    return true;
}

QString write(const ReportContent::Report &report, const QString &path, Format format, const QString &madeBy)
{
    Format named;
    if (formatOf(path, &named) && named != format)
        return QStringLiteral("%1: the name asks for another format").arg(path);
    const QString refused = refusal(path);
    if (!refused.isEmpty())
        return refused;
    const QByteArray bytes = format == Format::Pdf ? pdf(report, madeBy) : html(report, madeBy);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    return QString();
}

} // namespace TestReport
