#pragma once

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ExcelApplication;
class ExcelWorksheet;
class ExcelRange;

// Writes the measurement reports: one row per measured point appended to a workbook that is
// opened, written, saved and closed again for every point. A row that cannot be saved waits in
// memory and is written, ahead of later rows, at the next save that succeeds; with a new row,
// waiting rows are tried again at most once a second. A save holds a lock file beside its
// workbook from reading it to replacing it, so that programs appending to one workbook at the
// same time lose no row.
class ExcelWorker : public QObject
{
    Q_OBJECT

public:
    using ApplicationFactory = std::function<std::unique_ptr<ExcelApplication>()>;
    // A monotonic time in milliseconds.
    using Clock = std::function<qint64()>;

    // Rows of one workbook that wait in memory.
    struct WaitingRows
    {
        QString workbook; // base name
        int rows = 0;
        QString reason; // "disk full", "no permission", "file damaged", ...
    };

    // Where a tagged row will stand once its workbook is saved.
    struct PlacedRow
    {
        qint64 token = 0;
        QString path;  // the workbook file, native separators
        QString sheet;
        int row = 0;   // from 1
    };
    // Told where the tagged rows of a save will stand, before the save; false (with why) keeps
    // the rows waiting instead of saving them.
    using RowPlacer = std::function<bool(const QVector<PlacedRow> &rows, QString *why)>;

    // The sheet every row goes to.
    static const QString sheetName;

    explicit ExcelWorker(QObject *parent = nullptr);
    ~ExcelWorker() override;

    // Replaces the spreadsheet application that startExcel creates (the report engine by default).
    void setApplicationFactory(ApplicationFactory factory);
    ApplicationFactory applicationFactory() const;
    // Folder of the workbooks; the application's directory unless set.
    void setDirectory(const QString &newDirectory);
    // Full native path of the workbook with this base name.
    QString workbookPath(const QString &name) const;
    // The folder of the workbooks, absolute.
    QString folder() const;
    void setRowPlacer(RowPlacer rowPlacer);
    // Replaces the clock of the retries of waiting rows (a steady clock by default).
    void setClock(Clock clock);
    // How long a save waits for another program that is writing the same workbook before its
    // rows wait instead (3 s by default).
    void setLockWait(int milliseconds);

    void startExcel();
    void quitExcel();

    // token: the caller's tag of the row (0: none), handed back by takeSavedRows once the row is
    // in a workbook. measuredAt: the spur title's time; null: now. corrected: the power at the
    // unit, in one more column after the others, for a run with a correction table (NaN: an
    // empty cell); none: the row as without corrections.
    void writeFrequencySweepRow(const QString &name, const quint64 &pointIndex, double frequency,
                                double power, double synthesizerPower, double temperature,
                                qint64 token = 0, std::optional<double> corrected = std::nullopt);
    void writePowerStepRow(const QString &name, const quint64 &pointIndex, double frequency,
                           double power, double outputPower, double synthesizerPower,
                           double temperature, qint64 token = 0, std::optional<double> corrected = std::nullopt);
    void writeSpurRow(const QString &name, const quint64 &pointIndex, double span, double bandwidth,
                      quint32 &peakCount, const QList<double> &frequencies,
                      const QList<double> &levels, qint64 token = 0,
                      const QDateTime &measuredAt = QDateTime());

    // Tagged rows that have reached a workbook since the last call, with the base name of the
    // workbook that holds them (their own, or its "(recovered)" neighbour, or the path they were
    // saved to elsewhere). Any thread.
    QList<QPair<qint64, QString>> takeSavedRows();
    // The workbook that takeSavedRows names for rows the operator discarded.
    static const QString discardedRows;
    // How many of these rows, taken from the first, are the last rows of the workbook already:
    // each row is given by the numbers of its first cells (NaN: an empty cell). Tells a row that
    // was saved just before a kill from one that never was.
    // With an anchor, the row just above them must hold its numbers.
    int rowsAtEnd(const QString &name, const QList<QVector<double>> &rows, const QVector<double> &anchor = {});
    // The numbers of the first cells of each row of the workbook file at path from row first on
    // (NaN: an empty cell or one that holds no number), up to its last used row; none when the
    // file is missing, and false when it cannot be read.
    bool rowsFrom(const QString &path, int first, int columns, QList<QVector<double>> *rows);

