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
#include <QFileInfo>
#include <QVariant>
#include <QtDebug>

#include <algorithm>

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

ExcelWorker::~ExcelWorker()
{
    for (const Backlog &queue : backlog)
        qDebug() << queue.rows.size() << "rows of" << queue.workbook << "were never saved:" << queue.reason;
}

void ExcelWorker::setApplicationFactory(ApplicationFactory newFactory)
{
    QMutexLocker lock(&mutex);
    factory = std::move(newFactory);
}

void ExcelWorker::setDirectory(const QString &folder)
{
    QMutexLocker lock(&mutex);
    directory = folder;
}

QString ExcelWorker::workbookPath(const QString &name) const
{
    QMutexLocker lock(&mutex);
    const QString folder = directory.isEmpty() ? QCoreApplication::applicationDirPath() : directory;
    return QDir::toNativeSeparators(folder + QLatin1Char('/') + name + QLatin1String(".xlsx"));
}

void ExcelWorker::startExcel()
{
    QMutexLocker lock(&mutex);
    excelApplication = factory();
}

void ExcelWorker::quitExcel()
{
    QMutexLocker lock(&mutex);
    if (!excelApplication)
        return;
    // The end of a run is one more chance for rows that wait.
    if (!backlog.empty())
        saveQueued(*excelApplication);
    excelApplication->quit();
    excelApplication.reset();
}

void ExcelWorker::append(const QString &name, Writer writer)
{
    QMutexLocker lock(&mutex);
    if (!excelApplication) {
        qDebug() << "report row written outside a measurement: starting the report engine";
        startExcel();
    }
    auto queue = queueOf(name);
    if (queue == backlog.end()) {
        backlog.push_back(Backlog{name, {}, false, QString()});
        queue = backlog.end() - 1;
    }
    queue->rows.append(std::move(writer));
    saveQueued(*excelApplication);
}

std::vector<ExcelWorker::Backlog>::iterator ExcelWorker::queueOf(const QString &workbook)
{
    return std::find_if(backlog.begin(), backlog.end(),
                        [&](const Backlog &queue) { return queue.workbook == workbook; });
}

void ExcelWorker::saveQueued(ExcelApplication &application)
{
    for (auto queue = backlog.begin(); queue != backlog.end();) {
        QString reason;
        if (saveRows(application, queue->workbook, queue->rows, &reason)) {
            if (queue->announced) {
                qDebug() << queue->rows.size() << "waiting rows saved for" << queue->workbook;
                emit rowsSaved(queue->workbook, queue->rows.size());
            }
            queue = backlog.erase(queue);
            continue;
        }
        qDebug() << queue->rows.size() << "rows of" << queue->workbook << "wait in memory:" << reason;
        queue->announced = true;
        queue->reason = reason;
        emit rowsWaiting(queue->workbook, queue->rows.size(), reason);
        ++queue;
    }
}

bool ExcelWorker::saveRows(ExcelApplication &application, const QString &name,
                           const QVector<Writer> &rows, QString *reason)
{
    if (appendTo(application, workbookPath(name), rows, reason))
        return true;
    const QString recoveredName = name + QLatin1String(" (recovered)");
    const QString recovered = workbookPath(recoveredName);
    qDebug() << "workbook" << workbookPath(name) << "left as it is (" << *reason
             << "); the rows go to" << recovered;
    QString recoveredReason;
    if (!appendTo(application, recovered, rows, &recoveredReason)) {
        qDebug() << "the rows could not be written to" << recovered << "either:" << recoveredReason;
        // Whatever kept the neighbour from the disk is what keeps the rows waiting now.
        if (!recoveredReason.isEmpty())
            *reason = recoveredReason;
        return false;
    }
    if (!announcedRecovered.contains(recovered)) {
        announcedRecovered.insert(recovered);
        emit rowsRecovered(name, recoveredName, *reason);
    }
    return true;
}

