#include "TestReport.h"

#include "RunHistory.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace TestReport {

const char marker[] = "rfbench test report";

bool formatOf(const QString &path, Format *format)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pdf"))
        *format = Format::Pdf;
    else if (suffix == QLatin1String("html") || suffix == QLatin1String("htm"))
        *format = Format::Html;
    else
        return false;
    return true;
}

QString refusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || (info.isFile() && info.size() == 0))
        return QString();
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 is there and cannot be read; it is left as it is").arg(path);
    // The marker stands in a PDF's metadata, which Qt writes near its start, and in an HTML file's head.
    const QByteArray head = file.read(64 * 1024);
    if ((head.startsWith("%PDF-") || head.startsWith("<!DOCTYPE html>")) && head.contains(marker))
        return QString();
    return QStringLiteral("%1 is there and is not a report of rfbench; it is left as it is").arg(path);
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