    // The waiting rows are shared with the window's thread: these four may be called from any
    // thread and wait at most for the save in progress.
    QList<WaitingRows> waitingRows() const;
    // Tries once more to save every waiting row, whenever the last try was; true when none
    // waits any longer.
    bool retryWaitingRows();
    // Appends the waiting rows of one workbook to the workbook at path instead; true on success,
    // and they no longer wait.
    bool saveWaitingRowsAs(const QString &workbook, const QString &path);
    // Forgets every waiting row; the number forgotten.
    int discardWaitingRows();

signals:
    // Each signal is emitted once the writer's lock is released, so that a slot may call back
    // into the writer from any thread; signals keep the order of the events they tell of.
    // Rows of the workbook could not be saved; rows of them wait in memory, for the reason given.
    // Emitted after each failed save and when a new row joins the waiting ones.
    void rowsWaiting(const QString &workbook, int rows, const QString &reason);
    // Every row that waited for the workbook has been saved (rows of them).
    void rowsSaved(const QString &workbook, int rows);
    // The workbook could not be used, for the reason given, and its rows went to the recovered
    // workbook instead; emitted once per recovered workbook.
    void rowsRecovered(const QString &workbook, const QString &recovered, const QString &reason);

private:
    class Sheet;
    // Writes a row into the sheet; returns the row that holds its values, 0 when none.
    using Writer = std::function<int(Sheet &sheet, bool existed)>;
    struct Backlog
    {
        QString workbook;
        QVector<Writer> rows;
        QVector<qint64> tokens; // the caller's tag of each row, 0 for none
        bool announced = false; // the window was told that rows wait
        int announcedRows = 0;  // how many, as it was told last
        QString reason;
        bool tried = false;     // a save of them failed, at lastTry
        qint64 lastTry = 0;
    };
    // A signal to emit once the lock is released.
    struct Notice
    {
        enum Kind { Waiting, Saved, Recovered } kind = Waiting;
        QString workbook;
        int rows = 0;
        QString recovered;
        QString reason;
    };
    // How an append to one workbook file ended.
    enum class Outcome {
        Saved,
        Unusable, // the file cannot be used as a workbook (damaged, unreadable): left as it is
        NotSaved, // the storage refused the save, or another program is writing the workbook
    };

    QString pathOf(const QString &name) const;
    // The rows waiting for the workbook, or the end of the backlog.
    std::vector<Backlog>::iterator queueOf(const QString &workbook);
    // Queues the row for the named workbook and saves every workbook that has rows to save.
    void append(const QString &name, Writer writer, qint64 token);
    // Saves each workbook's queued rows in one go, oldest workbook first; a workbook that cannot
    // be used is left as it is and its rows go to its "(recovered)" neighbour instead; when that
    // fails too, or the storage refuses the save, they stay queued. Unless now is set, rows that
    // already wait are tried again only once a retry interval has passed since their last try.
    void saveQueued(ExcelApplication &application, bool now);
    bool saveRows(ExcelApplication &application, const QString &name, const QVector<Writer> &rows,
                  const QVector<qint64> &tokens, QString *reason, QString *savedTo);
    Outcome appendTo(ExcelApplication &application, const QString &path, const QVector<Writer> &rows,
                     const QVector<qint64> &tokens, QString *reason);
    // Emits the queued notices; called without the lock.
    void notify();
    // A power row: the values in columns A onwards, below the last used row (row 1 of a new
    // workbook at the first point of a run).
    void appendPowerRow(const QString &name, quint64 pointIndex, const QList<double> &values, qint64 token);
    // Notes the tagged rows of a queue as saved to the named workbook.
    void noteSaved(const Backlog &queue, const QString &savedTo);

    // Guards every member and every use of excelApplication.
    mutable QMutex mutex;
    ApplicationFactory factory;
    RowPlacer placer;
    Clock clock;
    int lockWaitMs = 3000;
    QString directory;
    std::unique_ptr<ExcelApplication> excelApplication;
    std::vector<Backlog> backlog;
    QList<QPair<qint64, QString>> savedRows;
    QSet<QString> announcedRecovered;
    QVector<Notice> notices;
    bool notifying = false; // a thread emits the notices
};
