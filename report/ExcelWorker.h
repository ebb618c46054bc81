#pragma once

#include <QList>
#include <QRecursiveMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

class ExcelApplication;
class ExcelWorksheet;
class ExcelRange;

// Writes the measurement reports: one row per measured point appended to a workbook that is
// opened, written, saved and closed again for every point. A row that cannot be saved waits in
// memory and is written, ahead of later rows, at the next save that succeeds.
class ExcelWorker : public QObject
{
    Q_OBJECT

public:
    using ApplicationFactory = std::function<std::unique_ptr<ExcelApplication>()>;

    // Rows of one workbook that wait in memory.
    struct WaitingRows
    {
        QString workbook; // base name
        int rows = 0;
        QString reason; // "disk full", "no permission", "file damaged", ...
    };

    explicit ExcelWorker(QObject *parent = nullptr);
    ~ExcelWorker() override;

    // Replaces the spreadsheet application that startExcel creates (the report engine by default).
    void setApplicationFactory(ApplicationFactory factory);
    // Folder of the workbooks; the application's directory unless set.
    void setDirectory(const QString &directory);
    // Full native path of the workbook with this base name.
    QString workbookPath(const QString &name) const;

    void startExcel();
    void quitExcel();

    void writeFrequencySweepRow(const QString &name, const quint64 &pointIndex, double frequency,
                                double power, double synthesizerPower, double temperature);
    void writePowerStepRow(const QString &name, const quint64 &pointIndex, double frequency,
                           double power, double outputPower, double synthesizerPower,
                           double temperature);
    void writeSpurRow(const QString &name, const quint64 &pointIndex, double span, double bandwidth,
                      quint32 &peakCount, const QList<double> &frequencies,
                      const QList<double> &levels);

    // The waiting rows are shared with the window's thread: these four may be called from any
    // thread and wait at most for the save in progress.
    QList<WaitingRows> waitingRows() const;
    // Tries once more to save every waiting row; true when none waits any longer.
    bool retryWaitingRows();
    // Appends the waiting rows of one workbook to the workbook at path instead; true on success,
    // and they no longer wait.
    bool saveWaitingRowsAs(const QString &workbook, const QString &path);
    // Forgets every waiting row; the number forgotten.
    int discardWaitingRows();

signals:
    // Rows of the workbook could be saved neither to it nor to its "(recovered)" neighbour; rows
    // of them wait in memory, for the reason given.
    void rowsWaiting(const QString &workbook, int rows, const QString &reason);
    // Every row that waited for the workbook has been saved (rows of them).
    void rowsSaved(const QString &workbook, int rows);
    // The workbook could not be used, for the reason given, and its rows went to the recovered
    // workbook instead; emitted once per recovered workbook.
    void rowsRecovered(const QString &workbook, const QString &recovered, const QString &reason);

private:
    class Sheet;
    using Writer = std::function<void(Sheet &sheet, bool existed)>;
    struct Backlog
    {
        QString workbook;
        QVector<Writer> rows;
        bool announced = false; // the window was told that rows wait
        QString reason;
    };

    // The rows waiting for the workbook, or the end of the backlog.
    std::vector<Backlog>::iterator queueOf(const QString &workbook);
    // Queues the row for the named workbook and saves every workbook that has rows to save.
    void append(const QString &name, Writer writer);
    // Saves each workbook's queued rows in one go, oldest workbook first; a workbook that cannot
    // be read or saved is left as it is and its rows go to its "(recovered)" neighbour instead;
    // when that fails too they stay queued.
    void saveQueued(ExcelApplication &application);
    bool saveRows(ExcelApplication &application, const QString &name, const QVector<Writer> &rows,
                  QString *reason);
    bool appendTo(ExcelApplication &application, const QString &path, const QVector<Writer> &rows,
                  QString *reason);
    // A power row: the values in columns A onwards, below the last used row (row 1 of a new
    // workbook at the first point of a run).
    void appendPowerRow(const QString &name, quint64 pointIndex, const QList<double> &values);

    ApplicationFactory factory;
    QString directory;
    std::unique_ptr<ExcelApplication> excelApplication;
    // Guards everything below and every use of excelApplication.
    mutable QRecursiveMutex mutex;
    std::vector<Backlog> backlog;
    QSet<QString> announcedRecovered;
};
