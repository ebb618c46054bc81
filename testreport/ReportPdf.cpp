#include "ReportLayout.h"
#include "ReportPlot.h"
#include "TestReport.h"

#include "GradeColour.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QTextLayout>

namespace TestReport {

namespace {

// Points: the writer's resolution is set to 72 dots an inch.
const double margin = 42;     // about 15 mm
const double plotHeight = 330;
const double cellPadding = 3;
// Between words, and within a word too long for its column (a path, a digest).
const int wrapping = Qt::TextWordWrap | Qt::TextWrapAnywhere;
const QString family = QStringLiteral("DejaVu Sans");

QFont font(double points, bool bold = false)
{
    QFont f(family);
    f.setPointSizeF(points);
    f.setBold(bold);
    // Outlines, so that the PDF embeds the font and its text can be searched and copied.
    // Unshaped, so that "fi" stays two letters a search finds rather than one ligature.
    f.setStyleStrategy(QFont::StyleStrategy(QFont::ForceOutline | QFont::PreferNoShaping));
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

// The lines a text wraps into at this width, as the painter wraps it.
QStringList wrappedLines(const QString &text, const QFont &font, QPaintDevice *device, double width)
{
    QStringList lines;
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font, device);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine()) {
            l.setLineWidth(width);
            QString text = paragraph.mid(l.textStart(), l.textLength());
            // The space a line breaks at belongs to it; the next line's indentation stays.
            while (!text.isEmpty() && text.back().isSpace())
                text.chop(1);
            lines << text;
        }
        layout.endLayout();
    }
    return lines;
}

QColor rowShade(Verdict::Grade grade)
{
    QColor c = gradeColour(grade);
    c.setAlpha(40);
    return c;
}

// Lays the report out page by page. It goes through the report twice, the first time without
// painting, to count the pages each page's "page N of M" names.
class Pages
{
public:
    Pages(QPdfWriter *writer, const ReportContent::Report &report, const QString &madeBy)
        : writer(writer)
        , report(report)
        , madeBy(madeBy)
    {
        const QRectF page = writer->pageLayout().paintRect(QPageLayout::Point);
        width = page.width() - 2 * margin;
        bottom = page.height() - margin;
    }

    void lay(QPainter *painter, int pageCount)
    {
        this->painter = painter;
        total = pageCount;
        page = 0;
        startPage(false);
        drawTitle();
        facts(report.facts);
        if (!report.verdictWord.isEmpty())
            verdict(report.grade, report.verdictWord, report.verdictLine, 40);
        for (const ReportContent::Section &s : report.sections) {
            heading(s.title, 14);
            // One run's verdict is the report's, said above.
            if (s.grade != Verdict::Grade::None && report.sections.size() > 1)
                verdict(s.grade, Verdict::text(s.grade), s.verdictLine, 20);
            facts(s.facts);
            // Each pass adds its curves to the legend beneath the plot, two to a line at least.
            const bool two = s.measurement == QLatin1String("spur") || (!s.plotted.isEmpty() && s.plotted.first().fetched);
            const int entries = s.passes * (two ? 2 : 1) + 4;
            const double height = qMin(plotHeight + 14.0 * qMax(0, (entries + 1) / 2 - 3), bottom - margin);
            need(height + 8);
            if (painter) {
                painter->save();
                painter->setClipRect(QRectF(margin, y, width, height));
                drawReportPlot(s, painter, QRectF(margin, y, width, height));
                painter->restore();
            }
            y += height + 8;
            for (const ReportContent::Table &t : s.tables)
                table(t);
        }
    }

    int pages() const { return page; }

private:
    void startPage(bool next)
    {
        if (next && painter)
            writer->newPage();
        ++page;
        y = margin;
        const QFont small = font(7.5);
        const QFontMetricsF fm(small, writer);
        if (painter) {
            painter->setFont(small);
            painter->setPen(QColor(90, 90, 90));
            const QString number = QStringLiteral("page %1 of %2").arg(page).arg(total);
            const double room = width - fm.horizontalAdvance(number) - 12;
            painter->drawText(QRectF(margin, margin - 2 * fm.height(), room, fm.height()), Qt::AlignLeft,
                              fm.elidedText(report.title, Qt::ElideRight, room));
            painter->drawText(QRectF(margin, margin - 2 * fm.height(), width, fm.height()), Qt::AlignRight, number);
            painter->drawText(QRectF(margin, bottom + fm.height(), width, fm.height()), Qt::AlignLeft,
                              QStringLiteral("Made by %1 from the results store").arg(madeBy));
            painter->setPen(Qt::black);
        }
    }

    void need(double height)
    {
        if (y + height > bottom && y > margin)
            startPage(true);
    }

