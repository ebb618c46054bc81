#pragma once

#include "ReportContent.h"
#include "RunHistory.h"

#include <QDialog>
#include <QMetaType>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QCheckBox;
class QComboBox;
class QThread;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

Q_DECLARE_METATYPE(RunFilter)
Q_DECLARE_METATYPE(RunSummary)
Q_DECLARE_METATYPE(ReportContent::Report)

// Reads the runs off the window's thread, so that a results server that is slow or away never
// freezes the window.
class RunsReader : public QObject
{
    Q_OBJECT

public:
    // latest: the newest read asked for; an older one that has not begun is skipped. shown: the
    // run whose details are asked for last; a read of another is skipped.
    RunsReader(const QString &history, const QString &localStore, std::shared_ptr<std::atomic<int>> latest,
               std::shared_ptr<std::atomic<qint64>> shown)
        : history(history), localStore(localStore), latest(std::move(latest)), shown(std::move(shown))
    {
    }

public slots:
    void read(int generation, const RunFilter &filter);
    // The run as "rfbench runs show" prints it, with its passes and troubles.
    void readDetails(qint64 run);
    // Writes the run's points to a CSV file, whole or not at all.
    void exportRun(qint64 run, const QString &path);
    // Reads what the run's test report says; it is drawn on the window's thread, as plots are.
    void readReport(qint64 run, const QString &path);

signals:
    // ownStore: the identity of this bench's store when the runs are a server's; null when that
    // store cannot be read, and no run is this bench's.
    void done(int generation, const QList<RunSummary> &runs, const QStringList &stations, const QString &problem,
              const QString &ownStore);
    // error: empty when written.
    void exported(qint64 run, const QString &path, const QString &error);
    // text: empty when the run could not be read (problem says why).
    void detailsRead(qint64 run, const QString &text, const QString &problem);
    // why: empty when the report was read.
    void reportRead(qint64 run, const QString &path, const ReportContent::Report &report, const QString &why);

private:
    const QString history;
    const QString localStore;
    const std::shared_ptr<std::atomic<int>> latest;
    const std::shared_ptr<std::atomic<qint64>> shown;
};

// The window's list of the runs in the results store, or of every station on the shared results
// server, newest first, with a text, date, station, unit and verdict filter; the selected run's
// details with its passes and troubles; from a run: its workbooks' folder, its setup into the
// form, its points as CSV, its test report, and going on with it when it is this bench's own and was stopped or
// interrupted.
class RunsDialog : public QDialog
{
    Q_OBJECT

public:
    // history: the local store's file or the server's address; localStore: this bench's store,
    // whose runs are its own (on a server: those of this station and store).
    RunsDialog(const QString &history, const QString &localStore, const QString &station,
               const QString &workbookFolder, QWidget *parent = nullptr);
    ~RunsDialog() override;

    // Reads the runs again and fills the list as the filter stands, when they have come
    // (refreshed() then).
    void refresh();
    // The run of the selected row; 0 when none is selected.
    qint64 selectedRun() const;
    void selectRun(qint64 id);
    // Writes the selected run's points to a CSV file, off the window's thread: exported() then.
    void exportCsv(const QString &path);
    // Writes the selected run's test report as PDF, or as HTML for an ".html" name; ".pdf" is added
    // to a name that asks for neither. Read off the window's thread: reportWritten() then.
    void writeReport(const QString &path);
    // What came of the operator's Resume of the run: why it does not go on, or empty when it
    // started; said in the list.
    void resumeAnswered(qint64 run, const QString &why);
    // The selected run's details as shown, once read (detailsShown() then).
    QString details() const;

signals:
    // The operator asks to fill the form with the run's setup (in the setup file's format).
    void loadSetup(const QByteArray &setup);
    // The operator asks to go on with the run of the local store.
    void resumeRun(qint64 run);
    // The list shows what the last refresh read.
    void refreshed();
    // An export asked for ended; error: empty when the file was written.
    void exported(const QString &error);
    // A report asked for ended; error: empty when the file was written.
    void reportWritten(const QString &error);
    void detailsShown();
    void readRuns(int generation, const RunFilter &filter);
    void exportRun(qint64 run, const QString &path);
    void readDetails(qint64 run);
    void readReport(qint64 run, const QString &path);

private:
    void fill(int generation, const QList<RunSummary> &runs, const QStringList &stations, const QString &problem,
              const QString &ownStore);
    void updateButtons();
    // Asks for the selected run's details, or clears them when none is selected.
    void requestDetails();
    void showDetails(qint64 run, const QString &text, const QString &problem);
    const RunSummary *selectedSummary() const;
    bool isOwn(const RunSummary &run) const;

    const QString history;
    const QString localStore;
    const QString station;
    const bool onServer;
    QString localIdentity; // null while this bench's store cannot be read
    QString workbookFolder;
    QThread *readerThread = nullptr;
    int generation = 0;
    const std::shared_ptr<std::atomic<int>> latest = std::make_shared<std::atomic<int>>(0);
    const std::shared_ptr<std::atomic<qint64>> detailsOf = std::make_shared<std::atomic<qint64>>(0);
    QLineEdit *filter = nullptr;
    QComboBox *stationFilter = nullptr;
    QLineEdit *unitFilter = nullptr;
    QComboBox *verdictFilter = nullptr;
    QCheckBox *sinceOn = nullptr;
    QDateEdit *since = nullptr;
    QTableWidget *table = nullptr;
    QLabel *message = nullptr;
    QPlainTextEdit *detailsText = nullptr;
    QPushButton *openFolder = nullptr;
    QPushButton *load = nullptr;
    QPushButton *exportButton = nullptr;
    QPushButton *report = nullptr;
    QPushButton *resume = nullptr;
    QList<RunSummary> shown;
};
