#pragma once

#include "ExcelApplication.h"

#include <QStringList>

#include <memory>

// A spreadsheet application that does nothing but log each automation member it is asked for,
// as "Object.Member(arguments)"; its last used row and whether saves fail are set by the test.
class RecordingExcel : public ExcelApplication
{
public:
    struct Log
    {
        QStringList calls;
        int lastUsedRow = 1;
        QString saveFailure; // when set, every "SaveAs" fails for this reason
    };

    explicit RecordingExcel(std::shared_ptr<Log> log) : log(std::move(log)) {}

    std::unique_ptr<ExcelWorkbooks> workbooks() override;
    void setDisplayAlerts(bool on) override;
    void quit() override;

private:
    std::shared_ptr<Log> log;
};
