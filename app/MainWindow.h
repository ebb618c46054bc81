#pragma once

#include "BenchSetup.h"
#include "Corrections.h"

#include <QMainWindow>
#include <QString>

class CorrectionsDialog;
class DevicesWork;
class RunsDialog;
class MeasurementPlot;
class QAction;
class QCloseEvent;
class RunStatus;
class QSettings;
class StorageNotice;
class QThread;
struct RecordedTable;
class QWidget;

namespace Ui {
class MainWindow;
}

// The application's one fixed-size window: connection panels, generator controls and the two
// measurement panels, all handing their work to the worker thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The worker, for tests that look behind the window; owned by the window.
    DevicesWork *devicesWork() const { return worker; }
    // The live plot's window (made at start, shown by the "Plot" action) and the status bar's
    // account of a run.
    MeasurementPlot *measurementPlot() const { return plot; }
    RunStatus *runStatus() const { return status; }

    // Writes the form as a setup file; the error, or an empty text when it was saved.
    QString saveSetup(const QString &path);
    // Fills the form from a setup file; connects and starts nothing. A file that fails its
    // check leaves the form as it is; the error, or an empty text when it was opened.
    QString openSetup(const QString &path);
    // Writes the test report of the runs of the last start, once they have ended, as PDF, or as
    // HTML for an ".html" name; ".pdf" is added to a name that asks for neither. The error, or
    // an empty text when it was written.
    QString saveReport(const QString &path);
    // The list of runs in the results store ("Runs…").
    void showRuns();
    RunsDialog *runs() const { return runsDialog; }
    // Goes on with a stopped or interrupted run: its setup into the form, then its measurement
    // from the point after its last one; the error, or an empty text when it started.
    QString resumeRun(qint64 run);
    // The "Corrections…" dialog, made when first shown; a path's table read from a file the
    // dialog chose, or cleared. The error names the file and line; empty when the table is set.
    void showCorrections();
    CorrectionsDialog *corrections() const { return correctionsDialog; }
    QString setCorrectionFile(Corrections::Path path, const QString &file);
    void clearCorrection(Corrections::Path path);

protected:
    // Rows that could not be saved are tried once more; what still waits is saved elsewhere or
    // discarded at the operator's word, or the window stays open with the run going on.
    void closeEvent(QCloseEvent *event) override;
    // A disabled control's tooltip also says what must come first ("Connect the synthesizer
    // first.").
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_radioLan_clicked();
    void on_radioUsbCom_clicked();
    void on_radioUsbHid_clicked();
    void on_buttonConnect_clicked();
    void on_buttonConnectPowerMeter_clicked();
    void on_buttonConnectSpectrumAnalyzer_clicked();
    void connectedDevice();
    void disconnectedDevice();
    void disconnectedDeviceUsbCom();
    void editTextComboBox(const QString &text);
    void connectedPowerMeter();
    void disconnectedPowerMeter();
    void connectedSpectrumAnalyzer();
    void disconnectedSpectrumAnalyzer();

    void on_buttonSetFreq_clicked();
    void on_buttonSetAmpl_clicked();
    void on_checkBoxRf_clicked();
    void on_checkBoxAlc_clicked();
    void on_sendCommand_clicked();
    void on_buttonSweepFreqStart_clicked();
    void on_buttonSweepFreqStop_clicked();
    void on_buttonSweepAmplStart_clicked();
    void on_buttonSweepAmplStop_clicked();
    void on_startAm_clicked();
    void on_stopAm_clicked();
    void on_startPm_clicked();
    void on_stopPm_clicked();

    void on_buttonMeasurement_clicked();
    void on_buttonStopMeasure_clicked();
    void buttonPropertiesStopMeasure();
    void on_buttonMeasurementSpectrumAnalyzer_clicked();
    void on_buttonStopMeasureSpectrumAnalyzer_clicked();
    void on_radioButtonPoints_clicked();
    void on_radioButtonStep_clicked();
    void on_radioButtonPointsSpectrumAnalyzer_clicked();
    void on_radioButtonStepSpectrumAnalyzer_clicked();
    void on_spinBoxDelay_valueChanged(int delay);
    void on_checkBoxCycle_clicked();
    void on_spinBoxPowerStep_valueChanged(int powerStep);
    void on_checkBoxFetchValues_clicked();