    void drawTitle()
    {
        const QFont f = font(18, true);
        const QFontMetricsF fm(f, writer);
        const double h = qMin(fm.boundingRect(QRectF(0, 0, width, 1e6), wrapping, report.title).height(), 4 * fm.height());
        if (painter) {
            painter->setFont(f);
            painter->drawText(QRectF(margin, y, width, h), Qt::AlignLeft | wrapping, report.title);
        }
        y += h + 8;
    }

    void heading(const QString &text, double size)
    {
        const QFont f = font(size, true);
        const QFontMetricsF fm(f, writer);
        need(fm.height() * 4);
        y += 6;
        if (painter) {
            painter->setFont(f);
            painter->drawText(QRectF(margin, y, width, fm.height()), Qt::AlignLeft, text);
        }
        y += fm.height() + 4;
    }

    void verdict(Verdict::Grade grade, const QString &word, const QString &line, double size)
    {
        const QFont big = font(size, true);
        const QFontMetricsF bm(big, writer);
        const QFont f = font(9);
        const QFontMetricsF fm(f, writer);
        const QRectF lineRect = fm.boundingRect(QRectF(0, 0, width, 1e6), Qt::TextWordWrap, line);
        need(bm.height() + lineRect.height() + 8);
        if (painter) {
            painter->setFont(big);
            painter->setPen(gradeColour(grade));
            painter->drawText(QRectF(margin, y, width, bm.height()), Qt::AlignLeft, word);
            painter->setFont(f);
            painter->setPen(Qt::black);
            if (!line.isEmpty() && line != word)
                painter->drawText(QRectF(margin, y + bm.height(), width, lineRect.height()), Qt::TextWordWrap, line);
        }
        y += bm.height() + (line.isEmpty() || line == word ? 0 : lineRect.height()) + 8;
    }

    void facts(const ReportContent::Facts &facts)
    {
        const QFont label = font(8.5, true);
        const QFont value = font(8.5);
        const QFontMetricsF fm(value, writer);
        const double labelWidth = 110;
        for (const auto &fact : facts) {
            // Line by line, so that a long note goes on over the next page.
            const QStringList lines = fact.second.split(QLatin1Char('\n'));
            for (int i = 0; i < lines.size(); ++i) {
                const QRectF r = fm.boundingRect(QRectF(0, 0, width - labelWidth, 1e6), wrapping, lines.at(i));
                const double h = qMin(qMax(fm.height(), r.height()) + (i + 1 == lines.size() ? 2 : 0),
                                      bottom - margin - fm.height());
                need(h);
                if (painter) {
                    painter->setFont(label);
                    if (i == 0)
                        painter->drawText(QRectF(margin, y, labelWidth, h), Qt::AlignLeft | Qt::AlignTop, fact.first);
                    painter->setFont(value);
                    painter->drawText(QRectF(margin + labelWidth, y, width - labelWidth, h), wrapping | Qt::AlignTop,
                                      lines.at(i));
                }
                y += h;
            }
        }
        y += 6;
    }

