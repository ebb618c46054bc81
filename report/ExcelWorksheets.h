#pragma once

#include <memory>

class ExcelWorksheet;

// The worksheets of a workbook in the spreadsheet automation model.
class ExcelWorksheets
{
public:
    virtual ~ExcelWorksheets() = default;

    // "Item(const QVariant&)": by position, from 1.
    virtual std::unique_ptr<ExcelWorksheet> item(int position) = 0;
};
