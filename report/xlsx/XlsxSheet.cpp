#include "XlsxSheet.h"

#include "XlsxZip.h"
#include "XmlScan.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace {

// Appended rows are compressed again on every save until they add up to this much, then their
// compressed form joins the cache. Deflate looks back 32 KiB, so pieces of this size compress
// nearly as well as one stream.
constexpr int cachePieceBytes = 64 * 1024;

QByteArray numberText(double value)
{
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

int toInt(const QByteArray &text, bool *ok)
{
    const long long value = text.toLongLong(ok);
    if (*ok && (value < 1 || value > 1048576))
        *ok = false;
    return int(value);
}

} // namespace

bool XlsxSheet::load(const QByteArray &xml)
{
    using namespace XmlScan;
    if (xml.size() > maxXmlBytes)
        return false;
    *this = XlsxSheet();
    Tag root;
    int pos = 0;
    // The root element must be a worksheet.
    root = nextTag(xml, 0);
    if (!root.isOpening() || localName(root.name) != "worksheet")
        return false;
    pos = root.end;
    Tag data;
    for (Tag tag = nextTag(xml, pos); tag.isValid(); tag = nextTag(xml, tag.end)) {
        if (!tag.closing && localName(tag.name) == "sheetData") {
            data = tag;
            break;
        }
    }
    if (!data.isValid())
        return false;
    prefix = prefixOf(data.name);
    if (data.selfClosing) {
        head = xml.left(data.begin) + '<' + data.name + '>';
        tail = "</" + data.name + '>' + xml.mid(data.end);
        return true;
    }
    const QByteArray closeTag = "</" + data.name + '>';
    const int dataEnd = xml.indexOf(closeTag, data.end);
    if (dataEnd < 0)
        return false;
    head = xml.left(data.end);
    rows = xml.mid(data.end, dataEnd - data.end);
    tail = xml.mid(dataEnd);

    // One pass over the rows: where the cells are and where the last row ends.
    int rowNumber = 0;
    int p = 0;
    while (true) {
        const Tag row = nextTag(rows, p);
        if (!row.isValid())
            break;
        if (row.closing || localName(row.name) != "row")
            return false;
        QByteArray value;
        bool ok = true;
        rowNumber = attribute(rows, row, "r", &value) ? toInt(value, &ok) : rowNumber + 1;
        if (!ok)
            return false;
        int rowEnd = row.end;
        int lastColumn = 0;
        if (!row.selfClosing) {
            const QByteArray rowClose = "</" + row.name + '>';
            rowEnd = rows.indexOf(rowClose, row.end);
            if (rowEnd < 0)
                return false;
            int column = 0;
            for (Tag cell = nextTag(rows, row.end); cell.isValid() && cell.begin < rowEnd;
                 cell = nextTag(rows, cell.end)) {
                if (cell.closing || localName(cell.name) != "c")
                    continue;
                int cellColumn = column + 1;
                int cellRow = rowNumber;
                if (attribute(rows, cell, "r", &value)
                    && (!parseCellReference(value, &cellColumn, &cellRow) || cellRow != rowNumber))
                    return false;
                column = cellColumn;
                lastColumn = qMax(lastColumn, column);
                noteCell(rowNumber, column);
            }
            rowEnd += rowClose.size();
        }
        lastRowElement = rowNumber;
        lastRowLastColumn = lastColumn;
        p = rowEnd;
    }
    return true;
}

void XlsxSheet::loadEmpty()
{
    load("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
         "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
         "<dimension ref=\"A1\"/><sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>"
         "<sheetFormatPr defaultRowHeight=\"15\"/><sheetData/>"
         "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
         "footer=\"0.3\"/></worksheet>");
}

void XlsxSheet::noteCell(int row, int column)
{
    lastCellRow = qMax(lastCellRow, row);
    minRow = minRow == 0 ? row : qMin(minRow, row);
    maxRow = qMax(maxRow, row);
    minColumn = minColumn == 0 ? column : qMin(minColumn, column);
    maxColumn = qMax(maxColumn, column);
}

