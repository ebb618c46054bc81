#include "RunDetails.h"

#include "Corrections.h"
#include "RunExport.h"
#include "RunHistory.h"

#include <QPair>
#include <QStringList>

namespace RunDetails {

namespace {

QString localText(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

// Local time with its offset from UTC, "2026-12-08T10:32:00+01:00".
QString zonedText(const QDateTime &time)
{
    if (!time.isValid())
        return QStringLiteral("-");
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString indented(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("  (none)\n")
                          : QStringLiteral("  ") + QString(text).replace(QLatin1Char('\n'), QStringLiteral("\n  "))
                                + QLatin1Char('\n');
}

// "FAIL (3 failed, 1 marginal, 0 without a reading)"; a running run's is so far. Empty without limits.
QString verdictText(const RunSummary &run)
{
    if (run.verdict.verdict.isEmpty())
        return QString();
    return QStringLiteral("%1%2 (%3 failed, %4 marginal, %5 without a reading)")
        .arg(run.verdict.verdict,
             run.outcome == QLatin1String("running") ? QStringLiteral(" so far") : QString())
        .arg(run.verdict.failed)
        .arg(run.verdict.marginal)
        .arg(run.verdict.unread);
}

// "powerMeter.A: cables/cable-A.csv, 4 points, 10 to 26500 MHz, valid until 2027-03-01, sha256
// 1a2b3c4d5e6f…", read again from the text the run recorded; the recorded due date and sha256 are
// the ones shown, and a text that no longer matches its sha256 says so.
QString tableLine(const RecordedTable &recorded)
{
    using namespace Corrections;
    const Parsed parsed = parse(recorded.text, recorded.source,
                                recorded.interpolation == QLatin1String("log") ? Interpolation::Log : Interpolation::Linear,
                                recorded.beyond == QLatin1String("hold") ? Beyond::Hold : Beyond::Refuse);
    CorrectionTable table = parsed.table;
    table.source = recorded.source;
    table.due = recorded.due;
    table.sha256 = recorded.sha256;
    table.path = Path::None;
    QString line = recorded.path + QStringLiteral(": ") + describe(table);
    if (!parsed.ok())
        line += QStringLiteral(" (its recorded text does not read as a table: %1)").arg(parsed.error);
    else if (parsed.table.sha256 != recorded.sha256)
        line += QStringLiteral(" (its recorded text does not match this sha256)");
    return line;
}

} // namespace

QString read(RunHistory &store, const RunSummary &run)
{
    const QList<StoredPass> passes = store.passes(run.id);
    const QList<RunTrouble> troubles = store.troubles(run.id);
    // A server is not told where each row went; its station's local store is.
    qint64 waiting = 0;
    if (store.knowsWorkbookRows())
        for (const StoredPoint &point : store.points(run.id))
            waiting += point.inWorkbook ? 0 : 1;
    QString text = QStringLiteral("Run %1\n").arg(run.id);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("Measurement"), run.measurement},
        {QStringLiteral("Unit"), run.unit},
        {QStringLiteral("Outcome"), run.outcome},
        {QStringLiteral("Verdict"), verdictText(run)},
        {QStringLiteral("Started"), zonedText(run.started)},
        {QStringLiteral("Ended"), zonedText(run.ended)},
        {QStringLiteral("Station"), store.knowsWorkbookRows()
                                        ? run.station
                                        : QStringLiteral("%1 (its run %2)").arg(run.station).arg(run.localId)},
        {QStringLiteral("User"), run.user},
        {QStringLiteral("Operator"), run.operatorName},
        {QStringLiteral("rfbench"), run.version},
        {QStringLiteral("Points"), store.knowsWorkbookRows()
                                       ? QStringLiteral("%1, %2 of them not in their workbook").arg(run.points).arg(waiting)
                                       : QString::number(run.points)},
        {QStringLiteral("Workbooks"), run.workbooks.join(QStringLiteral(", "))},
        {QStringLiteral("Note"), run.note}};
    for (const auto &field : fields)
        text += (field.first + QLatin1Char(':')).leftJustified(14)
                + (field.second.isEmpty() ? QStringLiteral("-") : field.second) + QLatin1Char('\n');
    text += QStringLiteral("Instruments:\n") + indented(run.instruments);
    text += QStringLiteral("Identities:\n") + indented(run.identities);
    QStringList lines;
    for (const RecordedTable &table : run.tables)
        lines << tableLine(table);
    text += QStringLiteral("Corrections:\n") + indented(lines.join(QLatin1Char('\n')));
    lines.clear();
    for (const StoredPass &pass : passes)
        lines << QStringLiteral("pass %1, output power %2 dBm, from %3")
                     .arg(pass.pass)
                     .arg(qIsNaN(pass.outputPower) ? QStringLiteral("-") : RunExport::number(pass.outputPower),
                          localText(pass.started));
    text += QStringLiteral("Passes:\n") + indented(lines.join(QLatin1Char('\n')));
    lines.clear();
    for (const RunTrouble &trouble : troubles)
        lines << localText(trouble.when) + QStringLiteral("  ") + trouble.instrument + QStringLiteral(": ")
                     + trouble.text;
    text += QStringLiteral("Troubles:\n") + indented(lines.join(QLatin1Char('\n')));
    return text;
}

} // namespace RunDetails
