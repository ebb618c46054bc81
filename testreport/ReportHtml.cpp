#include "ReportPlot.h"
#include "TestReport.h"

#include "GradeColour.h"

#include <QBuffer>
#include <QPainter>
#include <QSvgGenerator>

namespace TestReport {

namespace {

const QSize plotSize(760, 440);

QString escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
}

QString gradeClass(Verdict::Grade grade)
{
    switch (grade) {
    case Verdict::Grade::Fail:
        return QStringLiteral(" class=\"fail\"");
    case Verdict::Grade::Marginal:
    case Verdict::Grade::NoReading:
        return QStringLiteral(" class=\"marginal\"");
    default:
        return QString();
    }
}

// The plot as an SVG element to stand in the page itself: no file beside it, no network.
QString svg(const ReportContent::Section &section)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(plotSize);
    generator.setViewBox(QRect(QPoint(0, 0), plotSize));
    generator.setTitle(section.title);
    {
        QPainter painter(&generator);
        drawReportPlot(section, &painter, QRectF(QPointF(0, 0), QSizeF(plotSize)));
    }
    QString text = QString::fromUtf8(bytes);
    // The XML prolog and document type belong to a file of its own, not to an element in HTML.
    const int start = text.indexOf(QStringLiteral("<svg"));
    return start < 0 ? QString() : text.mid(start);
}

void facts(QString &out, const ReportContent::Facts &facts)
{
    out += QStringLiteral("<table class=\"facts\">\n");
    for (const auto &fact : facts)
        out += QStringLiteral("<tr><th>%1</th><td>%2</td></tr>\n").arg(escaped(fact.first), escaped(fact.second));
    out += QStringLiteral("</table>\n");
}

void table(QString &out, const ReportContent::Table &t)
{
    out += QStringLiteral("<h3>%1</h3>\n").arg(escaped(t.title));
    if (t.rows.isEmpty()) {
        out += QStringLiteral("<p>%1</p>\n").arg(escaped(t.empty));
        return;
    }
    out += QStringLiteral("<table class=\"points\">\n<thead><tr>");
    for (const QString &c : t.columns)
        out += QStringLiteral("<th>%1</th>").arg(escaped(c));
    out += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (int r = 0; r < t.rows.size(); ++r) {
        out += QStringLiteral("<tr%1>").arg(gradeClass(t.grades.value(r)));
        const QStringList &row = t.rows.at(r);
        for (int c = 0; c < row.size(); ++c)
            out += (t.numeric.value(c) ? QStringLiteral("<td class=\"n\">") : QStringLiteral("<td>")) + escaped(row.at(c))
                   + QStringLiteral("</td>");
        out += QStringLiteral("</tr>\n");
    }
    out += QStringLiteral("</tbody></table>\n");
}

QString verdict(Verdict::Grade grade, const QString &word, const QString &line, const QString &size)
{
    QString out = QStringLiteral("<p class=\"verdict\" style=\"font-size: %1; color: %2\">%3</p>\n")
                      .arg(size, gradeColour(grade).name(), escaped(word));
    if (!line.isEmpty() && line != word)
        out += QStringLiteral("<p>%1</p>\n").arg(escaped(line));
    return out;
}

} // namespace

QByteArray html(const ReportContent::Report &report, const QString &madeBy)
{
    QString out;
    out += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                          "<meta name=\"generator\" content=\"%1 (%2)\">\n<title>%3</title>\n")
               .arg(escaped(madeBy), QLatin1String(marker), escaped(report.title));
    out += QStringLiteral(
        "<style>\n"
        "body { font-family: 'DejaVu Sans', sans-serif; font-size: 10pt; margin: 2em; }\n"
        "table { border-collapse: collapse; margin-bottom: 1em; }\n"
        "table.facts th { text-align: left; vertical-align: top; padding: 1px 1.5em 1px 0; }\n"
        "table.points th { background: #e6e6e6; text-align: left; padding: 2px 6px; }\n"
        "table.points td { padding: 1px 6px; font-size: 9pt; }\n"
        "td.n { text-align: right; font-variant-numeric: tabular-nums; }\n"
        "tr.fail { background: rgba(198, 40, 40, 0.16); }\n"
        "tr.marginal { background: rgba(199, 124, 0, 0.16); }\n"
        "p.verdict { font-weight: bold; margin: 0.3em 0; }\n"
        "footer { color: #5a5a5a; font-size: 8pt; margin-top: 2em; }\n"
        "@media print { table.points thead { display: table-header-group; } }\n"
        "</style>\n</head>\n<body>\n");
    out += QStringLiteral("<h1>%1</h1>\n").arg(escaped(report.title));
    facts(out, report.facts);
    if (!report.verdictWord.isEmpty())
        out += verdict(report.grade, report.verdictWord, report.verdictLine, QStringLiteral("40pt"));
    for (const ReportContent::Section &s : report.sections) {
        out += QStringLiteral("<section>\n<h2>%1</h2>\n").arg(escaped(s.title));
        if (s.grade != Verdict::Grade::None && report.sections.size() > 1)
            out += verdict(s.grade, Verdict::text(s.grade), s.verdictLine, QStringLiteral("20pt"));
        facts(out, s.facts);
        out += QStringLiteral("<figure>\n") + svg(s) + QStringLiteral("</figure>\n");
        for (const ReportContent::Table &t : s.tables)
            table(out, t);
        out += QStringLiteral("</section>\n");
    }
    out += QStringLiteral("<footer>Made by %1 from the results store</footer>\n</body>\n</html>\n").arg(escaped(madeBy));
    return out.toUtf8();
}

} // namespace TestReport