void XlsxSheet::changedAt(int offset)
{
    if (offset < cachedLength) {
        cachedRows.clear();
        cachedCrc = 0;
        cachedLength = 0;
    }
}

QByteArray XlsxSheet::rowStart(int row, const QByteArray &attributes) const
{
    return '<' + prefix + "row r=\"" + QByteArray::number(row) + '"' + attributes + '>';
}

QByteArray XlsxSheet::rowEnd() const
{
    return "</" + prefix + "row>";
}

void XlsxSheet::setNumber(int row, int column, double value, int style)
{
    const QByteArray reference = XmlScan::columnName(column) + QByteArray::number(row);
    QByteArray cell = '<' + prefix + "c r=\"" + reference + '"';
    if (style >= 0)
        cell += " s=\"" + QByteArray::number(style) + '"';
    if (std::isfinite(value))
        cell += "><" + prefix + "v>" + numberText(value) + "</" + prefix + "v></" + prefix + "c>";
    else
        cell += " t=\"e\"><" + prefix + "v>#NUM!</" + prefix + "v></" + prefix + "c>";
    putCell(row, column, cell);
}

void XlsxSheet::setText(int row, int column, const QString &text)
{
    const QByteArray reference = XmlScan::columnName(column) + QByteArray::number(row);
    putCell(row, column,
            '<' + prefix + "c r=\"" + reference + "\" t=\"inlineStr\"><" + prefix + "is><" + prefix
                + "t xml:space=\"preserve\">" + XmlScan::escape(text) + "</" + prefix + "t></"
                + prefix + "is></" + prefix + "c>");
}

double XlsxSheet::number(int row, int column) const
{
    using namespace XmlScan;
    const double none = std::numeric_limits<double>::quiet_NaN();
    const RowPlace place = findRow(row);
    if (!place.found || place.selfClosing)
        return none;
    const QByteArray wanted = columnName(column) + QByteArray::number(row);
    int p = place.startTagEnd;
    while (p < place.end) {
        const Tag cell = nextTag(rows, p);
        if (!cell.isValid() || cell.begin >= place.end)
            return none;
        p = cell.end;
        if (cell.closing || localName(cell.name) != "c")
            continue;
        QByteArray reference;
        if (!attribute(rows, cell, "r", &reference) || reference != wanted)
            continue;
        QByteArray type;
        if (cell.selfClosing || (attribute(rows, cell, "t", &type) && type != "n"))
            return none;
        const Tag value = nextTag(rows, cell.end);
        if (!value.isOpening() || localName(value.name) != "v")
            return none;
        const int close = rows.indexOf('<', value.end);
        bool ok = false;
        const double number = rows.mid(value.end, close - value.end).trimmed().toDouble(&ok);
        return ok ? number : none;
    }
    return none;
}

XlsxSheet::RowPlace XlsxSheet::findRow(int target) const
{
    using namespace XmlScan;
    RowPlace place;
    place.begin = rows.size();
    int rowNumber = 0;
    int p = 0;
    while (true) {
        const Tag row = nextTag(rows, p);
        if (!row.isValid() || row.closing)
            break;
        QByteArray value;
        bool ok = true;
        rowNumber = attribute(rows, row, "r", &value) ? toInt(value, &ok) : rowNumber + 1;
        int end = row.end;
        if (!row.selfClosing) {
            const QByteArray rowClose = "</" + row.name + '>';
            const int close = rows.indexOf(rowClose, row.end);
            end = close < 0 ? rows.size() : close + rowClose.size();
        }
        if (rowNumber >= target) {
            place.begin = row.begin;
            if (rowNumber == target) {
                place.found = true;
                place.startTagEnd = row.end;
                place.end = end;
                place.selfClosing = row.selfClosing;
            }
            return place;
        }
        p = end;
    }
    return place;
}

