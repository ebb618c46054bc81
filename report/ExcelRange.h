#pragma once

#include <memory>

class QVariant;

// A cell range of the spreadsheet automation model.
class ExcelRange
{
public:
    virtual ~ExcelRange() = default;

    // "SpecialCells(int)": 11 gives the last used cell.
    virtual std::unique_ptr<ExcelRange> specialCells(int type) = 0;
    // "Row": the 1-based row number of the range's first cell.
    virtual int row() = 0;
    // "Value": a double, a text or a date-time.
    virtual void setValue(const QVariant &value) = 0;
    // "Value" read back: the cell's number, or an invalid QVariant for anything else.
    virtual QVariant value() = 0;
    // "RowHeight", in points.
    virtual void setRowHeight(double points) = 0;
    // "ColumnWidth", in characters.
    virtual void setColumnWidth(double characters) = 0;
};
