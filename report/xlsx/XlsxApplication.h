#pragma once

#include "ExcelApplication.h"

#include <memory>
#include <vector>

class XlsxDocument;

// The spreadsheet application played by the report engine itself: workbooks are .xlsx files
// read and written directly, with no spreadsheet program needed.
class XlsxApplication : public ExcelApplication
{
public:
    XlsxApplication();
    ~XlsxApplication() override;

    std::unique_ptr<ExcelWorkbooks> workbooks() override;
    void setDisplayAlerts(bool on) override;
    void quit() override;

    // The open workbooks, in the order they were opened or added.
    struct State
    {
        std::vector<std::shared_ptr<XlsxDocument>> open;
        bool displayAlerts = true;
    };

private:
    std::shared_ptr<State> state;
};
