#include "XlsxApplication.h"

#include "ExcelRange.h"
#include "ExcelWorkbook.h"
#include "ExcelWorkbooks.h"
#include "ExcelWorksheet.h"
#include "ExcelWorksheets.h"
#include "DurableFile.h"
#include "XlsxDocument.h"

#include <QDate>
#include <QDateTime>

#include <cmath>
#include <QVariant>
#include <QtDebug>

#include <algorithm>

namespace {

using Document = std::weak_ptr<XlsxDocument>;

// The spreadsheet's serial date: days since 1899-12-30, or since 1904-01-01 in a workbook that
// uses the 1904 date system.
double serialDate(const QDateTime &time, bool date1904)
{
    const qint64 days = (date1904 ? QDate(1904, 1, 1) : QDate(1899, 12, 30)).daysTo(time.date());
    return double(days) + time.time().msecsSinceStartOfDay() / 86400000.0;
}

class Range : public ExcelRange
{
public:
    enum Kind { AllCells, OneCell };
    Range(Document document, Kind kind, int row, int column)
        : document(std::move(document)), kind(kind), cellRow(row), cellColumn(column)
    {
    }

    std::unique_ptr<ExcelRange> specialCells(int type) override
    {
        const auto doc = document.lock();
        if (!doc || type != 11)
            return nullptr;
        // An empty sheet's last cell is A1, as in the spreadsheet program.
        const int last = std::max(doc->sheet().lastUsedRow(), 1);
        return std::make_unique<Range>(document, OneCell, last, 1);
    }

    int row() override { return cellRow; }

    void setValue(const QVariant &value) override
    {
        const auto doc = document.lock();
        if (!doc || kind != OneCell)
            return;
        XlsxSheet &sheet = doc->sheet();
        switch (value.userType()) {
        case QMetaType::QDateTime:
            sheet.setNumber(cellRow, cellColumn, serialDate(value.toDateTime(), doc->uses1904Dates()),
                           doc->dateTimeStyle());
            break;
        case QMetaType::QString:
            sheet.setText(cellRow, cellColumn, value.toString());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            sheet.setNumber(cellRow, cellColumn, value.toDouble());
            break;
        default:
            sheet.setText(cellRow, cellColumn, value.toString());
            break;
        }
    }

    QVariant value() override
    {
        const auto doc = document.lock();
        if (!doc || kind != OneCell)
            return QVariant();
        const double number = doc->sheet().number(cellRow, cellColumn);
        return std::isnan(number) ? QVariant() : QVariant(number);
    }

    void setRowHeight(double points) override
    {
        if (const auto doc = document.lock(); doc && kind == OneCell)
            doc->sheet().setRowHeight(cellRow, points);
    }

    void setColumnWidth(double characters) override
    {
        if (const auto doc = document.lock(); doc && kind == OneCell)
            doc->sheet().setColumnWidth(cellColumn, characters);
    }

private:
    Document document;
    Kind kind;
    int cellRow;
    int cellColumn;
};

class Worksheet : public ExcelWorksheet
{
public:
    explicit Worksheet(Document document) : document(std::move(document)) {}

    void setName(const QString &name) override
    {
        if (const auto doc = document.lock())
            doc->renameFirstSheet(name);
    }
    std::unique_ptr<ExcelRange> cells() override
    {
        return std::make_unique<Range>(document, Range::AllCells, 1, 1);
    }
    std::unique_ptr<ExcelRange> cell(int row, int column) override
    {
        if (row < 1 || row > 1048576 || column < 1 || column > 16384)
            return nullptr;
        return std::make_unique<Range>(document, Range::OneCell, row, column);
    }

private:
    Document document;
};

class Worksheets : public ExcelWorksheets
{
public:
    explicit Worksheets(Document document) : document(std::move(document)) {}

    // The engine edits the first worksheet only.
    std::unique_ptr<ExcelWorksheet> item(int position) override
    {
        if (position != 1 || document.expired())
            return nullptr;
        return std::make_unique<Worksheet>(document);
    }

private:
    Document document;
};

class Workbook : public ExcelWorkbook
{
public:
    Workbook(std::shared_ptr<XlsxApplication::State> state, Document document)
        : state(std::move(state)), document(std::move(document))
    {
    }

    std::unique_ptr<ExcelWorksheets> worksheets() override
    {
        return std::make_unique<Worksheets>(document);
    }
    bool saveAs(const QString &path) override
    {
        const auto doc = document.lock();
        if (!doc)
            return false;
        const DurableFile::Result result = doc->save(path);
        switch (result.failure) {
        case DurableFile::Failure::None:
            failure.clear();
            break;
        case DurableFile::Failure::DiskFull:
            failure = QStringLiteral("disk full");
            break;
        case DurableFile::Failure::NoPermission:
            failure = QStringLiteral("no permission");
            break;
        case DurableFile::Failure::FolderMissing:
            failure = QStringLiteral("folder not found");
            break;
        case DurableFile::Failure::Other:
            failure = result.message;
            break;
        }
        return result.ok();
    }
    QString saveFailure() const override { return failure; }
    void close() override
    {
        const auto doc = document.lock();
        auto &open = state->open;
        open.erase(std::remove(open.begin(), open.end(), doc), open.end());
    }

private:
    std::shared_ptr<XlsxApplication::State> state;
    Document document;
    QString failure;
};

class Workbooks : public ExcelWorkbooks
{
public:
    explicit Workbooks(std::shared_ptr<XlsxApplication::State> state) : state(std::move(state)) {}

    std::unique_ptr<ExcelWorkbook> open(const QString &path) override
    {
        std::shared_ptr<XlsxDocument> document = XlsxDocument::open(path);
        if (!document)
            return nullptr;
        state->open.push_back(document);
        return std::make_unique<Workbook>(state, document);
    }
    void add() override { state->open.push_back(XlsxDocument::create()); }
    std::unique_ptr<ExcelWorkbook> item(int position) override
    {
        if (position < 1 || size_t(position) > state->open.size())
            return nullptr;
        return std::make_unique<Workbook>(state, state->open.at(size_t(position - 1)));
    }
    void close() override { state->open.clear(); }

private:
    std::shared_ptr<XlsxApplication::State> state;
};

} // namespace

XlsxApplication::XlsxApplication()
    : state(std::make_shared<State>())
{
}

XlsxApplication::~XlsxApplication() = default;

std::unique_ptr<ExcelWorkbooks> XlsxApplication::workbooks()
{
    return std::make_unique<Workbooks>(state);
}

void XlsxApplication::setDisplayAlerts(bool on)
{
    state->displayAlerts = on;
}

void XlsxApplication::quit()
{
    state->open.clear();
}