private:
    QList<QWidget *> generatorControls() const;
    QList<QWidget *> generatorButtons() const;
    void setControlsEnabled(const QList<QWidget *> &widgets, bool enabled);
    void setStyle(const QList<QWidget *> &widgets, const QString &style);
    // Why the control is disabled, as its tooltip adds; empty when there is nothing to do.
    QString disabledReason(const QWidget *widget) const;
    void shutDownWorker();
    // Stops a running measurement and waits until the worker has taken in its last row; false
    // when the worker is still busy after the wait.
    bool settleRun();
    bool settleWaitingRows();
    void setUpToolBar();
    void setTracing(bool on);
    // Brings the form's visible state and the worker's live options in line with its fields
    // after they were filled (the transport, grid and cycle choices).
    void applyFormChoices(const QString &serialPort, bool addMissingPort);
    // Every field of the form into the settings file.
    void saveForm();
    // Fills the form from a setup's bytes; the error, or an empty text.
    // Its correction tables' files are read from the folder given.
    // recorded: a resumed run's tables as its record keeps them, taken in place of the files.
    QString fillForm(const QByteArray &bytes, const QString &name, const QString &folder,
                     const QList<RecordedTable> *recorded = nullptr);
    // A start: the report waits for its runs to end.
    void startReporting();
    // The run about to start is recorded with the form's setup of this measurement.
    void recordSetup(MeasurementSetup::Kind kind);
    // Why the grid of the power or spur tab cannot be measured, or empty.
    QString gridRefusal(bool spur) const;
    // Why the power or spur tab's run may not start: its grid, its limits over its range, the
    // unit's serial against the setup's rules; empty when it may.
    QString startRefusal(bool spur) const;
    // Why the power or spur tab's run may not start with the tables kept (one not covering its
    // range, past due where the setup enforces it); *table gets its path's, or one of no path.
    QString correctionFor(bool spur, Corrections::CorrectionTable *table) const;
    // The dialog, when made, shows the tables kept.
    void showCorrectionTables();
    // The limits of the measurement about to start judge its points; the unit and operator go
    // to its record.
    void beginJudging(MeasurementSetup::Kind kind);
    // The limits line of each tab as the kept limits stand.
    void showLimits();

    Ui::MainWindow *ui = nullptr;
    DevicesWork *worker = nullptr;
    QThread *workerThread = nullptr;
    QSettings *settings = nullptr;
    StorageNotice *storageNotice = nullptr;
    RunStatus *status = nullptr;
    MeasurementPlot *plot = nullptr;
    QAction *plotAction = nullptr;
    QAction *traceAction = nullptr;
    QAction *reportAction = nullptr;
    // The runs of the local store the last start measured: one per measurement it ran.
    QList<qint64> reportRuns;
    QString wantedHidDevice; // chosen when the enumeration lists it
    // The setup the form was last filled from, its bytes, and the form as that left it: saving
    // keeps what the form cannot show and takes only what was edited since.
    bool filledFromSetup = false;
    BenchSetup filledFrom;
    QByteArray filledBytes;
    BenchSetup filledForm;
    // The limits of each tab's measurement, kept from the setup opened until cleared; those of
    // the measurement running, and the rules the unit's serial must meet.
    MeasurementLimits powerLimits;
    MeasurementLimits spurLimits;
    MeasurementLimits runLimits;
    BenchSetup unitRules;
    // The correction tables kept from the setup opened or chosen since, their files named from
    // the root; saving names them from the setup's folder.
    CorrectionsSetup correctionFiles;
    QVector<Corrections::CorrectionTable> correctionTables;
    CorrectionsDialog *correctionsDialog = nullptr;
    QString storePath; // the local store the worker writes
    // The shared results server the local store goes up to, as given; empty: none.
    QString resultsServer;
    QString station; // this bench's name on it
    RunsDialog *runsDialog = nullptr;
    qint64 resumedRun = 0; // asked to go on and not yet started
};
