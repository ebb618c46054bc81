#pragma once

#include <memory>

class ExcelWorksheets;
class QString;

// A workbook of the spreadsheet automation model.
class ExcelWorkbook
{
public:
    virtual ~ExcelWorkbook() = default;

    // "Worksheets".
    virtual std::unique_ptr<ExcelWorksheets> worksheets() = 0;
    // "SaveAs(const QString&)": replaces an existing file; false when the file was not written.
    virtual bool saveAs(const QString &path) = 0;
    // "Close()".
    virtual void close() = 0;
};