    void table(const ReportContent::Table &t)
    {
        heading(t.title, 11);
        const QFont f = font(7.5);
        const QFont bold = font(7.5, true);
        const QFontMetricsF fm(f, writer);
        const QFontMetricsF bm(bold, writer);
        if (t.rows.isEmpty()) {
            need(fm.height());
            if (painter) {
                painter->setFont(f);
                painter->drawText(QRectF(margin, y, width, fm.height()), Qt::AlignLeft, t.empty);
            }
            y += fm.height() + 6;
            return;
        }
        const int n = t.columns.size();
        QVector<double> natural(n);
        QVector<bool> wraps(n);
        // A header wraps between its words: its longest word is what its column needs.
        for (int c = 0; c < n; ++c) {
            for (const QString &word : t.columns.at(c).split(QLatin1Char(' ')))
                natural[c] = qMax(natural[c], bm.horizontalAdvance(word));
            wraps[c] = !t.numeric.value(c);
        }
        for (const QStringList &row : t.rows)
            for (int c = 0; c < n && c < row.size(); ++c)
                natural[c] = qMax(natural[c], fm.horizontalAdvance(row.at(c)));
        // A little over the text's own width: a column exactly as wide as its text may wrap it.
        for (double &w : natural)
            w += 2 * cellPadding + 2;
        const QVector<double> widths = ReportLayout::columnWidths(natural, wraps, width, 60);
        const double line = fm.height() + 1.5;
        // Rows of one line, unless a text too wide for its column wraps.
        const auto heightOf = [&](const QStringList &cells, const QFontMetricsF &metrics) {
            double h = line;
            for (int c = 0; c < n && c < cells.size(); ++c)
                if (metrics.horizontalAdvance(cells.at(c)) > widths.at(c) - 2 * cellPadding)
                    h = qMax(h, metrics.boundingRect(QRectF(0, 0, widths.at(c) - 2 * cellPadding, 1e6),
                                                     wrapping, cells.at(c)).height() + 1.5);
            return h;
        };
        const double header = heightOf(t.columns, bm);
        // A row taller than a page goes on over the next ones, its cells cut between lines.
        const double tallest = bottom - margin - header - line;
        const int linesPerPiece = qMax(1, int((tallest - 1.5) / fm.lineSpacing()));
        QVector<QStringList> rows;
        QVector<Verdict::Grade> grades;
        QVector<double> heights;
        rows.reserve(t.rows.size());
        heights.reserve(t.rows.size());
        for (int r = 0; r < t.rows.size(); ++r) {
            const double h = heightOf(t.rows.at(r), fm);
            if (h < tallest) {
                rows.append(t.rows.at(r));
                grades.append(t.grades.value(r));
                heights.append(h);
                continue;
            }
            QVector<QStringList> lines;
            int most = 0;
            for (int c = 0; c < n; ++c) {
                lines.append(wrappedLines(t.rows.at(r).value(c), f, writer, widths.at(c) - 2 * cellPadding));
                most = qMax(most, int(lines.last().size()));
            }
            // The table's first row begins in what is left below its heading, when that is a
            // few lines at least; every other piece takes a page.
            const double left = bottom - y - header;
            int size = r == 0 && left >= 4 * fm.lineSpacing() ? qMax(1, int((left - 1.5) / fm.lineSpacing()))
                                                              : linesPerPiece;
            for (int from = 0; from < most; from += size, size = linesPerPiece) {
                QStringList piece;
                for (int c = 0; c < n; ++c)
                    piece << QStringList(lines.at(c).mid(from, size)).join(QLatin1Char('\n'));
                rows.append(piece);
                grades.append(t.grades.value(r));
                heights.append(heightOf(piece, fm));
            }
        }
        if (y + header + heights.first() > bottom)
            startPage(true);
        const QVector<int> breaks = ReportLayout::pageBreaks(heights, bottom - y, bottom - margin, header);
        for (int b = 0; b < breaks.size(); ++b) {
            if (b > 0)
                startPage(true);
            drawRow(t.columns, widths, header, bold, true, Verdict::Grade::None, t.numeric);
            const int end = b + 1 < breaks.size() ? breaks.at(b + 1) : rows.size();
            for (int r = breaks.at(b); r < end; ++r)
                drawRow(rows.at(r), widths, heights.at(r), f, false, grades.at(r), t.numeric);
        }
        y += 6;
    }

    void drawRow(const QStringList &cells, const QVector<double> &widths, double height, const QFont &f, bool header,
                 Verdict::Grade grade, const QVector<bool> &numeric)
    {
        if (painter) {
            if (header)
                painter->fillRect(QRectF(margin, y, width, height), QColor(230, 230, 230));
            else if (grade != Verdict::Grade::None)
                painter->fillRect(QRectF(margin, y, width, height), rowShade(grade));
            painter->setFont(f);
            double x = margin;
            for (int c = 0; c < widths.size() && c < cells.size(); ++c) {
                const int align = (numeric.value(c) && !header ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop
                                  | wrapping;
                painter->save();
                painter->setClipRect(QRectF(x, y, widths.at(c), height));
                painter->drawText(QRectF(x + cellPadding, y + 0.75, widths.at(c) - 2 * cellPadding, height), align,
                                  cells.at(c));
                painter->restore();
                x += widths.at(c);
            }
            if (header) {
                painter->setPen(QPen(QColor(160, 160, 160), 0.5));
                painter->drawLine(QPointF(margin, y + height), QPointF(margin + width, y + height));
                painter->setPen(Qt::black);
            }
        }
        y += height;
    }

    QPdfWriter *writer;
    const ReportContent::Report &report;
    QString madeBy;
    QPainter *painter = nullptr;
    double width = 0;
    double bottom = 0;
    double y = 0;
    int page = 0;
    int total = 0;
};

QString escapedXml(const QString &text)
{
    return text.toHtmlEscaped();
}

} // namespace

QByteArray pdf(const ReportContent::Report &report, const QString &madeBy)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setResolution(72);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
    writer.setTitle(report.title);
    writer.setCreator(madeBy);
    // The marker that lets a later report write over this one, in metadata Qt leaves uncompressed.
    writer.setDocumentXmpMetadata(
        QStringLiteral("<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>"
                       "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                       "<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' "
                       "xmlns:xmp='http://ns.adobe.com/xap/1.0/'>"
                       "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>%1</rdf:li></rdf:Alt></dc:title>"
                       "<xmp:CreatorTool>%2 (%3)</xmp:CreatorTool>"
                       "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>")
            .arg(escapedXml(report.title), escapedXml(madeBy), QLatin1String(marker))
            .toUtf8());
    Pages counting(&writer, report, madeBy);
    counting.lay(nullptr, 0);
    QPainter painter(&writer);
    Pages pages(&writer, report, madeBy);
    pages.lay(&painter, counting.pages());
    painter.end();
    return bytes;
}

} // namespace TestReport
