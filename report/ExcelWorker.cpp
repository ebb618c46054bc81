#include "ExcelWorker.h"

#include "ExcelApplication.h"
#include "ExcelRange.h"
#include "ExcelWorkbook.h"
#include "ExcelWorkbooks.h"
#include "ExcelWorksheet.h"
#include "ExcelWorksheets.h"
#include "XlsxApplication.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QVariant>
#include <QtDebug>

namespace {

const int lastCellType = 11;
const double firstRowHeight = 12.75;
const double firstColumnWidth = 15;
const int levelDifferenceColumn = 18;

QString g6(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

// The worksheet of one report call, with the cell operations the layouts need.
class ExcelWorker::Sheet
{
public:
    explicit Sheet(ExcelWorksheet *worksheet) : worksheet(worksheet) {}

    int lastUsedRow()
    {
        const std::unique_ptr<ExcelRange> all = worksheet->cells();
        const std::unique_ptr<ExcelRange> last = all ? all->specialCells(lastCellType) : nullptr;
        return last ? last->row() : 0;
    }

    void write(int row, int column, const QVariant &value)
    {
        lastCell = worksheet->cell(row, column);
        if (lastCell)
            lastCell->setValue(value);
    }

    void formatFirstRowAndColumn()
    {
        const std::unique_ptr<ExcelRange> a1 = worksheet->cell(1, 1);
        if (!a1)
            return;
        a1->setRowHeight(firstRowHeight);
        a1->setColumnWidth(firstColumnWidth);
    }

    std::unique_ptr<ExcelRange> lastCell;

private:
    ExcelWorksheet *worksheet;
};

ExcelWorker::ExcelWorker(QObject *parent)
    : QObject(parent)
    , factory([] { return std::make_unique<XlsxApplication>(); })
{
}

ExcelWorker::~ExcelWorker() = default;

void ExcelWorker::setApplicationFactory(ApplicationFactory newFactory)
{
    factory = std::move(newFactory);
}

void ExcelWorker::setDirectory(const QString &folder)
{
    directory = folder;
}

QString ExcelWorker::workbookPath(const QString &name) const
{
    const QString folder = directory.isEmpty() ? QCoreApplication::applicationDirPath() : directory;
    return QDir::toNativeSeparators(folder + QLatin1Char('/') + name + QLatin1String(".xlsx"));
}

void ExcelWorker::startExcel()
{
    excelApplication = factory();
}

void ExcelWorker::quitExcel()
{
    if (!excelApplication)
        return;
    excelApplication->quit();
    excelApplication.reset();
}

void ExcelWorker::append(const QString &name, const Writer &writer)
{
    if (!excelApplication) {
        qDebug() << "report row written outside a measurement: starting the report engine";
        startExcel();
    }
    if (appendTo(workbookPath(name), writer))
        return;
    const QString recovered = workbookPath(name + QLatin1String(" (recovered)"));
    qDebug() << "workbook" << workbookPath(name) << "left as it is; the row goes to" << recovered;
    if (!appendTo(recovered, writer))
        qDebug() << "the row could not be written to" << recovered << "either";
}

bool ExcelWorker::appendTo(const QString &path, const Writer &writer)
{
    const bool existed = QFile::exists(path);
    std::unique_ptr<ExcelWorkbooks> workbooks = excelApplication->workbooks();
    if (!workbooks)
        return false;
    std::unique_ptr<ExcelWorkbook> workbook;
    if (existed) {
        workbook = workbooks->open(path);
    } else {
        workbooks->add();
        workbook = workbooks->item(1);
    }
    if (!workbook) {
        workbooks->close();
        return false;
    }
    std::unique_ptr<ExcelWorksheets> worksheets = workbook->worksheets();
    std::unique_ptr<ExcelWorksheet> worksheet = worksheets ? worksheets->item(1) : nullptr;
    if (worksheet)
        worksheet->setName(QStringLiteral("Лист 1"));

    std::unique_ptr<ExcelWorkbooks> workbooks2 = excelApplication->workbooks();
    std::unique_ptr<ExcelWorkbook> workbook2 = workbooks2 ? workbooks2->item(1) : nullptr;
    std::unique_ptr<ExcelWorksheets> worksheets2 = workbook2 ? workbook2->worksheets() : nullptr;
    std::unique_ptr<ExcelWorksheet> sheet = worksheets2 ? worksheets2->item(1) : nullptr;
    if (!sheet) {
        if (workbooks2)
            workbooks2->close();
        workbooks->close();
        return false;
    }

    Sheet cells(sheet.get());
    writer(cells, existed);

    excelApplication->setDisplayAlerts(false);
    const bool saved = workbook2->saveAs(path);
    workbook2->close();
    cells.lastCell.reset();
    worksheets2.reset();
    workbook2.reset();
    workbooks2->close();
    workbooks2.reset();
    return saved;
}

void ExcelWorker::appendPowerRow(const QString &name, quint64 pointIndex,
                                 const QList<double> &values)
{
    const bool firstPoint = pointIndex == 0;
    append(name, [&](Sheet &sheet, bool existed) {
        const int above = (!firstPoint || existed) ? sheet.lastUsedRow() : 0;
        if (firstPoint)
            sheet.formatFirstRowAndColumn();
        for (int column = 0; column < values.size(); ++column)
            sheet.write(above + 1, column + 1, values.at(column));
    });
}

void ExcelWorker::writeFrequencySweepRow(const QString &name, const quint64 &pointIndex,
                                         double frequency, double power, double synthesizerPower,
                                         double temperature)
{
    appendPowerRow(name, pointIndex, {frequency, power, synthesizerPower, temperature});
}

void ExcelWorker::writePowerStepRow(const QString &name, const quint64 &pointIndex, double frequency,
                                    double power, double outputPower, double synthesizerPower,
                                    double temperature)
{
    appendPowerRow(name, pointIndex, {frequency, power, outputPower, synthesizerPower, temperature});
}

void ExcelWorker::writeSpurRow(const QString &name, const quint64 &pointIndex, double span,
                               double bandwidth, quint32 &peakCount,
                               const QList<double> &frequencies, const QList<double> &levels)
{
    // Nine or ten peaks would run past the header's eight column pairs into column R.
    if (peakCount > 8)
        peakCount = 8;
    const int count = qMin<qint64>(peakCount, qMin(frequencies.size(), levels.size()));
    if (count < int(peakCount))
        qDebug() << "spur row: peak count" << peakCount << "exceeds the peak lists; using" << count;
    const bool firstPoint = pointIndex == 0;
    append(name, [&](Sheet &sheet, bool existed) {
        if (count == 0)
            return;
        int row = 0;
        if (firstPoint) {
            const int last = existed ? sheet.lastUsedRow() : 0;
            const int title = last == 0 ? 1 : last + 3;
            sheet.formatFirstRowAndColumn();
            sheet.write(title, 1, QDateTime::currentDateTime());
            sheet.write(title, 3, QStringLiteral("BW ") + g6(bandwidth));
            sheet.write(title, 4, QStringLiteral("SPAN ") + g6(span));
            const int header = title + 3;
            sheet.write(header, 1, QStringLiteral("Частота, ГГц"));
            sheet.write(header, 2, QStringLiteral("Амплитуда, дБм"));
            for (int n = 1; n <= 8; ++n) {
                sheet.write(header, 2 * n + 1, QString::number(n) + QLatin1Char('f'));
                sheet.write(header, 2 * n + 2, QString::number(n) + QLatin1Char('a'));
            }
            row = title + 4;
        } else {
            row = sheet.lastUsedRow() + 1;
        }
        const double carrier = frequencies.at(0) / 1e9;
        sheet.write(row, 1, carrier);
        sheet.write(row, 2, levels.at(0));
        int column = 3;
        for (int j = 1; j < count; ++j) {
            // The difference is taken in Hz before scaling, so that a peak exactly 16 kHz away
            // is not counted through a rounding error of the two divisions.
            const double d = (frequencies.at(0) - frequencies.at(j)) / 1e9;
            if (d > 0.000016 || d < -0.000016) {
                sheet.write(row, column, frequencies.at(j) / 1e9);
                sheet.write(row, column + 1, levels.at(j));
                column += 2;
            }
        }
        if (levels.size() >= 2)
            sheet.write(row, levelDifferenceColumn, g6(levels.at(0) - levels.at(1)));
    });
}