void XlsxSheet::putCell(int row, int column, const QByteArray &cell)
{
    noteCell(row, column);
    if (row > lastRowElement) {
        rows += rowStart(row) + cell + rowEnd();
        lastRowElement = row;
        lastRowLastColumn = column;
        lastRowWrittenHere = true;
        return;
    }
    const QByteArray end = rowEnd();
    if (row == lastRowElement && lastRowWrittenHere && column > lastRowLastColumn
        && rows.endsWith(end)) {
        const int at = rows.size() - end.size();
        changedAt(at);
        rows.insert(at, cell);
        lastRowLastColumn = column;
        return;
    }
    const RowPlace place = findRow(row);
    if (!place.found) {
        changedAt(place.begin);
        rows.insert(place.begin, rowStart(row) + cell + rowEnd());
        return;
    }
    insertIntoRow(place, column, cell);
    if (row == lastRowElement)
        lastRowLastColumn = qMax(lastRowLastColumn, column);
}

void XlsxSheet::insertIntoRow(const RowPlace &place, int column, const QByteArray &cell)
{
    using namespace XmlScan;
    changedAt(place.begin);
    Tag rowTag = nextTag(rows, place.begin);
    // The row's span hint would no longer be right.
    const int removed = removeAttribute(rows, rowTag, "spans");
    const int startTagEnd = place.startTagEnd - removed;
    const int rowEndOffset = place.end - removed;
    if (place.selfClosing) {
        rowTag = nextTag(rows, place.begin);
        const QByteArray open = rows.mid(rowTag.begin, rowTag.end - rowTag.begin - 2) + '>';
        rows.replace(rowTag.begin, rowTag.end - rowTag.begin, open + cell + "</" + rowTag.name + '>');
        return;
    }
    int column0 = 0;
    int p = startTagEnd;
    const int closeAt = rows.lastIndexOf('<', rowEndOffset - 1);
    while (true) {
        const Tag tag = nextTag(rows, p);
        if (!tag.isValid() || tag.begin >= closeAt)
            break;
        if (tag.closing || localName(tag.name) != "c") {
            p = tag.end;
            continue;
        }
        int cellColumn = column0 + 1;
        int cellRow = 0;
        QByteArray value;
        if (attribute(rows, tag, "r", &value))
            parseCellReference(value, &cellColumn, &cellRow);
        column0 = cellColumn;
        int cellEnd = tag.end;
        if (!tag.selfClosing) {
            const QByteArray cellClose = "</" + tag.name + '>';
            const int close = rows.indexOf(cellClose, tag.end);
            cellEnd = close < 0 ? tag.end : close + cellClose.size();
        }
        if (cellColumn == column) {
            rows.replace(tag.begin, cellEnd - tag.begin, cell);
            return;
        }
        if (cellColumn > column) {
            rows.insert(tag.begin, cell);
            return;
        }
        p = cellEnd;
    }
    rows.insert(closeAt, cell);
}

void XlsxSheet::setRowHeight(int row, double points)
{
    using namespace XmlScan;
    const QByteArray attributes = " ht=\"" + numberText(points) + "\" customHeight=\"1\"";
    RowPlace place = findRow(row);
    if (!place.found) {
        changedAt(place.begin);
        rows.insert(place.begin, rowStart(row, attributes) + rowEnd());
        if (row > lastRowElement) {
            lastRowElement = row;
            lastRowLastColumn = 0;
            lastRowWrittenHere = false;
        }
        return;
    }
    changedAt(place.begin);
    Tag tag = nextTag(rows, place.begin);
    removeAttribute(rows, tag, "ht");
    tag = nextTag(rows, place.begin);
    removeAttribute(rows, tag, "customHeight");
    tag = nextTag(rows, place.begin);
    const int at = tag.end - (tag.selfClosing ? 2 : 1);
    rows.insert(at, attributes);
}

