#include "ReportFile.h"

#include "ReportName.h"
#include "RunHistory.h"
#include "TestReport.h"

#include <QCoreApplication>

namespace ReportFile {

QString proposedName(const RunSummary &run)
{
    // A serial such as "SN 12/24" must not name a folder that is not there.
    const QString name = run.unit.isEmpty() ? QStringLiteral("Run %1").arg(run.id) : ReportName::fileNameSafe(run.unit);
    return QStringLiteral("%1 %2.pdf").arg(name, run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")));
}

QString withFormat(const QString &chosen)
{
    TestReport::Format format;
    return TestReport::formatOf(chosen, &format) ? chosen : chosen + QStringLiteral(".pdf");
}

QString write(const ReportContent::Report &report, const QString &path)
{
    TestReport::Format format = TestReport::Format::Pdf;
    TestReport::formatOf(path, &format);
    return TestReport::write(report, path, format, QStringLiteral("rfbench ") + QCoreApplication::applicationVersion());
}

} // namespace ReportFile
