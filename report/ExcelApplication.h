#pragma once

#include <memory>

class ExcelWorkbooks;

// The spreadsheet application of the automation model, through which reports are written.
class ExcelApplication
{
public:
    virtual ~ExcelApplication() = default;

    // "Workbooks".
    virtual std::unique_ptr<ExcelWorkbooks> workbooks() = 0;
    // "DisplayAlerts".
    virtual void setDisplayAlerts(bool on) = 0;
    // "Quit()".
    virtual void quit() = 0;
};
