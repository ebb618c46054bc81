#pragma once

#include <QByteArray>
#include <QString>

// The XML of one worksheet, held as the bytes before, inside and after its sheet data, so that
// cells can be added by splicing while everything the engine does not touch keeps its bytes.
// Rows appended at the end are cheap: their compressed form is cached in pieces.
class XlsxSheet
{
public:
    // A sheet larger than this is not loaded.
    static constexpr qint64 maxXmlBytes = 200LL * 1024 * 1024;

    struct Deflated
    {
        QByteArray data; // raw deflate stream
        quint32 crc = 0;
        qint64 size = 0; // uncompressed
    };

    // Reads the XML of a worksheet part; false when it is not one this engine can edit.
    bool load(const QByteArray &xml);
    // An empty worksheet, as a new workbook holds it.
    void loadEmpty();

    // The highest row holding a cell; 0 for an empty sheet.
    int lastUsedRow() const { return lastCellRow; }

    void setNumber(int row, int column, double value, int style = -1);
    // The number in a cell; NaN when the cell is empty, absent or holds anything but a number.
    double number(int row, int column) const;
    void setText(int row, int column, const QString &text);
    void setRowHeight(int row, double points);
    void setColumnWidth(int column, double width);

    QByteArray xml() const;
    Deflated deflated();

private:
    struct RowPlace
    {
        bool found = false;
        int begin = 0;        // start of the row element, or where a new one goes
        int startTagEnd = 0;  // just after its start tag
        int end = 0;          // just after the element
        bool selfClosing = false;
    };

    QByteArray headWithDimension() const;
    RowPlace findRow(int row) const;
    void putCell(int row, int column, const QByteArray &cell);
    void insertIntoRow(const RowPlace &place, int column, const QByteArray &cell);
    void noteCell(int row, int column);
    void changedAt(int offset);
    QByteArray rowStart(int row, const QByteArray &attributes = QByteArray()) const;
    QByteArray rowEnd() const;

    QByteArray head; // up to and including the sheet data's start tag
    QByteArray rows; // the row elements
    QByteArray tail; // from the sheet data's end tag on
    QByteArray prefix; // namespace prefix of the sheet's elements, "x:" or empty

    int lastRowElement = 0;    // number of the last row element in rows
    int lastRowLastColumn = 0; // its highest column holding a cell
    bool lastRowWrittenHere = false; // written by this engine, so plain (no span hint)
    int lastCellRow = 0;
    int minRow = 0;
    int minColumn = 0;
    int maxRow = 0;
    int maxColumn = 0;

    // Compressed pieces covering rows[0, cachedLength).
    QByteArray cachedRows;
    quint32 cachedCrc = 0;
    int cachedLength = 0;
};
