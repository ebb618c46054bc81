#include "RecordingExcel.h"

#include "ExcelRange.h"
#include "ExcelWorkbook.h"
#include "ExcelWorkbooks.h"
#include "ExcelWorksheet.h"
#include "ExcelWorksheets.h"

#include <QDateTime>
#include <QVariant>

namespace {

using Log = std::shared_ptr<RecordingExcel::Log>;

QString text(const QVariant &value)
{
    if (value.userType() == QMetaType::QDateTime)
        return QStringLiteral("<date-time>");
    if (value.userType() == QMetaType::QString)
        return QLatin1Char('"') + value.toString() + QLatin1Char('"');
    return QString::number(value.toDouble(), 'g', 12);
}

class Range : public ExcelRange
{
public:
    Range(Log log, int row) : log(std::move(log)), cellRow(row) {}
    std::unique_ptr<ExcelRange> specialCells(int type) override
    {
        log->calls << QStringLiteral("Range.SpecialCells(%1)").arg(type);
        return std::make_unique<Range>(log, log->lastUsedRow);
    }
    int row() override
    {
        log->calls << QStringLiteral("Range.Row");
        return cellRow;
    }
    void setValue(const QVariant &value) override
    {
        log->calls << QStringLiteral("Range.Value(%1)").arg(text(value));
    }
    QVariant value() override
    {
        log->calls << QStringLiteral("Range.Value");
        return QVariant();
    }
    void setRowHeight(double points) override
    {
        log->calls << QStringLiteral("Range.RowHeight(%1)").arg(points);
    }
    void setColumnWidth(double characters) override
    {
        log->calls << QStringLiteral("Range.ColumnWidth(%1)").arg(characters);
    }

private:
    Log log;
    int cellRow;
};

class Worksheet : public ExcelWorksheet
{
public:
    explicit Worksheet(Log log) : log(std::move(log)) {}
    void setName(const QString &name) override
    {
        log->calls << QStringLiteral("Worksheet.Name(%1)").arg(name);
    }
    std::unique_ptr<ExcelRange> cells() override
    {
        log->calls << QStringLiteral("Worksheet.Cells");
        return std::make_unique<Range>(log, 1);
    }
    std::unique_ptr<ExcelRange> cell(int row, int column) override
    {
        log->calls << QStringLiteral("Worksheet.Cells(%1,%2)").arg(row).arg(column);
        return std::make_unique<Range>(log, row);
    }

private:
    Log log;
};

class Worksheets : public ExcelWorksheets
{
public:
    explicit Worksheets(Log log) : log(std::move(log)) {}
    std::unique_ptr<ExcelWorksheet> item(int position) override
    {
        log->calls << QStringLiteral("Worksheets.Item(%1)").arg(position);
        return std::make_unique<Worksheet>(log);
    }

private:
    Log log;
};

class Workbook : public ExcelWorkbook
{
public:
    explicit Workbook(Log log) : log(std::move(log)) {}
    std::unique_ptr<ExcelWorksheets> worksheets() override
    {
        log->calls << QStringLiteral("Workbook.Worksheets");
        return std::make_unique<Worksheets>(log);
    }
    bool saveAs(const QString &path) override
    {
        log->calls << QStringLiteral("Workbook.SaveAs(%1)").arg(path);
        return log->saveFailure.isEmpty();
    }
    QString saveFailure() const override { return log->saveFailure; }
    void close() override { log->calls << QStringLiteral("Workbook.Close()"); }

private:
    Log log;
};

class Workbooks : public ExcelWorkbooks
{
public:
    explicit Workbooks(Log log) : log(std::move(log)) {}
    std::unique_ptr<ExcelWorkbook> open(const QString &path) override
    {
        log->calls << QStringLiteral("Workbooks.Open(%1)").arg(path);
        return std::make_unique<Workbook>(log);
    }
    void add() override { log->calls << QStringLiteral("Workbooks.Add"); }
    std::unique_ptr<ExcelWorkbook> item(int position) override
    {
        log->calls << QStringLiteral("Workbooks.Item(%1)").arg(position);
        return std::make_unique<Workbook>(log);
    }
    void close() override { log->calls << QStringLiteral("Workbooks.Close"); }

private:
    Log log;
};

} // namespace

std::unique_ptr<ExcelWorkbooks> RecordingExcel::workbooks()
{
    log->calls << QStringLiteral("Application.Workbooks");
    return std::make_unique<Workbooks>(log);
}

void RecordingExcel::setDisplayAlerts(bool on)
{
    log->calls << QStringLiteral("Application.DisplayAlerts(%1)").arg(on ? "true" : "false");
}

void RecordingExcel::quit()
{
    log->calls << QStringLiteral("Application.Quit()");
}
