#include "ExcelWorker.h"

#include "DurableFile.h"
#include "ExcelApplication.h"
#include "ExcelRange.h"
#include "ExcelWorkbook.h"
#include "ExcelWorkbooks.h"
#include "ExcelWorksheet.h"
#include "ExcelWorksheets.h"
#include "XlsxApplication.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>
#include <QVariant>
#include <QtDebug>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace {

const int lastCellType = 11;
const double firstRowHeight = 12.75;
const double firstColumnWidth = 15;
const int levelDifferenceColumn = 18;
// Waiting rows are tried again with a new row, but not more often than this: on a full disk
// every try builds the whole workbook in vain.
const qint64 retryIntervalMs = 1000;
// Another writer holds a workbook's lock for one save, some tens of milliseconds.
const unsigned long lockPollMs = 10;

QString g6(double value)
{
    return QString::number(value, 'g', 6);
}

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A writer killed between making its lock file and writing its name into it leaves the file
// empty, and the lock would pass for held until it is half a minute old. An empty lock file older
// than this is taken away when no process holds its system lock, which a live holder takes as it
// makes the file and a killed one loses.
const qint64 emptyLockMs = 1000;

// Takes the lock at lockFile, waiting for its holder at most milliseconds; false when it is held
// still or cannot be made at all (see the lock's error).
bool lockWithin(QLockFile &lock, const QString &lockFile, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    bool emptyRemoved = false; // tried once: a file that cannot be removed is waited for
    for (;;) {
        // Without a timeout of its own, which would sleep 100 ms and more between tries.
        if (lock.tryLock(0))
            return true;
        if (lock.error() != QLockFile::LockFailedError)
            return false;
        const QFileInfo left(lockFile);
        if (!emptyRemoved && left.exists() && left.size() == 0
            && left.lastModified().msecsTo(QDateTime::currentDateTimeUtc()) > emptyLockMs) {
            emptyRemoved = true;
            lock.removeStaleLockFile();
            continue;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(lockPollMs);
    }
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

    // The cell's number; NaN for an empty cell or one that holds anything else.
    double number(int row, int column)
    {
        const std::unique_ptr<ExcelRange> cell = worksheet->cell(row, column);
        const QVariant value = cell ? cell->value() : QVariant();
        bool isNumber = false;
        const double number = value.toDouble(&isNumber);
        return value.isValid() && value.type() != QVariant::String && isNumber ? number
                                                                              : std::numeric_limits<double>::quiet_NaN();
    }

    // A reading that is not a number leaves its cell empty.
    void writeNumber(int row, int column, double value)
    {
        if (std::isfinite(value))
            write(row, column, value);
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
    , clock(steadyMilliseconds)
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

void ExcelWorker::setDirectory(const QString &newDirectory)
{
    QMutexLocker lock(&mutex);
    directory = newDirectory;
}

QString ExcelWorker::folder() const
{
    QMutexLocker lock(&mutex);
    return QDir(directory.isEmpty() ? QCoreApplication::applicationDirPath() : directory).absolutePath();
}

ExcelWorker::ApplicationFactory ExcelWorker::applicationFactory() const
{
    QMutexLocker lock(&mutex);
    return factory;
}

void ExcelWorker::setRowPlacer(RowPlacer rowPlacer)
{
    QMutexLocker lock(&mutex);
    placer = std::move(rowPlacer);
}

const QString ExcelWorker::sheetName = QStringLiteral("Лист 1");

QString ExcelWorker::workbookPath(const QString &name) const
{
    QMutexLocker lock(&mutex);
    return pathOf(name);
}

void ExcelWorker::setClock(Clock newClock)
{
    QMutexLocker lock(&mutex);
    clock = std::move(newClock);
}

void ExcelWorker::setLockWait(int milliseconds)
{
    QMutexLocker lock(&mutex);
    lockWaitMs = milliseconds;
}

QString ExcelWorker::pathOf(const QString &name) const
{
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
    {
        QMutexLocker lock(&mutex);
        if (!excelApplication)
            return;
        // The end of a run is one more chance for rows that wait.
        if (!backlog.empty())
            saveQueued(*excelApplication, true);
        excelApplication->quit();
        excelApplication.reset();
    }
    notify();
}

void ExcelWorker::append(const QString &name, Writer writer, qint64 token)
{
    {
        QMutexLocker lock(&mutex);
        if (!excelApplication) {
            qDebug() << "report row written outside a measurement: starting the report engine";
            excelApplication = factory();
        }
        auto queue = queueOf(name);
        if (queue == backlog.end()) {
            backlog.push_back(Backlog());
            queue = backlog.end() - 1;
            queue->workbook = name;
        }
        queue->rows.append(std::move(writer));
        queue->tokens.append(token);
        saveQueued(*excelApplication, false);
    }
    notify();
}

std::vector<ExcelWorker::Backlog>::iterator ExcelWorker::queueOf(const QString &workbook)
{
    return std::find_if(backlog.begin(), backlog.end(),
                        [&](const Backlog &queue) { return queue.workbook == workbook; });
}

void ExcelWorker::saveQueued(ExcelApplication &application, bool now)
{
    for (auto queue = backlog.begin(); queue != backlog.end();) {
        const qint64 time = clock();
        if (!now && queue->tried && time - queue->lastTry < retryIntervalMs) {
            if (queue->rows.size() != queue->announcedRows) {
                queue->announcedRows = queue->rows.size();
                notices.append(Notice{Notice::Waiting, queue->workbook, queue->rows.size(), QString(),
                                      queue->reason});
            }
            ++queue;
            continue;
        }
        QString reason;
        QString savedTo;
        if (saveRows(application, queue->workbook, queue->rows, queue->tokens, &reason, &savedTo)) {
            noteSaved(*queue, savedTo);
            if (queue->announced) {
                qDebug() << queue->rows.size() << "waiting rows saved for" << queue->workbook;
                notices.append(Notice{Notice::Saved, queue->workbook, queue->rows.size(), QString(), QString()});
            }
            queue = backlog.erase(queue);
            continue;
        }
        qDebug() << queue->rows.size() << "rows of" << queue->workbook << "wait in memory:" << reason;
        queue->tried = true;
        queue->lastTry = time;
        queue->announced = true;
        queue->announcedRows = queue->rows.size();
        queue->reason = reason;
        notices.append(Notice{Notice::Waiting, queue->workbook, queue->rows.size(), QString(), reason});
        ++queue;
    }
}

void ExcelWorker::noteSaved(const Backlog &queue, const QString &savedTo)
{
    for (const qint64 token : queue.tokens)
        if (token != 0)
            savedRows.append(qMakePair(token, savedTo));
}

const QString ExcelWorker::discardedRows = QStringLiteral("(discarded by the operator)");

QList<QPair<qint64, QString>> ExcelWorker::takeSavedRows()
{
    QMutexLocker lock(&mutex);
    QList<QPair<qint64, QString>> taken;
    taken.swap(savedRows);
    return taken;
}

bool ExcelWorker::saveRows(ExcelApplication &application, const QString &name, const QVector<Writer> &rows,
                           const QVector<qint64> &tokens, QString *reason, QString *savedTo)
{
    *savedTo = name;
    const Outcome outcome = appendTo(application, pathOf(name), rows, tokens, reason);
    if (outcome == Outcome::Saved)
        return true;
    // A neighbour would be refused by the same storage, or would split the rows of a workbook
    // that is only busy for a moment.
    if (outcome == Outcome::NotSaved)
        return false;
    const QString recoveredName = name + QLatin1String(" (recovered)");
    const QString recovered = pathOf(recoveredName);
    qDebug() << "workbook" << pathOf(name) << "left as it is (" << *reason
             << "); the rows go to" << recovered;
    QString recoveredReason;
    *savedTo = recoveredName;
    if (appendTo(application, recovered, rows, tokens, &recoveredReason) != Outcome::Saved) {
        qDebug() << "the rows could not be written to" << recovered << "either:" << recoveredReason;
        // Whatever kept the neighbour from the disk is what keeps the rows waiting now.
        if (!recoveredReason.isEmpty())
            *reason = recoveredReason;
        return false;
    }
    if (!announcedRecovered.contains(recovered)) {
        announcedRecovered.insert(recovered);
        notices.append(Notice{Notice::Recovered, name, 0, recoveredName, *reason});
    }
    return true;
}

ExcelWorker::Outcome ExcelWorker::appendTo(ExcelApplication &application, const QString &path,
                                           const QVector<Writer> &rows, const QVector<qint64> &tokens,
                                           QString *reason)
{
    // Held from reading the workbook to replacing it: another program appending to it meanwhile
    // would otherwise replace it with its own copy, without this save's rows, or the other way.
    QLockFile lock(DurableFile::lockPath(path));
    if (!lockWithin(lock, DurableFile::lockPath(path), lockWaitMs)) {
        if (lock.error() == QLockFile::LockFailedError) {
            *reason = QStringLiteral("busy: another program is writing it");
            return Outcome::NotSaved;
        }
        // Where no lock file can be made, the save cannot make its new file either and finds
        // out why (a full disk, a missing folder, no permission).
        qDebug() << "no lock file can be made beside" << path;
    }
    const bool existed = QFile::exists(path);
    std::unique_ptr<ExcelWorkbooks> workbooks = application.workbooks();
    if (!workbooks) {
        *reason = QStringLiteral("no spreadsheet application");
        return Outcome::NotSaved;
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
        return Outcome::Unusable;
    }
    std::unique_ptr<ExcelWorksheets> worksheets = workbook->worksheets();
    std::unique_ptr<ExcelWorksheet> worksheet = worksheets ? worksheets->item(1) : nullptr;
    if (worksheet)
        worksheet->setName(sheetName);

    std::unique_ptr<ExcelWorkbooks> workbooks2 = application.workbooks();
    std::unique_ptr<ExcelWorkbook> workbook2 = workbooks2 ? workbooks2->item(1) : nullptr;
    std::unique_ptr<ExcelWorksheets> worksheets2 = workbook2 ? workbook2->worksheets() : nullptr;
    std::unique_ptr<ExcelWorksheet> sheet = worksheets2 ? worksheets2->item(1) : nullptr;
    if (!sheet) {
        if (workbooks2)
            workbooks2->close();
        workbooks->close();
        *reason = QStringLiteral("file damaged");
        return Outcome::Unusable;
    }

    Sheet cells(sheet.get());
    // Rows saved together: each after the first finds the rows before it in the workbook.
    QVector<PlacedRow> places;
    for (int i = 0; i < rows.size(); ++i) {
        const int row = rows.at(i)(cells, existed || i > 0);
        if (tokens.value(i) != 0 && row > 0)
            places.append(PlacedRow{tokens.at(i), path, sheetName, row});
    }
    // Where each row will stand is on record before the save, so that after a kill between the
    // save and its mark the row is looked for at its place, neither lost nor written twice.
    QString unplaced;
    if (placer && !places.isEmpty() && !placer(places, &unplaced)) {
        *reason = unplaced;
        workbook2->close();
        cells.lastCell.reset();
        worksheets2.reset();
        workbook2.reset();
        workbooks2->close();
        return Outcome::NotSaved;
    }

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
    return saved ? Outcome::Saved : Outcome::NotSaved;
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
    bool none = true;
    {
        QMutexLocker lock(&mutex);
        if (backlog.empty())
            return true;
        // A spreadsheet application of its own: this may run in another thread than the measurement.
        const std::unique_ptr<ExcelApplication> application = factory();
        saveQueued(*application, true);
        application->quit();
        none = backlog.empty();
    }
    notify();
    return none;
}

bool ExcelWorker::saveWaitingRowsAs(const QString &workbook, const QString &path)
{
    {
        QMutexLocker lock(&mutex);
        const auto queue = queueOf(workbook);
        if (queue == backlog.end())
            return true;
        const std::unique_ptr<ExcelApplication> application = factory();
        QString reason;
        const Outcome outcome =
            appendTo(*application, QDir::toNativeSeparators(path), queue->rows, queue->tokens, &reason);
        application->quit();
        if (outcome != Outcome::Saved) {
            qDebug() << "waiting rows of" << workbook << "could not be saved to" << path << ":" << reason;
            return false;
        }
        qDebug() << queue->rows.size() << "waiting rows of" << workbook << "saved to" << path;
        noteSaved(*queue, QDir::toNativeSeparators(path));
        notices.append(Notice{Notice::Saved, workbook, queue->rows.size(), QString(), QString()});
        backlog.erase(queue);
    }
    notify();
    return true;
}

void ExcelWorker::notify()
{
    // One thread at a time emits, in the order the notices were queued; notices queued while it
    // emits (by another thread, or by a slot calling back) are emitted by it too.
    QVector<Notice> batch;
    {
        QMutexLocker lock(&mutex);
        if (notifying)
            return;
        batch.swap(notices);
        notifying = !batch.isEmpty();
    }
    while (!batch.isEmpty()) {
        for (const Notice &notice : qAsConst(batch)) {
            switch (notice.kind) {
            case Notice::Waiting:
                emit rowsWaiting(notice.workbook, notice.rows, notice.reason);
                break;
            case Notice::Saved:
                emit rowsSaved(notice.workbook, notice.rows);
                break;
            case Notice::Recovered:
                emit rowsRecovered(notice.workbook, notice.recovered, notice.reason);
                break;
            }
        }
        batch.clear();
        QMutexLocker lock(&mutex);
        batch.swap(notices);
        notifying = !batch.isEmpty();
    }
}

int ExcelWorker::discardWaitingRows()
{
    QMutexLocker lock(&mutex);
    int discarded = 0;
    for (const Backlog &queue : backlog) {
        qDebug() << "discarding" << queue.rows.size() << "waiting rows of" << queue.workbook;
        discarded += queue.rows.size();
        // Given up on purpose: no later start is to write them from the results store.
        noteSaved(queue, discardedRows);
    }
    backlog.clear();
    return discarded;
}

void ExcelWorker::appendPowerRow(const QString &name, quint64 pointIndex,
                                 const QList<double> &values, qint64 token)
{
    const bool firstPoint = pointIndex == 0;
    append(name, [firstPoint, values](Sheet &sheet, bool existed) {
        const int above = (!firstPoint || existed) ? sheet.lastUsedRow() : 0;
        if (firstPoint)
            sheet.formatFirstRowAndColumn();
        for (int column = 0; column < values.size(); ++column)
            sheet.writeNumber(above + 1, column + 1, values.at(column));
        return above + 1;
    }, token);
}

void ExcelWorker::writeFrequencySweepRow(const QString &name, const quint64 &pointIndex,
                                         double frequency, double power, double synthesizerPower,
                                         double temperature, qint64 token, std::optional<double> corrected)
{
    QList<double> values{frequency, power, synthesizerPower, temperature};
    if (corrected)
        values << *corrected;
    appendPowerRow(name, pointIndex, values, token);
}

void ExcelWorker::writePowerStepRow(const QString &name, const quint64 &pointIndex, double frequency,
                                    double power, double outputPower, double synthesizerPower,
                                    double temperature, qint64 token, std::optional<double> corrected)
{
    QList<double> values{frequency, power, outputPower, synthesizerPower, temperature};
    if (corrected)
        values << *corrected;
    appendPowerRow(name, pointIndex, values, token);
}

void ExcelWorker::writeSpurRow(const QString &name, const quint64 &pointIndex, double span,
                               double bandwidth, quint32 &peakCount,
                               const QList<double> &frequencies, const QList<double> &levels,
                               qint64 token, const QDateTime &measuredAt)
{
    // Nine or ten peaks would run past the header's eight column pairs into column R.
    if (peakCount > 8)
        peakCount = 8;
    const int count = qMin<qint64>(peakCount, qMin(frequencies.size(), levels.size()));
    if (count < int(peakCount))
        qDebug() << "spur row: peak count" << peakCount << "exceeds the peak lists; using" << count;
    const bool firstPoint = pointIndex == 0;
    // Taken now: a row that waits for the disk keeps the time of its measurement.
    const QDateTime now = measuredAt.isNull() ? QDateTime::currentDateTime() : measuredAt;
    append(name, [=](Sheet &sheet, bool existed) {
        if (count == 0)
            return 0;
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
        sheet.writeNumber(row, 1, frequencies.at(0) / 1e9);
        sheet.writeNumber(row, 2, levels.at(0));
        int column = 3;
        for (int j = 1; j < count; ++j) {
            // The difference is taken in Hz before scaling, so that a peak exactly 16 kHz away
            // is not counted through a rounding error of the two divisions. A peak whose distance
            // is not a number cannot be shown to be the carrier, so it is kept.
            const double d = (frequencies.at(0) - frequencies.at(j)) / 1e9;
            if (!(d <= 0.000016 && d >= -0.000016)) {
                sheet.writeNumber(row, column, frequencies.at(j) / 1e9);
                sheet.writeNumber(row, column + 1, levels.at(j));
                column += 2;
            }
        }
        if (levels.size() >= 2 && std::isfinite(levels.at(0) - levels.at(1)))
            sheet.write(row, levelDifferenceColumn, g6(levels.at(0) - levels.at(1)));
        return row;
    }, token);
}

bool ExcelWorker::rowsFrom(const QString &path, int first, int columns, QList<QVector<double>> *rows)
{
    QMutexLocker lock(&mutex);
    rows->clear();
    if (!QFile::exists(path))
        return true;
    const std::unique_ptr<ExcelApplication> application = factory();
    const std::unique_ptr<ExcelWorkbooks> workbooks = application ? application->workbooks() : nullptr;
    const std::unique_ptr<ExcelWorkbook> workbook = workbooks ? workbooks->open(path) : nullptr;
    const std::unique_ptr<ExcelWorksheets> worksheets = workbook ? workbook->worksheets() : nullptr;
    const std::unique_ptr<ExcelWorksheet> worksheet = worksheets ? worksheets->item(1) : nullptr;
    if (worksheet) {
        Sheet sheet(worksheet.get());
        const int last = sheet.lastUsedRow();
        for (int row = qMax(first, 1); row <= last; ++row) {
            QVector<double> cells;
            for (int column = 1; column <= columns; ++column)
                cells << sheet.number(row, column);
            rows->append(cells);
        }
    }
    if (workbook)
        workbook->close();
    if (workbooks)
        workbooks->close();
    if (application)
        application->quit();
    return worksheet != nullptr;
}

int ExcelWorker::rowsAtEnd(const QString &name, const QList<QVector<double>> &rows, const QVector<double> &anchor)
{
    QMutexLocker lock(&mutex);
    const QString path = pathOf(name);
    if (rows.isEmpty() || !QFile::exists(path))
        return 0;
    const std::unique_ptr<ExcelApplication> application = factory();
    const std::unique_ptr<ExcelWorkbooks> workbooks = application ? application->workbooks() : nullptr;
    const std::unique_ptr<ExcelWorkbook> workbook = workbooks ? workbooks->open(path) : nullptr;
    const std::unique_ptr<ExcelWorksheets> worksheets = workbook ? workbook->worksheets() : nullptr;
    const std::unique_ptr<ExcelWorksheet> worksheet = worksheets ? worksheets->item(1) : nullptr;
    int found = 0;
    if (worksheet) {
        Sheet sheet(worksheet.get());
        const int last = sheet.lastUsedRow();
        const auto same = [](double cell, double expected) {
            if (std::isnan(expected))
                return std::isnan(cell);
            return std::fabs(cell - expected) <= 1e-12 * std::max(1.0, std::fabs(expected));
        };
        for (int k = int(qMin<qint64>(rows.size(), last)); k > 0 && found == 0; --k) {
            bool all = true;
            for (int i = 0; i < k && all; ++i)
                for (int column = 0; column < rows.at(i).size() && all; ++column)
                    all = same(sheet.number(last - k + 1 + i, column + 1), rows.at(i).at(column));
            for (int column = 0; column < anchor.size() && all; ++column)
                all = last - k >= 1 && same(sheet.number(last - k, column + 1), anchor.at(column));
            if (all)
                found = k;
        }
    }
    if (workbook)
        workbook->close();
    if (workbooks)
        workbooks->close();
    if (application)
        application->quit();
    return found;
}