void XlsxSheet::setColumnWidth(int column, double width)
{
    using namespace XmlScan;
    const QByteArray number = QByteArray::number(column);
    const QByteArray newCol = '<' + prefix + "col min=\"" + number + "\" max=\"" + number
                              + "\" width=\"" + numberText(width) + "\" customWidth=\"1\"/>";
    Tag cols;
    for (Tag tag = nextTag(head, 0); tag.isValid(); tag = nextTag(head, tag.end)) {
        if (!tag.closing && localName(tag.name) == "cols") {
            cols = tag;
            break;
        }
    }
    if (!cols.isValid()) {
        const int dataStart = head.lastIndexOf('<');
        head.insert(dataStart, '<' + prefix + "cols>" + newCol + "</" + prefix + "cols>");
        return;
    }
    if (cols.selfClosing) {
        head.replace(cols.begin, cols.end - cols.begin,
                     '<' + cols.name + '>' + newCol + "</" + cols.name + '>');
        return;
    }
    for (Tag tag = nextTag(head, cols.end); tag.isValid(); tag = nextTag(head, tag.end)) {
        if (tag.closing && localName(tag.name) == "cols") {
            head.insert(tag.begin, newCol);
            return;
        }
        if (tag.closing || localName(tag.name) != "col")
            continue;
        QByteArray minText;
        QByteArray maxText;
        bool okMin = false;
        bool okMax = false;
        const int min = attribute(head, tag, "min", &minText) ? minText.toInt(&okMin) : 0;
        const int max = attribute(head, tag, "max", &maxText) ? maxText.toInt(&okMax) : 0;
        if (!okMin || !okMax || max < column)
            continue;
        if (min > column) {
            head.insert(tag.begin, newCol);
            return;
        }
        // The element covers the column: split it around the column, keeping its other
        // attributes on the pieces that remain.
        const QByteArray original = head.mid(tag.begin, tag.end - tag.begin);
        auto withRange = [&](int from, int to) {
            QByteArray piece = original;
            Tag t = nextTag(piece, 0);
            int b = 0;
            int e = 0;
            attribute(piece, t, "max", nullptr, &b, &e);
            piece.replace(b, e - b, QByteArray::number(to));
            t = nextTag(piece, 0);
            attribute(piece, t, "min", nullptr, &b, &e);
            piece.replace(b, e - b, QByteArray::number(from));
            return piece;
        };
        QByteArray replacement;
        if (min < column)
            replacement += withRange(min, column - 1);
        replacement += newCol;
        if (max > column)
            replacement += withRange(column + 1, max);
        head.replace(tag.begin, tag.end - tag.begin, replacement);
        return;
    }
}

QByteArray XlsxSheet::headWithDimension() const
{
    using namespace XmlScan;
    for (Tag tag = nextTag(head, 0); tag.isValid(); tag = nextTag(head, tag.end)) {
        if (tag.closing || localName(tag.name) != "dimension")
            continue;
        int begin = 0;
        int end = 0;
        if (!attribute(head, tag, "ref", nullptr, &begin, &end))
            return head;
        QByteArray reference = "A1";
        if (maxRow > 0) {
            reference = columnName(minColumn) + QByteArray::number(minRow);
            if (maxRow != minRow || maxColumn != minColumn)
                reference += ':' + columnName(maxColumn) + QByteArray::number(maxRow);
        }
        QByteArray out = head;
        out.replace(begin, end - begin, reference);
        return out;
    }
    return head;
}

QByteArray XlsxSheet::xml() const
{
    return headWithDimension() + rows + tail;
}

XlsxSheet::Deflated XlsxSheet::deflated()
{
    if (rows.size() - cachedLength >= cachePieceBytes) {
        const QByteArray piece = rows.mid(cachedLength);
        cachedRows += XlsxZip::deflateRaw(piece, false);
        cachedCrc = XlsxZip::crc32Combine(cachedCrc, XlsxZip::crc32(piece), piece.size());
        cachedLength = rows.size();
    }
    const QByteArray top = headWithDimension();
    const QByteArray rest = rows.mid(cachedLength);
    Deflated out;
    out.data = XlsxZip::deflateRaw(top, false) + cachedRows + XlsxZip::deflateRaw(rest, false)
               + XlsxZip::deflateRaw(tail, true);
    quint32 crc = XlsxZip::crc32(top);
    crc = XlsxZip::crc32Combine(crc, cachedCrc, cachedLength);
    crc = XlsxZip::crc32Combine(crc, XlsxZip::crc32(rest), rest.size());
    crc = XlsxZip::crc32Combine(crc, XlsxZip::crc32(tail), tail.size());
    out.crc = crc;
    out.size = qint64(top.size()) + rows.size() + tail.size();
    return out;
}
