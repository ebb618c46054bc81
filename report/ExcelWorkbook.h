#pragma once

#include <QString>

#include <memory>

class ExcelWorksheets;

// A workbook of the spreadsheet automation model.
class ExcelWorkbook
{
public:
    virtual ~ExcelWorkbook() = default;

    // "Worksheets".
    virtual std::unique_ptr<ExcelWorksheets> worksheets() = 0;
    // "SaveAs(const QString&)": replaces an existing file; false when the file was not written.
    virtual bool saveAs(const QString &path) = 0;
    // Why the last "SaveAs" failed, in an operator's words ("disk full", "no permission");
    // empty when it did not fail or the reason is unknown.
    virtual QString saveFailure() const { return QString(); }
    // "Close()".
    virtual void close() = 0;
};