bool ExcelWorker::appendTo(ExcelApplication &application, const QString &path,
                           const QVector<Writer> &rows, QString *reason)
{
    const bool existed = QFile::exists(path);
    std::unique_ptr<ExcelWorkbooks> workbooks = application.workbooks();
    if (!workbooks) {
        *reason = QStringLiteral("no spreadsheet application");
        return false;
    }
    std::unique_ptr<ExcelWorkbook> workbook;
    if (existed) {
        workbook = workbooks->open(path);
    } else {
        workbooks->add();
        workbook = workbooks->item(1);
    }
    if (!workbook) {
        *reason = existed && !QFileInfo(path).isReadable() ? QStringLiteral("no permission")
                                                           : QStringLiteral("file damaged");
        workbooks->close();
        return false;
    }
    std::unique_ptr<ExcelWorksheets> worksheets = workbook->worksheets();
    std::unique_ptr<ExcelWorksheet> worksheet = worksheets ? worksheets->item(1) : nullptr;
    if (worksheet)
        worksheet->setName(QStringLiteral("Лист 1"));

    std::unique_ptr<ExcelWorkbooks> workbooks2 = application.workbooks();
    std::unique_ptr<ExcelWorkbook> workbook2 = workbooks2 ? workbooks2->item(1) : nullptr;
    std::unique_ptr<ExcelWorksheets> worksheets2 = workbook2 ? workbook2->worksheets() : nullptr;
    std::unique_ptr<ExcelWorksheet> sheet = worksheets2 ? worksheets2->item(1) : nullptr;
    if (!sheet) {
        if (workbooks2)
            workbooks2->close();
        workbooks->close();
        *reason = QStringLiteral("file damaged");
        return false;
    }

    Sheet cells(sheet.get());
    // Rows saved together: each after the first finds the rows before it in the workbook.
    for (int i = 0; i < rows.size(); ++i)
        rows.at(i)(cells, existed || i > 0);

    application.setDisplayAlerts(false);
    const bool saved = workbook2->saveAs(path);
    if (!saved) {
        *reason = workbook2->saveFailure();
        if (reason->isEmpty())
            *reason = QStringLiteral("not saved");
    }
    workbook2->close();
    cells.lastCell.reset();
    worksheets2.reset();
    workbook2.reset();
    workbooks2->close();
    workbooks2.reset();
    return saved;
}

QList<ExcelWorker::WaitingRows> ExcelWorker::waitingRows() const
{
    QMutexLocker lock(&mutex);
    QList<WaitingRows> waiting;
    for (const Backlog &queue : backlog)
        waiting.append(WaitingRows{queue.workbook, queue.rows.size(), queue.reason});
    return waiting;
}

bool ExcelWorker::retryWaitingRows()
{
    QMutexLocker lock(&mutex);
    if (backlog.empty())
        return true;
    // A spreadsheet application of its own: this may run in another thread than the measurement.
    const std::unique_ptr<ExcelApplication> application = factory();
    saveQueued(*application);
    application->quit();
    return backlog.empty();
}

bool ExcelWorker::saveWaitingRowsAs(const QString &workbook, const QString &path)
{
    QMutexLocker lock(&mutex);
    const auto queue = queueOf(workbook);
    if (queue == backlog.end())
        return true;
    const std::unique_ptr<ExcelApplication> application = factory();
    QString reason;
    const bool saved = appendTo(*application, QDir::toNativeSeparators(path), queue->rows, &reason);
    application->quit();
    if (!saved) {
        qDebug() << "waiting rows of" << workbook << "could not be saved to" << path << ":" << reason;
        return false;
    }
    qDebug() << queue->rows.size() << "waiting rows of" << workbook << "saved to" << path;
    emit rowsSaved(workbook, queue->rows.size());
    backlog.erase(queue);
    return true;
}

int ExcelWorker::discardWaitingRows()
{
    QMutexLocker lock(&mutex);
    int discarded = 0;
    for (const Backlog &queue : backlog) {
        qDebug() << "discarding" << queue.rows.size() << "waiting rows of" << queue.workbook;
        discarded += queue.rows.size();
    }
    backlog.clear();
    return discarded;
}

void ExcelWorker::appendPowerRow(const QString &name, quint64 pointIndex,
                                 const QList<double> &values)
{
    const bool firstPoint = pointIndex == 0;
    append(name, [firstPoint, values](Sheet &sheet, bool existed) {
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
    // Taken now: a row that waits for the disk keeps the time of its measurement.
    const QDateTime now = QDateTime::currentDateTime();
    append(name, [=](Sheet &sheet, bool existed) {
        if (count == 0)
            return;
        int row = 0;
        if (firstPoint) {
            const int last = existed ? sheet.lastUsedRow() : 0;
            const int title = last == 0 ? 1 : last + 3;
            sheet.formatFirstRowAndColumn();
            sheet.write(title, 1, now);
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
