#pragma once

#include <memory>

class ExcelWorkbook;
class QString;

// The open workbooks of the spreadsheet automation model.
class ExcelWorkbooks
{
public:
    virtual ~ExcelWorkbooks() = default;

    // "Open(const QString&)": null when the file cannot be read as a workbook.
    virtual std::unique_ptr<ExcelWorkbook> open(const QString &path) = 0;
    // "Add": a new empty workbook.
    virtual void add() = 0;
    // "Item(const QVariant&)": by position, from 1; null when there is none.
    virtual std::unique_ptr<ExcelWorkbook> item(int position) = 0;
    // "Close": closes every open workbook.
    virtual void close() = 0;
};
