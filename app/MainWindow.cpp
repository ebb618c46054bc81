#include "MainWindow.h"

#include "CorrectionsDialog.h"
#include "Counted.h"
#include "DataLocation.h"
#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "FrequencyGrid.h"
#include "LinkTrace.h"
#include "MeasurementPlot.h"
#include "MeasurementTypes.h"
#include "ReportFile.h"
#include "RunRecorder.h"
#include "RunHistory.h"
#include "RunResume.h"
#include "SetupCorrections.h"
#include "SetupRecords.h"
#include "RunStatus.h"
#include "RunsDialog.h"
#include "ServerUpload.h"
#include "SqliteStore.h"
#include "SetupFile.h"
#include "SetupForm.h"
#include "StorageNotice.h"
#include "TestReport.h"
#include "Verdict.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHostInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QRegExp>
#include <QRegExpValidator>
#include <QSemaphore>
#include <QSerialPortInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTabBar>
#include <QTimer>
#include <QToolBar>
#include <QToolTip>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

QString stateConnected()
{
    return QStringLiteral("<FONT COLOR=#008000>СОЕДИНЕНО</font>");
}

QString stateDisconnected()
{
    return QStringLiteral("<FONT COLOR=red>НЕТ СОЕДИНЕНИЯ</font>");
}

QString statePortClosed()
{
    return QStringLiteral("<FONT COLOR=red>ComPort close</font>");
}

const char styleActive[] =
    "color: blue;background-color: grey;selection-color: green;selection-background-color: blue;";
const char styleConnect[] =
    "color: blue;background-color: orange;selection-color: green;selection-background-color: blue;";
const char settingsKey[] = "PowerMeter/ipNumber";
const char defaultPowerMeterAddress[] = "127.0.0.1";
// A measurement ends at its next stop test; the longest single step is the analyzer's settling.
const int shutdownWaitMs = 15000;

// A number typed with a point or a comma as its separator; 0 when it is none.
double typedNumber(QString text)
{
    return text.replace(QLatin1Char(','), QLatin1Char('.')).toDouble();
}

// Two tab titles wider than their bar at the window's font (the modulation titles in the middle
// column) would leave the bar scrolled with one title cut; the bar then takes a compact padding
// and, as far as needed, a smaller font, so that every title shows whole.
void fitTabTitles(QTabWidget *tabs)
{
    QTabBar *bar = tabs->tabBar();
    if (bar->sizeHint().width() <= tabs->width())
        return;
    bar->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 4px 3px; }"));
    QFont font = bar->font();
    while (bar->sizeHint().width() > tabs->width() && font.pointSizeF() > 6.5) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        bar->setFont(font);
    }
}

// The frame lines of a measurement page run along the page's visible edges; the page is as tall
// as the tab widget less its tab bar, whose height follows the font.
void fitFrameToPage(QTabWidget *tabs, QWidget *left, QWidget *right, QWidget *bottom)
{
    const int height = tabs->height() - tabs->tabBar()->sizeHint().height();
    left->resize(left->width(), height);
    right->resize(right->width(), height);
    bottom->move(bottom->x(), height - bottom->height());
}

// This bench's station: as the settings name it (rfbench run reads the same), else the host's name.
QString stationName(const QSettings &settings)
{
    const QString named = settings.value(QStringLiteral("Store/station")).toString().trimmed();
    return named.isEmpty() ? QHostInfo::localHostName() : named;
}

// The frequencies, MHz, that a tab's run measures from and to: one frequency is its start alone.
std::pair<double, double> rangeOf(const Ui::MainWindow &ui, bool spur)
{
    if (spur)
        return {ui.doubleSpinBoxFreqStartMeasSpectrumAnalyzer->value(), ui.doubleSpinBoxFreqStopMeasSpectrumAnalyzer->value()};
    const double start = ui.doubleSpinBoxFreqStartMeas->value();
    return {start, ui.checkBoxCyclePower->isChecked() ? start : ui.doubleSpinBoxFreqStopMeas->value()};
}

void fillWithSerialPorts(QComboBox *box)
{
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        box->addItem(port.portName());
}

// The table files named from another folder, or whole without one; an inline table stays as it is.
CorrectionsSetup filesFrom(CorrectionsSetup corrections, const QDir &from, const QString &to = QString())
{
    for (const Corrections::Path path : {Corrections::Path::MeterA, Corrections::Path::MeterB, Corrections::Path::Analyzer}) {
        QString &file = corrections.source(path).file;
        if (!file.isEmpty())
            file = to.isEmpty() ? from.absoluteFilePath(file) : QDir(to).relativeFilePath(from.absoluteFilePath(file));
    }
    return corrections;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    fillWithSerialPorts(ui->comboBoxCom);
    MeasurementTypes::registerAll();
    worker = new DevicesWork;
    workerThread = new QThread;

    const DataLocation location = DataLocation::current();
    settings = new QSettings(location.settingsFile, QSettings::IniFormat);
    worker->setReportFolder(location.workbookFolder);
    // The store named on the command line, else in the settings, else beside the workbooks.
    storePath = !location.storeFile.isEmpty()
                    ? location.storeFile
                    : settings->value(QStringLiteral("Store/path"),
                                      SqliteStore::defaultPath(location.workbookFolder))
                          .toString();
    if (ServerAddress::isServerAddress(storePath)) {
        // The worker keeps the local store beside the workbooks; an upload beside it sends it on.
        ServerUpload::Options upload;
        QString why;
        upload.server = ServerAddress::parse(storePath, &why);
        // A wrong address is not used: the status bar says why.
        if (why.isEmpty())
            resultsServer = storePath;
        storePath = upload.localPath = SqliteStore::defaultPath(location.workbookFolder);
        upload.station = station = stationName(*settings);
        if (why.isEmpty()) {
            auto *uploading = new ServerUploadThread(upload, this);
            connect(uploading, &ServerUploadThread::notice, this, [this](const QString &text) {
                qWarning("%s", qPrintable(text));
                ui->statusBar->showMessage(text, 30000);
            });
        } else {
            qWarning("results server: %s", qPrintable(why));
            QTimer::singleShot(0, this, [this, why] { ui->statusBar->showMessage(QStringLiteral("results server: ") + why); });
        }
    }
    if (station.isEmpty())
        station = stationName(*settings);
    worker->setStation(station);
    worker->setStorePath(storePath);
    connect(worker, &DevicesWork::storeNotice, this, [this](const QString &text) {
        qWarning("%s", qPrintable(text));
        ui->statusBar->showMessage(text, 30000);
    });
    connect(worker, &DevicesWork::runRefused, this, [this](const QString &why) {
        ui->statusBar->showMessage(why.left(1).toUpper() + why.mid(1), 30000);
        // Another program went on with the run between the list's check and the start.
        if (runsDialog && resumedRun != 0)
            runsDialog->resumeAnswered(resumedRun, why);
        resumedRun = 0;
    });
    ui->editIpPowerMeter->setText(
        settings->value(QLatin1String(settingsKey), QLatin1String(defaultPowerMeterAddress)).toString());

    connect(worker, &DevicesWork::labelAnswerFromDevice, ui->labelAnsw, &QLabel::setText);
    connect(worker, &DevicesWork::labelAnswerFromPowerMeter, ui->labelPower_2, &QLabel::setText);
    connect(worker, &DevicesWork::labelCountPoints, ui->labelPoints_2, &QLabel::setText);
    connect(worker, &DevicesWork::labelCountPointsSpurs, ui->labelPointsSpurs, &QLabel::setText);
    connect(worker, &DevicesWork::labelCountSpurs, ui->labelCountSpurs, &QLabel::setText);
    connect(worker, &DevicesWork::labelMinimumSpur, ui->labelMinSpur, &QLabel::setText);
    // Each tab shows the step or count derived for its own measurement.
    connect(worker, &DevicesWork::derivedStep, this, [this](bool spur, const QString &text) {
        (spur ? ui->labelStepFreqValueSpectrumAnalyzer : ui->labelStepFreqValue)->setText(text);
    });
    connect(worker, &DevicesWork::derivedCount, this, [this](bool spur, const QString &text) {
        (spur ? ui->labelPointCountValueSpectrumAnalyzer : ui->labelPointCountValue)->setText(text);
    });
    connect(worker, &DevicesWork::stopMeasureSpectrum, this,
            &MainWindow::on_buttonStopMeasureSpectrumAnalyzer_clicked);
    connect(worker, &DevicesWork::deviceConnected, this, &MainWindow::connectedDevice);
    connect(worker, &DevicesWork::deviceDisconnected, this, &MainWindow::disconnectedDevice);
    connect(worker, &DevicesWork::powerMeterConnected, this, &MainWindow::connectedPowerMeter);
    connect(worker, &DevicesWork::powerMeterDisconnected, this, &MainWindow::disconnectedPowerMeter);
    connect(worker, &DevicesWork::spectrumAnalyzerConnected, this, &MainWindow::connectedSpectrumAnalyzer);
    connect(worker, &DevicesWork::spectrumAnalyzerDisconnected, this,
            &MainWindow::disconnectedSpectrumAnalyzer);
    connect(worker, &DevicesWork::textIsOpenPort, this, &MainWindow::connectedDevice);
    connect(worker, &DevicesWork::textIsClosePort, this, &MainWindow::disconnectedDeviceUsbCom);
    connect(worker, &DevicesWork::stopingMeasure, this, &MainWindow::buttonPropertiesStopMeasure);
    connect(worker, &DevicesWork::changePower, ui->doubleSpinBoxAmplMeasure, &QDoubleSpinBox::setValue);
    connect(worker, &DevicesWork::addItemComboBox, this, &MainWindow::editTextComboBox);
    storageNotice = new StorageNotice(ui->statusBar);
    connect(worker, &DevicesWork::reportRowsWaiting, storageNotice, &StorageNotice::rowsWaiting);
    connect(worker, &DevicesWork::reportRowsSaved, storageNotice, &StorageNotice::rowsSaved);
    connect(worker, &DevicesWork::reportRowsRecovered, storageNotice, &StorageNotice::rowsRecovered);
    status = new RunStatus(ui->statusBar);
    plot = new MeasurementPlot(this);
    plot->setFolder(location.workbookFolder);
    connect(worker, &DevicesWork::runStarted, status, &RunStatus::runStarted);
    connect(worker, &DevicesWork::runStarted, plot, &MeasurementPlot::runStarted);
    connect(worker, &DevicesWork::passStarted, status, &RunStatus::passStarted);
    connect(worker, &DevicesWork::pointMeasured, status, &RunStatus::pointMeasured);
    connect(worker, &DevicesWork::pointMeasured, plot, &MeasurementPlot::addPoint);
    connect(worker, &DevicesWork::pointWithoutReading, status, &RunStatus::pointWithoutReading);
    connect(worker, &DevicesWork::runJudged, status, &RunStatus::runJudged);
    connect(worker, &DevicesWork::runEnded, status, &RunStatus::runEnded);
    connect(worker, &DevicesWork::runEnded, plot, [this] { plot->setVerdict(status->verdict(), status->verdictText()); });
    connect(worker, &DevicesWork::runRecorded, this, [this](qint64 run) { reportRuns << run; });
    // A report of runs the store does not hold whole would say less than was measured.
    connect(worker, &DevicesWork::runEnded, this,
            [this] { reportAction->setEnabled(!reportRuns.isEmpty() && !reportRuns.contains(0)); });
    connect(worker, &DevicesWork::instrumentTrouble, status, &RunStatus::instrumentTrouble);
    connect(worker, &DevicesWork::runWarning, status, &RunStatus::runWarning);
    connect(worker, &DevicesWork::analyzerSettling, status, &RunStatus::analyzerSettling);
    // The RF output is taken as the check box shows it until this program switches it.
    worker->setShownRfOff(!ui->checkBoxRf->isChecked());
    setUpToolBar();

    const QRegExp decimalEntry(QStringLiteral("^([1-9][0-9]*|0)(\\.|,)[0-9]{7}"), Qt::CaseSensitive);
    for (QLineEdit *edit : {ui->editPulseWidth, ui->editPeriod, ui->editFreqAm})
        edit->setValidator(new QRegExpValidator(decimalEntry, this));

    for (QWidget *framed : std::initializer_list<QWidget *>{
             ui->lineVerticalLeftPowerMeter, ui->lineVerticalRightPowerMeter,
             ui->lineHorizontalUpPowerMeter, ui->lineHorizontalDownPowerMeter,
             ui->lineVerticalLeftSpectrumAnalyzer, ui->lineVerticalRightSpectrumAnalyzer,
             ui->lineHorizontalUpSpectrumAnalyzer, ui->lineHorizontalDownSpectrumAnalyzer, ui->groupBox,
             ui->groupBoxSweep, ui->groupBoxModulatiomPulse, ui->groupBoxModulationAmpl})
        framed->setStyleSheet(QStringLiteral("border: 1px solid gray;"));
    for (QWidget *inner : {ui->groupBoxFormSignal, ui->groupBoxPulseWidth, ui->groupBoxPeriod})
        inner->setStyleSheet(QStringLiteral("border: 0px solid gray;"));
    ui->buttonConnect->setStyleSheet(QLatin1String(styleConnect));
    for (QWidget *gated : generatorControls()
                              + QList<QWidget *>{ui->radioLan, ui->radioUsbCom, ui->radioUsbHid,
                                                 ui->buttonConnectPowerMeter, ui->buttonConnectSpectrumAnalyzer,
                                                 ui->buttonMeasurement, ui->buttonStopMeasure,
                                                 ui->buttonMeasurementSpectrumAnalyzer,
                                                 ui->buttonStopMeasureSpectrumAnalyzer})
        gated->installEventFilter(this);

    setControlsEnabled(generatorControls()
                           + QList<QWidget *>{ui->labelCom, ui->comboBoxCom, ui->buttonConnectPowerMeter,
                                              ui->buttonMeasurement, ui->buttonStopMeasure, ui->comboBoxUsbHid,
                                              ui->buttonConnectSpectrumAnalyzer,
                                              ui->buttonMeasurementSpectrumAnalyzer,
                                              ui->buttonStopMeasureSpectrumAnalyzer},
                       false);
    for (QWidget *hidden : std::initializer_list<QWidget *>{
             ui->labelCom, ui->comboBoxCom, ui->doubleSpinBoxStepFreq, ui->labelPointCountValue,
             ui->spinBoxPowerStep, ui->labelCyclePower, ui->checkBoxCyclePower, ui->comboBoxUsbHid,
             ui->doubleSpinBoxStepFreqSpectrumAnalyzer})
        hidden->hide();

    // The serial-port chooser's container spans the address field's place; stacked below it, it
    // leaves the field its presses while the chooser is hidden.
    ui->layoutWidget->lower();
    fitTabTitles(ui->tabWidget);
    fitTabTitles(ui->tabWidget_2);
    fitTabTitles(ui->tabMeasuirngDevice);
    fitFrameToPage(ui->tabMeasuirngDevice, ui->lineVerticalLeftPowerMeter, ui->lineVerticalRightPowerMeter,
                   ui->lineHorizontalDownPowerMeter);
    fitFrameToPage(ui->tabMeasuirngDevice, ui->lineVerticalLeftSpectrumAnalyzer,
                   ui->lineVerticalRightSpectrumAnalyzer, ui->lineHorizontalDownSpectrumAnalyzer);

    setFixedSize(825, 402);
    qDebug() << "workbooks are written to" << location.workbookFolder << "; settings in" << location.settingsFile
             << location.problem;
    ui->statusBar->showMessage(
        location.problem.isEmpty()
            ? QStringLiteral("Workbooks are written to %1").arg(QDir::toNativeSeparators(location.workbookFolder))
            : QStringLiteral("Workbooks cannot be saved: ") + location.problem);

    worker->moveToThread(workerThread);
    workerThread->start(QThread::InheritPriority);
    worker->initialization();
    worker->recoverUnsavedRows();

    // A scanner ends the serial with Enter: the serial is taken as it stands, and selected, so that
    // the next unit's scan replaces it; nothing starts.
    connect(ui->editUnit, &QLineEdit::returnPressed, this, [this] {
        ui->editUnit->setText(ui->editUnit->text().trimmed());
        ui->editUnit->selectAll();
    });
    for (QPushButton *clear : {ui->buttonClearLimitsPowerMeter, ui->buttonClearLimitsSpectrumAnalyzer})
        connect(clear, &QPushButton::clicked, this, [this, clear] {
            (clear == ui->buttonClearLimitsPowerMeter ? powerLimits : spurLimits) = MeasurementLimits();
            showLimits();
        });
    showLimits();
    ui->editOperator->setText(RunRecorder::userName());

    // The form as it was left, once the worker can take the requests that its choices make.
    SetupForm::restore(this, *settings);
    wantedHidDevice = settings->value(QStringLiteral("Form/comboBoxUsbHid")).toString();
    applyFormChoices(ui->comboBoxCom->currentText(), false);
}

MainWindow::~MainWindow()
{
    shutDownWorker();
    delete ui;
}

void MainWindow::setUpToolBar()
{
    // Compact, so that the tool bar takes no more of the fixed window's height than the form
    // leaves free below its lowest widgets.
    ui->mainToolBar->setStyleSheet(
        QStringLiteral("QToolBar { padding: 0px; spacing: 2px; } QToolButton { padding: 0px 6px; margin: 0px; }"));
    plotAction = ui->mainToolBar->addAction(QStringLiteral("Plot"));
    plotAction->setObjectName(QStringLiteral("actionPlot"));
    plotAction->setToolTip(QStringLiteral("Show the live plot of the measurement"));
    connect(plotAction, &QAction::triggered, this, [this] {
        plot->show();
        plot->raise();
        plot->activateWindow();
    });
    traceAction = ui->mainToolBar->addAction(QStringLiteral("Trace"));
    traceAction->setObjectName(QStringLiteral("actionTrace"));
    traceAction->setCheckable(true);
    traceAction->setChecked(LinkTrace::isOn());
    traceAction->setToolTip(LinkTrace::isOn() ? QStringLiteral("Tracing to ") + LinkTrace::path()
                                              : QStringLiteral("Write every line to and from the instruments to a trace file"));
    connect(traceAction, &QAction::toggled, this, &MainWindow::setTracing);

    QAction *saveSetupAction = ui->mainToolBar->addAction(QStringLiteral("Save setup…"));
    saveSetupAction->setObjectName(QStringLiteral("actionSaveSetup"));
    saveSetupAction->setToolTip(QStringLiteral("Save the instruments and the measurement fields to a setup file"));
    connect(saveSetupAction, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save setup"), QDir(DataLocation::current().workbookFolder).filePath(QStringLiteral("setup.json")),
            QStringLiteral("Setups (*.json)"));
        if (path.isEmpty())
            return;
        const QString error = saveSetup(path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ? path : path + QStringLiteral(".json"));
        if (!error.isEmpty())
            QMessageBox::warning(this, QStringLiteral("Setup not saved"), error);
    });
    QAction *openSetupAction = ui->mainToolBar->addAction(QStringLiteral("Open setup…"));
    openSetupAction->setObjectName(QStringLiteral("actionOpenSetup"));
    openSetupAction->setToolTip(QStringLiteral("Fill the form from a setup file; nothing is connected or started"));
    connect(openSetupAction, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open setup"),
                                                          DataLocation::current().workbookFolder,
                                                          QStringLiteral("Setups (*.json);;All files (*)"));
        if (path.isEmpty())
            return;
        const QString error = openSetup(path);
        if (!error.isEmpty())
            QMessageBox::warning(this, QStringLiteral("Setup not opened"), error);
    });
    reportAction = ui->mainToolBar->addAction(QStringLiteral("Save report…"));
    reportAction->setObjectName(QStringLiteral("actionSaveReport"));
    reportAction->setToolTip(QStringLiteral("Save the test report of the last run as PDF or HTML"));
    reportAction->setEnabled(false);
    connect(reportAction, &QAction::triggered, this, [this] {
        QString name;
        if (!reportRuns.isEmpty())
            name = ReportFile::proposedName(RunHistory::open(storePath)->run(reportRuns.first()));
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the test report"),
                                                          QDir(DataLocation::current().workbookFolder).filePath(name),
                                                          QStringLiteral("PDF (*.pdf);;HTML (*.html)"));
        if (path.isEmpty())
            return;
        const QString error = saveReport(path);
        if (!error.isEmpty())
            QMessageBox::warning(this, QStringLiteral("Report not saved"), error);
    });
    QAction *runsAction = ui->mainToolBar->addAction(QStringLiteral("Runs…"));
    runsAction->setObjectName(QStringLiteral("actionRuns"));
    runsAction->setToolTip(QStringLiteral("The runs kept in the results store: repeat, export, report or resume one"));
    connect(runsAction, &QAction::triggered, this, &MainWindow::showRuns);
    QAction *correctionsAction = ui->mainToolBar->addAction(QStringLiteral("Corrections…"));
    correctionsAction->setObjectName(QStringLiteral("actionCorrections"));
    correctionsAction->setToolTip(QStringLiteral("The loss tables of the paths to the power meter and the analyzer"));
    connect(correctionsAction, &QAction::triggered, this, &MainWindow::showCorrections);
}

QString MainWindow::saveSetup(const QString &path)
{
    BenchSetup setup = SetupForm::fromForm(*ui);
    if (filledFromSetup)
        setup = SetupForm::withEdits(filledFrom, filledForm, setup);
    // The limits as kept: cleared ones are not written back.
    for (const MeasurementSetup::Kind kind : {MeasurementSetup::Kind::Power, MeasurementSetup::Kind::Spur}) {
        auto first = std::find_if(setup.measurements.begin(), setup.measurements.end(),
                                  [kind](const MeasurementSetup &m) { return m.kind == kind; });
        if (first != setup.measurements.end())
            first->limits = kind == MeasurementSetup::Kind::Power ? powerLimits : spurLimits;
    }
    setup.corrections = filesFrom(correctionFiles, QDir::root(), QFileInfo(path).absolutePath());
    // A window sending its runs to a results server names it, so that the setup run headless goes
    // there too; not the station, which is this bench's own name and would follow the file to
    // another bench.
    if (!resultsServer.isEmpty()) {
        setup.hasStore = true;
        setup.storeAddress = resultsServer;
    }
    QByteArray bytes = SetupFile::write(setup);
    // A setup saved unchanged keeps its own text, with the keys it leaves at their defaults.
    if (filledFromSetup && bytes == SetupFile::write(filledFrom))
        bytes = filledBytes;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit()) {
        const QString error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        ui->statusBar->showMessage(QStringLiteral("Setup not saved: ") + error, 20000);
        return error;
    }
    ui->statusBar->showMessage(QStringLiteral("Setup saved to %1").arg(QDir::toNativeSeparators(path)), 20000);
    return QString();
}

QString MainWindow::openSetup(const QString &path)
{
    QFile file(path);
    if (!status->isRunning() && !file.open(QIODevice::ReadOnly)) {
        const QString error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        ui->statusBar->showMessage(QStringLiteral("Setup not opened: ") + error, 20000);
        return error;
    }
    return fillForm(file.readAll(), QDir::toNativeSeparators(path), QFileInfo(path).absolutePath());
}

QString MainWindow::fillForm(const QByteArray &bytes, const QString &name, const QString &folder,
                             const QList<RecordedTable> *recorded)
{
    QString error;
    if (status->isRunning()) {
        error = QStringLiteral("a measurement is running; open the setup when it has ended");
    } else {
        const SetupFile::Result setup = SetupFile::read(bytes, name);
        error = setup.error;
        // A table past its due date is the start's to refuse: the form's range may change first.
        BenchSetup opened = setup.setup;
        opened.corrections.enforceDue = false;
        const SetupCorrections::Loaded tables =
            !setup.ok() ? SetupCorrections::Loaded()
            : recorded  ? SetupCorrections::fromRecord(opened, *recorded, QDate::currentDate())
                        : SetupCorrections::load(opened, folder, QDate::currentDate());
        if (error.isEmpty())
            error = tables.error;
        if (error.isEmpty()) {
            QString hidDevice;
            SetupForm::toForm(setup.setup, *ui, &hidDevice);
            if (!hidDevice.isEmpty())
                wantedHidDevice = hidDevice;
            const bool serial = setup.setup.hasSynthesizer && setup.setup.transport == BenchSetup::Transport::Serial;
            applyFormChoices(serial ? setup.setup.synthesizerAddress : ui->comboBoxCom->currentText(), serial);
            saveForm();
            filledFromSetup = true;
            filledFrom = setup.setup;
            // The form shows each kind's first measurement, and so do the limits.
            powerLimits = spurLimits = MeasurementLimits();
            for (auto m = setup.setup.measurements.crbegin(); m != setup.setup.measurements.crend(); ++m)
                (m->kind == MeasurementSetup::Kind::Power ? powerLimits : spurLimits) = m->limits;
            showLimits();
            unitRules = BenchSetup();
            unitRules.serialPattern = setup.setup.serialPattern;
            unitRules.serialRequired = setup.setup.serialRequired;
            correctionFiles = filesFrom(setup.setup.corrections, QDir(folder));
            correctionTables = tables.tables;
            showCorrectionTables();
            filledBytes = bytes;
            filledForm = SetupForm::fromForm(*ui);
        }
    }
    ui->statusBar->showMessage(error.isEmpty() ? QStringLiteral("Setup opened from %1").arg(name)
                                               : QStringLiteral("Setup not opened: ") + error,
                               20000);
    return error;
}

QString MainWindow::saveReport(const QString &chosen)
{
    const QString path = ReportFile::withFormat(chosen);
    QString error;
    if (status->isRunning())
        error = QStringLiteral("the run has not ended yet");
    else if (reportRuns.isEmpty())
        error = QStringLiteral("no run of the last start is in the results store");
    else if (reportRuns.contains(0))
        error = QStringLiteral("the results store does not hold every point of the last start (its writes wait or "
                               "were refused); make the report from the Runs list once it does");
    else if (!reportAction->isEnabled())
        error = QStringLiteral("the run has not ended yet");
    if (error.isEmpty()) {
        // The worker's runs are numbered by the local store, also when it goes up to a server.
        const std::unique_ptr<RunHistory> history = RunHistory::open(storePath);
        ReportContent::Report report;
        bool unknownRun = false;
        if (TestReport::read(*history, reportRuns, &report, &error, &unknownRun))
            error = ReportFile::write(report, path);
    }
    ui->statusBar->showMessage(error.isEmpty() ? QStringLiteral("Report written to %1").arg(QDir::toNativeSeparators(path))
                                               : QStringLiteral("Report not saved: ") + error,
                               20000);
    return error;
}

void MainWindow::startReporting()
{
    reportRuns.clear();
    reportAction->setEnabled(false);
}

void MainWindow::showRuns()
{
    if (!runsDialog) {
        // With a results server, the runs of every station; those of this bench can go on.
        runsDialog = new RunsDialog(resultsServer.isEmpty() ? storePath : resultsServer, storePath, station,
                                    DataLocation::current().workbookFolder, this);
        connect(runsDialog, &RunsDialog::loadSetup, this, [this](const QByteArray &setup) {
            fillForm(setup, QStringLiteral("the run's setup"), DataLocation::current().workbookFolder);
        });
        connect(runsDialog, &RunsDialog::resumeRun, this,
                [this](qint64 run) { runsDialog->resumeAnswered(run, resumeRun(run)); });
        // The list follows the runs of this window: a run resumed from it reads as running, then
        // as it ended, with its passes and troubles.
        const auto refreshShown = [this] {
            if (runsDialog->isVisible())
                runsDialog->refresh();
        };
        connect(worker, &DevicesWork::runStarted, runsDialog, [this, refreshShown] {
            resumedRun = 0;
            refreshShown();
        });
        connect(worker, &DevicesWork::runEnded, runsDialog, refreshShown);
    }
    runsDialog->refresh();
    runsDialog->show();
    runsDialog->raise();
}

QString MainWindow::resumeRun(qint64 run)
{
    QStringList announcements;
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(storePath, SqliteStore::Mode::Read, &announcements);
    RunResume::Point from;
    QByteArray setup;
    QString why = store->problem();
    if (why.isEmpty() && RunResume::find(*store, run, SetupRecords::resumeGrid, &from, &setup, &why)) {
        // Its later points are corrected as its earlier ones were.
        const QList<RecordedTable> tables = store->run(run).tables;
        why = fillForm(setup, QStringLiteral("run %1").arg(run), DataLocation::current().workbookFolder, &tables);
    }
    // The window writes to its own data folder; a run measured elsewhere goes on only there.
    const QString folder = worker->reportWriter()->folder();
    if (why.isEmpty() && !from.dataFolder.isEmpty()
        && QDir(from.dataFolder).canonicalPath() != QDir(folder).canonicalPath())
        why = QStringLiteral("it was measured in %1, not in this window's data folder; go on with it there: "
                             "rfbench run --resume %2 --data-dir \"%1\"")
                  .arg(QDir::toNativeSeparators(from.dataFolder), QString::number(run));
    const bool spur = ui->tabMeasuirngDevice->currentIndex() == 1;
    // Refused before the resume is set, which the next start would otherwise take.
    if (why.isEmpty())
        why = startRefusal(spur);
    QPushButton *start = spur ? ui->buttonMeasurementSpectrumAnalyzer : ui->buttonMeasurement;
    if (why.isEmpty() && !start->isEnabled())
        why = spur ? QStringLiteral("connect the synthesizer and the spectrum analyzer first")
                   : QStringLiteral("connect the synthesizer and the power meter first");
    if (!why.isEmpty()) {
        ui->statusBar->showMessage(QStringLiteral("Run %1 does not go on: %2").arg(QString::number(run), why), 20000);
        return why;
    }
    // Queued before the start, so that the measurement the button starts takes it.
    worker->setResume(from.run, from.pass, from.point);
    resumedRun = run;
    start->click();
    return QString();
}

void MainWindow::applyFormChoices(const QString &serialPort, bool addMissingPort)
{
    if (ui->buttonConnect->text() == QLatin1String("connect")) {
        if (ui->radioUsbCom->isChecked()) {
            on_radioUsbCom_clicked();
            int index = ui->comboBoxCom->findText(serialPort);
            if (index < 0 && addMissingPort && !serialPort.isEmpty()) {
                ui->comboBoxCom->addItem(serialPort);
                index = ui->comboBoxCom->count() - 1;
            }
            if (index >= 0)
                ui->comboBoxCom->setCurrentIndex(index);
        } else if (ui->radioUsbHid->isChecked()) {
            on_radioUsbHid_clicked();
        } else {
            on_radioLan_clicked();
        }
    }
    if (ui->radioButtonStep->isChecked())
        on_radioButtonStep_clicked();
    else
        on_radioButtonPoints_clicked();
    if (ui->radioButtonStepSpectrumAnalyzer->isChecked())
        on_radioButtonStepSpectrumAnalyzer_clicked();
    else if (ui->radioButtonPointsSpectrumAnalyzer->isChecked())
        on_radioButtonPointsSpectrumAnalyzer_clicked();
    on_checkBoxCycle_clicked();
    worker->setDelay(ui->spinBoxDelay->value());
    worker->setFetchValues(ui->checkBoxFetchValues->isChecked());
}

QString MainWindow::gridRefusal(bool spur) const
{
    if (spur)
        return FrequencyGrid::refusal(!ui->radioButtonStepSpectrumAnalyzer->isChecked(),
                                      ui->doubleSpinBoxFreqStartMeasSpectrumAnalyzer->value(),
                                      ui->doubleSpinBoxFreqStopMeasSpectrumAnalyzer->value(),
                                      quint64(qMax(0, ui->spinBoxPointsFreqSpectrumAnalyzer->value())));
    // One frequency alone has no grid.
    if (ui->checkBoxCyclePower->isChecked())
        return QString();
    return FrequencyGrid::refusal(!ui->radioButtonStep->isChecked(), ui->doubleSpinBoxFreqStartMeas->value(),
                                  ui->doubleSpinBoxFreqStopMeas->value(),
                                  quint64(qMax(0, ui->spinBoxPointsFreq->value())));
}

QString MainWindow::startRefusal(bool spur) const
{
    const QString grid = gridRefusal(spur);
    if (!grid.isEmpty())
        return grid;
    // Limits kept from a setup judge the range the fields give now: the setup's own check.
    const auto range = rangeOf(*ui, spur);
    const QString limits = Verdict::check(spur ? spurLimits : powerLimits, spur, range.first, range.second);
    if (!limits.isEmpty())
        return QStringLiteral("limits.") + limits;
    BenchSetup unit = unitRules;
    unit.unitSerial = ui->editUnit->text().trimmed();
    const QString serial = SetupFile::unitRefusal(unit);
    return serial.isEmpty() ? correctionFor(spur, nullptr) : serial;
}

QString MainWindow::correctionFor(bool spur, Corrections::CorrectionTable *table) const
{
    // The run as the command line would make it from the form: the same path, the same checks.
    const BenchSetup form = SetupForm::fromForm(*ui);
    const bool firstIsSpur = form.measurements.at(0).kind == MeasurementSetup::Kind::Spur;
    BenchSetup run = SetupFile::only(form, firstIsSpur == spur ? 0 : 1);
    run.corrections = correctionFiles;
    QStringList late; // the worker warns of them as the run starts
    const QString why = SetupCorrections::check(run, correctionTables, QDate::currentDate(), &late);
    if (table) {
        const Corrections::Path path = SetupCorrections::pathOf(run, run.measurements.at(0));
        const auto used = std::find_if(correctionTables.cbegin(), correctionTables.cend(),
                                       [path](const Corrections::CorrectionTable &t) { return t.path == path; });
        *table = used == correctionTables.cend() ? Corrections::CorrectionTable() : *used;
    }
    return why;
}

void MainWindow::showCorrections()
{
    if (!correctionsDialog) {
        correctionsDialog = new CorrectionsDialog(this);
        connect(correctionsDialog, &CorrectionsDialog::fileChosen, this, [this](Corrections::Path path, const QString &file) {
            const QString error = setCorrectionFile(path, file);
            if (!error.isEmpty())
                QMessageBox::warning(correctionsDialog, QStringLiteral("Table not taken"), error);
        });
        connect(correctionsDialog, &CorrectionsDialog::cleared, this, &MainWindow::clearCorrection);
        showCorrectionTables();
    }
    correctionsDialog->show();
    correctionsDialog->raise();
}

QString MainWindow::setCorrectionFile(Corrections::Path path, const QString &file)
{
    // Read and checked as a setup naming it alone would have it, with the path's choices kept.
    BenchSetup alone;
    CorrectionSource &source = alone.corrections.source(path);
    source = correctionFiles.source(path);
    source.points.clear();
    source.file = QFileInfo(file).absoluteFilePath();
    const SetupCorrections::Loaded read = SetupCorrections::load(alone, QString(), QDate::currentDate());
    if (!read.ok())
        return read.error;
    correctionFiles.source(path) = source;
    correctionTables.erase(std::remove_if(correctionTables.begin(), correctionTables.end(),
                                          [path](const Corrections::CorrectionTable &t) { return t.path == path; }),
                           correctionTables.end());
    correctionTables << read.tables;
    showCorrectionTables();
    return QString();
}

void MainWindow::clearCorrection(Corrections::Path path)
{
    correctionFiles.source(path) = CorrectionSource();
    correctionTables.erase(std::remove_if(correctionTables.begin(), correctionTables.end(),
                                          [path](const Corrections::CorrectionTable &t) { return t.path == path; }),
                           correctionTables.end());
    showCorrectionTables();
}

void MainWindow::showCorrectionTables()
{
    if (correctionsDialog)
        correctionsDialog->setTables(correctionTables, QDate::currentDate());
}

void MainWindow::beginJudging(MeasurementSetup::Kind kind)
{
    const bool spur = kind == MeasurementSetup::Kind::Spur;
    runLimits = spur ? spurLimits : powerLimits;
    status->setJudging(runLimits.present);
    const auto range = rangeOf(*ui, spur);
    plot->setLimits(runLimits, range.first, range.second);
    worker->setUnit(ui->editUnit->text().trimmed(), ui->editOperator->text().trimmed());
}

void MainWindow::showLimits()
{
    const struct
    {
        QLabel *line;
        QPushButton *clear;
        const MeasurementLimits &limits;
        MeasurementSetup::Kind kind;
    } tabs[] = {
        {ui->labelLimitsPowerMeter, ui->buttonClearLimitsPowerMeter, powerLimits, MeasurementSetup::Kind::Power},
        {ui->labelLimitsSpectrumAnalyzer, ui->buttonClearLimitsSpectrumAnalyzer, spurLimits, MeasurementSetup::Kind::Spur},
    };
    for (const auto &tab : tabs) {
        const QString text = QStringLiteral("Limits: ") + SetupForm::limitsText(tab.limits, tab.kind);
        // The line gives way to its button; the tooltip has it whole.
        tab.clear->setVisible(tab.limits.present);
        const int room = (tab.limits.present ? tab.clear->x() - 2 : tab.clear->geometry().right() + 1) - tab.line->x();
        tab.line->resize(room, tab.line->height());
        tab.line->setText(tab.line->fontMetrics().elidedText(text, Qt::ElideRight, room));
        tab.line->setToolTip(tab.limits.present ? text : QStringLiteral("Limits: none; open a setup with limits to judge the runs of this tab"));
    }
}

void MainWindow::recordSetup(MeasurementSetup::Kind kind)
{
    BenchSetup setup = SetupForm::fromForm(*ui);
    const int index = setup.measurements.at(0).kind == kind ? 0 : 1;
    // The record says what judged the run.
    setup.measurements[index].limits = kind == MeasurementSetup::Kind::Power ? powerLimits : spurLimits;
    setup.serialPattern = unitRules.serialPattern;
    setup.serialRequired = unitRules.serialRequired;
    // The record names the one table the run is corrected with; the worker keeps the table whole.
    const Corrections::Path path = SetupCorrections::pathOf(setup, setup.measurements.at(index));
    setup.corrections = CorrectionsSetup();
    setup.corrections.enforceDue = correctionFiles.enforceDue;
    if (path != Corrections::Path::None)
        setup.corrections.source(path) = correctionFiles.source(path);
    worker->setRunRecord(SetupFile::write(SetupFile::only(setup, index)), SetupFile::describeInstruments(setup));
    // A run judged against limits is a test, and records which instruments judged the unit,
    // unless the setup it came from says otherwise; a run without limits sends what it always has.
    BenchSetup asRun = SetupFile::only(setup, index);
    asRun.identify = filledFromSetup ? filledFrom.identify : BenchSetup::Identify::Unset;
    worker->setIdentify(SetupRecords::identifies(asRun));
}

void MainWindow::saveForm()
{
    if (!settings)
        return;
    SetupForm::save(this, *settings);
    settings->setValue(QLatin1String(settingsKey), ui->editIpPowerMeter->text());
    const QString hidDevice = ui->comboBoxUsbHid->currentText();
    settings->setValue(QStringLiteral("Form/comboBoxUsbHid"), hidDevice.isEmpty() ? wantedHidDevice : hidDevice);
    settings->sync();
}

void MainWindow::setTracing(bool on)
{
    if (!on) {
        const QString path = LinkTrace::path();
        LinkTrace::stop();
        ui->statusBar->showMessage(QStringLiteral("Trace written to %1").arg(QDir::toNativeSeparators(path)), 20000);
        return;
    }
    const QString path = DataLocation::current().workbookFolder + QStringLiteral("/trace ")
                         + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"))
                         + QStringLiteral(".log");
    if (LinkTrace::start(path)) {
        traceAction->setToolTip(QStringLiteral("Tracing to ") + QDir::toNativeSeparators(path));
        ui->statusBar->showMessage(QStringLiteral("Tracing to %1").arg(QDir::toNativeSeparators(path)), 20000);
    } else {
        const QSignalBlocker block(traceAction);
        traceAction->setChecked(false);
        ui->statusBar->showMessage(QStringLiteral("The trace file %1 cannot be written").arg(QDir::toNativeSeparators(path)), 20000);
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!settleWaitingRows()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool MainWindow::settleRun()
{
    worker->requestStop();
    // The worker takes one request at a time, and its links wait without an event loop of their
    // own: this one runs once the measurement has ended and written its last row.
    const auto idle = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(worker, [idle] { idle->release(); }, Qt::QueuedConnection);
    return idle->tryAcquire(1, shutdownWaitMs);
}

bool MainWindow::settleWaitingRows()
{
    if (worker->waitingReportRows().isEmpty())
        return true;
    worker->retryWaitingReportRows();
    // Asked while a measurement runs, the question leaves it running until the answer stops it.
    bool runSettled = false;
    for (;;) {
        const QList<QPair<QString, int>> waiting = worker->waitingReportRows();
        if (waiting.isEmpty())
            return true;
        int total = 0;
        QStringList lines;
        for (const auto &rows : waiting) {
            total += rows.second;
            lines << QStringLiteral("%1 of “%2.xlsx”").arg(Counted::of(rows.second, "row"), rows.first);
        }
        const QString running = !runSettled && status->progressShown()
                                    ? QStringLiteral("\n\nEither answer stops the running measurement first.")
                                    : QString();
        QMessageBox question(QMessageBox::Warning, QStringLiteral("Rows not saved"),
                             QStringLiteral("%1 could not be saved to their workbooks "
                                            "and are still in memory:\n%2\n\nSave them to a "
                                            "workbook elsewhere, or discard them?%3")
                                 .arg(Counted::of(total, "measured row"), lines.join(QLatin1Char('\n')), running),
                             QMessageBox::NoButton, this);
        question.setObjectName(QStringLiteral("waitingRowsQuestion"));
        QPushButton *elsewhere = question.addButton(QStringLiteral("Save elsewhere…"), QMessageBox::AcceptRole);
        QPushButton *discard = question.addButton(QStringLiteral("Discard ") + Counted::of(total, "row"),
                                                  QMessageBox::DestructiveRole);
        question.addButton(QMessageBox::Cancel);
        question.setDefaultButton(elsewhere);
        question.exec();
        if (question.clickedButton() != discard && question.clickedButton() != elsewhere)
            return false;
        if (!runSettled) {
            if (!settleRun()) {
                QMessageBox::warning(this, QStringLiteral("Measurement still running"),
                                     QStringLiteral("The measurement has not come to its stop yet. The rows stay "
                                                    "in memory and the window stays open: close it again once "
                                                    "the measurement has stopped."));
                return false;
            }
            runSettled = true;
        }
        const QList<QPair<QString, int>> settled = worker->waitingReportRows();
        if (question.clickedButton() == discard) {
            // Rows the stopped run added since the question are asked about before they go.
            if (settled != waiting)
                continue;
            worker->discardWaitingReportRows();
            return true;
        }
        for (const auto &rows : settled) {
            QString path = QFileDialog::getSaveFileName(
                this, QStringLiteral("Save %1 waiting rows of “%2.xlsx”").arg(QString::number(rows.second), rows.first),
                QDir::home().filePath(rows.first + QStringLiteral(".xlsx")),
                QStringLiteral("Workbooks (*.xlsx)"));
            if (path.isEmpty())
                break;
            if (!path.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive))
                path += QLatin1String(".xlsx");
            if (!worker->saveWaitingReportRowsAs(rows.first, path))
                QMessageBox::warning(this, QStringLiteral("Rows not saved"),
                                     QStringLiteral("The rows could not be saved to %1.").arg(path));
        }
    }
}

void MainWindow::shutDownWorker()
{
    // A running measurement notices the stop at its next test; the worker is released only once
    // its thread has ended, so that its drivers close their connections from a quiet thread.
    worker->requestStop();
    // Queued ahead of the end of the thread: rows saved or discarded from this thread are marked.
    worker->recordReportRows();
    workerThread->quit();
    if (!workerThread->wait(QDeadlineTimer(shutdownWaitMs))) {
        qDebug() << "the worker thread is still busy after" << shutdownWaitMs << "ms; waiting on";
        workerThread->wait();
    }
    delete worker;
    worker = nullptr;
    delete workerThread;
    workerThread = nullptr;
    saveForm();
    delete settings;
    settings = nullptr;
    // Nothing is sent any more: the trace file gets its last lines and is closed.
    LinkTrace::stop();
}

QList<QWidget *> MainWindow::generatorButtons() const
{
    return {ui->buttonSetFreq, ui->buttonSetAmpl, ui->sendCommand, ui->buttonSweepAmplStart,
            ui->buttonSweepAmplStop, ui->buttonSweepFreqStart, ui->buttonSweepFreqStop, ui->startAm,
            ui->stopAm, ui->startPm, ui->stopPm};
}

QList<QWidget *> MainWindow::generatorControls() const
{
    return generatorButtons() + QList<QWidget *>{ui->checkBoxRf, ui->checkBoxAlc};
}

void MainWindow::setControlsEnabled(const QList<QWidget *> &widgets, bool enabled)
{
    for (QWidget *widget : widgets)
        widget->setEnabled(enabled);
}

void MainWindow::setStyle(const QList<QWidget *> &widgets, const QString &style)
{
    for (QWidget *widget : widgets)
        widget->setStyleSheet(style);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    auto *widget = qobject_cast<QWidget *>(watched);
    if (event->type() == QEvent::ToolTip && widget && !widget->isEnabled()) {
        const QString why = disabledReason(widget);
        if (!why.isEmpty()) {
            QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), widget->toolTip() + QLatin1Char('\n') + why,
                               widget);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QString MainWindow::disabledReason(const QWidget *widget) const
{
    const bool synthesizer = ui->buttonConnect->text() == QLatin1String("Disconnect");
    const bool meter = ui->buttonConnectPowerMeter->text() == QLatin1String("disconnect");
    const bool analyzer = ui->buttonConnectSpectrumAnalyzer->text() == QLatin1String("disconnect");
    const bool meterRun = widget == ui->buttonMeasurement || widget == ui->buttonStopMeasure;
    const bool analyzerRun = widget == ui->buttonMeasurementSpectrumAnalyzer || widget == ui->buttonStopMeasureSpectrumAnalyzer;
    if (widget == ui->radioLan || widget == ui->radioUsbCom || widget == ui->radioUsbHid)
        return synthesizer ? QStringLiteral("Disconnect the synthesizer first.") : QString();
    if (!synthesizer)
        return meterRun      ? QStringLiteral("Connect the synthesizer, then the power meter, first.")
               : analyzerRun ? QStringLiteral("Connect the synthesizer, then the spectrum analyzer, first.")
                             : QStringLiteral("Connect the synthesizer first.");
    if (meterRun && !meter)
        return QStringLiteral("Connect the power meter first.");
    if (analyzerRun && !analyzer)
        return QStringLiteral("Connect the spectrum analyzer first.");
    if (status->isRunning())
        return QStringLiteral("Not while a measurement runs.");
    // The end of a spur run gives the analyzer's own buttons back only at its "Stop".
    if (widget == ui->buttonMeasurementSpectrumAnalyzer || widget == ui->buttonConnectSpectrumAnalyzer)
        return QStringLiteral("Press “Stop” on the Spectrum Analyzer tab first.");
    return QString();
}

void MainWindow::on_radioLan_clicked()
{
    ui->editIpLine->setEnabled(true);
    ui->editIpLine->show();
    for (QWidget *widget : std::initializer_list<QWidget *>{ui->labelCom, ui->comboBoxCom, ui->comboBoxUsbHid}) {
        widget->setEnabled(false);
        widget->hide();
    }
    ui->comboBoxUsbHid->clear();
}

void MainWindow::on_radioUsbCom_clicked()
{
    ui->comboBoxCom->clear();
    fillWithSerialPorts(ui->comboBoxCom);
    for (QWidget *widget : std::initializer_list<QWidget *>{ui->editIpLine, ui->comboBoxUsbHid}) {
        widget->setEnabled(false);
        widget->hide();
    }
    for (QWidget *widget : std::initializer_list<QWidget *>{ui->labelCom, ui->comboBoxCom}) {
        widget->setEnabled(true);
        widget->show();
    }
    ui->comboBoxUsbHid->clear();
}

void MainWindow::on_radioUsbHid_clicked()
{
    ui->comboBoxUsbHid->setEnabled(true);
    ui->comboBoxUsbHid->show();
    for (QWidget *widget : std::initializer_list<QWidget *>{ui->editIpLine, ui->labelCom, ui->comboBoxCom}) {
        widget->setEnabled(false);
        widget->hide();
    }
    worker->searchUsbHidDevices();
}

void MainWindow::editTextComboBox(const QString &text)
{
    qDebug() << "don't w" << text;
    if (!text.isNull())
        ui->comboBoxUsbHid->addItem(text);
    // The device a setup or the last session chose is taken as soon as it is listed.
    if (!wantedHidDevice.isEmpty() && text == wantedHidDevice)
        ui->comboBoxUsbHid->setCurrentIndex(ui->comboBoxUsbHid->count() - 1);
}

void MainWindow::on_buttonConnect_clicked()
{
    QPushButton *button = ui->buttonConnect;
    const bool connecting = button->text() == QLatin1String("connect");
    if (ui->radioLan->isChecked()) {
        button->setEnabled(false);
        if (connecting)
            worker->connectToDevice(ui->editIpLine->text());
        if (button->text() == QLatin1String("Disconnect"))
            worker->disconnectFromDevice();
        button->setEnabled(true);
    } else if (ui->radioUsbCom->isChecked()) {
        button->setEnabled(false);
        if (connecting)
            worker->connectToDeviceUsbCom(ui->comboBoxCom->currentText());
        else
            worker->disconnectFromDeviceUsbCom();
        button->setEnabled(true);
    } else if (ui->radioUsbHid->isChecked()) {
        button->setEnabled(false);
        if (connecting)
            worker->connectToDeviceUsbHid(ui->comboBoxUsbHid->currentText());
        else
            worker->disconnectFromDeviceUsbHid();
        button->setEnabled(true);
    }
}

void MainWindow::on_buttonConnectPowerMeter_clicked()
{
    QPushButton *button = ui->buttonConnectPowerMeter;
    button->setEnabled(false);
    if (button->text() == QLatin1String("connect"))
        worker->connectToPowerMeter(ui->editIpPowerMeter->text());
    if (button->text() == QLatin1String("disconnect"))
        worker->disconnectFromPowerMeter();
    settings->setValue(QLatin1String(settingsKey), ui->editIpPowerMeter->text());
    settings->sync();
    button->setEnabled(true);
}

void MainWindow::on_buttonConnectSpectrumAnalyzer_clicked()
{
    QPushButton *button = ui->buttonConnectSpectrumAnalyzer;
    button->setEnabled(false);
    if (button->text() == QLatin1String("connect"))
        worker->connectToSpectrumAnalyzer(ui->editIpSpectrumAnalyzer->text());
    if (button->text() == QLatin1String("disconnect"))
        worker->disconnectFromSpectrumAnalyzer();
    button->setEnabled(true);
}

void MainWindow::connectedDevice()
{
    const QList<QWidget *> connectButtons{ui->buttonConnectPowerMeter, ui->buttonConnectSpectrumAnalyzer};
    setControlsEnabled(generatorControls() + connectButtons, true);
    setStyle(generatorButtons() + connectButtons, QLatin1String(styleActive));
    ui->label->setText(stateConnected());
    ui->buttonConnect->setText(QStringLiteral("Disconnect"));
    setControlsEnabled({ui->radioLan, ui->radioUsbCom, ui->radioUsbHid, ui->comboBoxUsbHid}, false);
}

void MainWindow::disconnectedDevice()
{
    if (ui->buttonConnectPowerMeter->text() == QLatin1String("disconnect"))
        worker->disconnectFromPowerMeter();
    if (ui->buttonConnectSpectrumAnalyzer->text() == QLatin1String("disconnect"))
        worker->disconnectFromSpectrumAnalyzer();
    const QList<QWidget *> connectButtons{ui->buttonConnectPowerMeter, ui->buttonConnectSpectrumAnalyzer};
    setControlsEnabled(connectButtons + generatorControls(), false);
    ui->label->setText(stateDisconnected());
    ui->buttonConnect->setText(QStringLiteral("connect"));
    setStyle(connectButtons + generatorButtons(), QString());
    setControlsEnabled({ui->radioLan, ui->radioUsbCom, ui->radioUsbHid, ui->comboBoxUsbHid}, true);
}

void MainWindow::disconnectedDeviceUsbCom()
{
    ui->label->setText(statePortClosed());
}

void MainWindow::connectedPowerMeter()
{
    setControlsEnabled({ui->buttonMeasurement, ui->buttonStopMeasure}, true);
    setStyle({ui->buttonMeasurement, ui->buttonStopMeasure}, QLatin1String(styleActive));
    ui->labelIsConnect->setText(stateConnected());
    ui->buttonConnectPowerMeter->setText(QStringLiteral("disconnect"));
}

void MainWindow::disconnectedPowerMeter()
{
    setControlsEnabled({ui->buttonMeasurement, ui->buttonStopMeasure}, false);
    setStyle({ui->buttonMeasurement, ui->buttonStopMeasure}, QString());
    ui->labelIsConnect->setText(stateDisconnected());
    ui->buttonConnectPowerMeter->setText(QStringLiteral("connect"));
}

void MainWindow::connectedSpectrumAnalyzer()
{
    const QList<QWidget *> buttons{ui->buttonMeasurementSpectrumAnalyzer, ui->buttonStopMeasureSpectrumAnalyzer};
    setControlsEnabled(buttons, true);
    setStyle(buttons, QLatin1String(styleActive));
    ui->labelIsConnect_2->setText(stateConnected());
    ui->buttonConnectSpectrumAnalyzer->setText(QStringLiteral("disconnect"));
}

void MainWindow::disconnectedSpectrumAnalyzer()
{
    const QList<QWidget *> buttons{ui->buttonMeasurementSpectrumAnalyzer, ui->buttonStopMeasureSpectrumAnalyzer};
    setControlsEnabled(buttons, false);
    setStyle(buttons, QString());
    ui->labelIsConnect_2->setText(stateDisconnected());
    ui->buttonConnectSpectrumAnalyzer->setText(QStringLiteral("connect"));
}

void MainWindow::on_buttonSetFreq_clicked()
{
    worker->setFrequency(ui->doubleSpinBoxFreq->value());
}

void MainWindow::on_buttonSetAmpl_clicked()
{
    worker->setAmplitude(ui->doubleSpinBoxAmpl->value());
}

void MainWindow::on_checkBoxRf_clicked()
{
    worker->setShownRfOff(!ui->checkBoxRf->isChecked());
    if (ui->checkBoxRf->isChecked())
        worker->rfOn();
    else
        worker->rfOff();
}

void MainWindow::on_checkBoxAlc_clicked()
{
    if (ui->checkBoxAlc->isChecked())
        worker->alcOn();
    else
        worker->alcOff();
}

void MainWindow::on_sendCommand_clicked()
{
    worker->setCommand(ui->editCommandLine->text());
}

void MainWindow::on_buttonSweepFreqStart_clicked()
{
    ui->buttonSweepFreqStart->setEnabled(false);
    const double sweepTime = ui->doubleSpinBoxFreqSweepTime->value();
    const double step = ui->doubleSpinBoxFreqStep->value();
    const double stop = ui->doubleSpinBoxFreqStop->value();
    const double start = ui->doubleSpinBoxFreqStart->value();
    const double ampl = ui->doubleSpinBoxAmpl->value();
    const double freq = ui->doubleSpinBoxFreq->value();
    worker->startSweepFreq(freq, ampl, start, stop, step, sweepTime);
    ui->buttonSweepFreqStart->setEnabled(true);
}

void MainWindow::on_buttonSweepFreqStop_clicked()
{
    worker->stopSweepFreq();
}

void MainWindow::on_buttonSweepAmplStart_clicked()
{
    ui->buttonSweepAmplStart->setEnabled(false);
    const double sweepTime = ui->doubleSpinBoxAmplSweepTime->value();
    const double step = ui->doubleSpinBoxAmplStep->value();
    const double stop = ui->doubleSpinBoxAmplStop->value();
    const double start = ui->doubleSpinBoxAmplStart->value();
    const double ampl = ui->doubleSpinBoxAmpl->value();
    const double freq = ui->doubleSpinBoxFreq->value();
    worker->startSweepAmpl(freq, ampl, start, stop, step, sweepTime);
    ui->buttonSweepAmplStart->setEnabled(true);
}

void MainWindow::on_buttonSweepAmplStop_clicked()
{
    worker->stopSweepAmpl();
}

void MainWindow::on_startAm_clicked()
{
    ui->startAm->setEnabled(false);
    const bool hz = ui->radioButtonHz->isChecked() && !ui->radioButtonKhz->isChecked();
    QString formSignal;
    if (ui->radioButtonSine->isChecked())
        formSignal = QStringLiteral("Sine");
    if (ui->radioButtonTri->isChecked())
        formSignal = QStringLiteral("Tri");
    if (ui->radioButtonRamp->isChecked())
        formSignal = QStringLiteral("Ramp");
    const double depthAm = ui->doubleSpinBoxDepthAm->value();
    const double freqAm = typedNumber(ui->editFreqAm->text());
    const double ampl = ui->doubleSpinBoxAmpl->value();
    const double freq = ui->doubleSpinBoxFreq->value();
    worker->startAm(freq, ampl, hz, freqAm, formSignal, depthAm);
    ui->startAm->setEnabled(true);
}

void MainWindow::on_stopAm_clicked()
{
    worker->stopAm();
}

void MainWindow::on_startPm_clicked()
{
    ui->startPm->setEnabled(false);
    auto unitOf = [](const QList<QRadioButton *> &buttons) {
        const char *const words[] = {"S", "MS", "US", "NS"};
        QString unit;
        for (int i = 0; i < buttons.size(); ++i)
            if (buttons.at(i)->isChecked())
                unit = QLatin1String(words[i]);
        return unit;
    };
    const QString timeUnitPwid =
        unitOf({ui->radioButtonS, ui->radioButtonMs, ui->radioButtonUs, ui->radioButtonNs});
    const QString timeUnitPer =
        unitOf({ui->radioButtonSTwo, ui->radioButtonMsTwo, ui->radioButtonUsTwo, ui->radioButtonNsTwo});
    const double period = typedNumber(ui->editPeriod->text());
    const double pulseWidth = typedNumber(ui->editPulseWidth->text());
    worker->startPm(timeUnitPwid, timeUnitPer, pulseWidth, period);
    ui->startPm->setEnabled(true);
}

void MainWindow::on_stopPm_clicked()
{
    worker->stopPm();
}

void MainWindow::on_buttonMeasurement_clicked()
{
    const QString refused = startRefusal(false);
    if (!refused.isEmpty()) {
        ui->statusBar->showMessage(QStringLiteral("Measurement not started: ") + refused, 30000);
        return;
    }
    saveForm();
    startReporting();
    recordSetup(MeasurementSetup::Kind::Power);
    beginJudging(MeasurementSetup::Kind::Power);
    const QList<QWidget *> locked{ui->buttonMeasurement, ui->buttonConnect, ui->buttonConnectPowerMeter};
    setControlsEnabled(generatorControls() + locked, false);
    setStyle(generatorButtons() + locked, QString());

    ValueFormMeasurePower form;
    form.freqStart = ui->doubleSpinBoxFreqStartMeas->value();
    form.freqStop = ui->doubleSpinBoxFreqStopMeas->value();
    form.pointsCount = quint64(qMax(0, ui->spinBoxPointsFreq->value()));
    form.freqStep = ui->doubleSpinBoxStepFreq->value();
    form.power = ui->doubleSpinBoxAmplMeasure->value();
    form.pointsMode = !ui->radioButtonStep->isChecked();
    form.channelA = ui->radioButtonChA->isChecked();
    form.ipPowerMeter = ui->editIpPowerMeter->text();
    form.delay = ui->spinBoxDelay->value();
    form.cycle = ui->checkBoxCycle->isChecked();
    form.justPower = ui->checkBoxCyclePower->isChecked();
    form.fetchValues = ui->checkBoxFetchValues->isChecked();
    form.limits = powerLimits;
    correctionFor(false, &form.correction);
    if (form.justPower)
        ui->doubleSpinBoxFreqStopMeas->setValue(form.freqStart);
    worker->setChannelChosen(form.channelA || ui->radioButtonChB->isChecked());
    worker->measurePower(form);
}

void MainWindow::on_buttonMeasurementSpectrumAnalyzer_clicked()
{
    const QString refused = startRefusal(true);
    if (!refused.isEmpty()) {
        ui->statusBar->showMessage(QStringLiteral("Measurement not started: ") + refused, 30000);
        return;
    }
    saveForm();
    startReporting();
    recordSetup(MeasurementSetup::Kind::Spur);
    beginJudging(MeasurementSetup::Kind::Spur);
    const QList<QWidget *> locked{ui->buttonConnect, ui->buttonConnectPowerMeter,
                                  ui->buttonConnectSpectrumAnalyzer, ui->buttonMeasurementSpectrumAnalyzer};
    setControlsEnabled(generatorControls() + locked, false);
    setStyle(generatorButtons() + locked, QString());

    ValueForm form;
    form.freqStart = ui->doubleSpinBoxFreqStartMeasSpectrumAnalyzer->value();
    form.freqStop = ui->doubleSpinBoxFreqStopMeasSpectrumAnalyzer->value();
    form.pointsCount = quint64(qMax(0, ui->spinBoxPointsFreqSpectrumAnalyzer->value()));
    form.freqStep = ui->doubleSpinBoxStepFreqSpectrumAnalyzer->value();
    form.power = ui->doubleSpinBoxAmplMeasureSpectrumAnalyzer->value();
    form.pointsMode = !ui->radioButtonStepSpectrumAnalyzer->isChecked();
    form.delay = ui->spinBoxDelaySpectrumAnalyzer->value();
    form.rohdeSchwarz = ui->radioButtonRohdeShwarz->isChecked();
    form.span = ui->doubleSpinBoxSpan->value();
    form.displayLine = ui->doubleSpinBoxDisplayLine->value();
    form.cycle = ui->checkBoxCycle->isChecked();
    form.limits = spurLimits;
    correctionFor(true, &form.correction);
    worker->measureSpectrum(form);
}

void MainWindow::on_buttonStopMeasure_clicked()
{
    setControlsEnabled(generatorControls()
                           + QList<QWidget *>{ui->buttonMeasurement, ui->buttonConnect,
                                              ui->buttonConnectPowerMeter},
                       true);
    setStyle(generatorButtons() + QList<QWidget *>{ui->buttonConnectPowerMeter}, QLatin1String(styleActive));
    ui->buttonConnect->setStyleSheet(QLatin1String(styleConnect));
    ui->buttonMeasurement->setStyleSheet(QLatin1String(styleActive));
    worker->requestStop();
}

void MainWindow::buttonPropertiesStopMeasure()
{
    setControlsEnabled(generatorControls() + QList<QWidget *>{ui->buttonConnect, ui->buttonConnectPowerMeter},
                       true);
    const bool meterConnected = ui->buttonConnectPowerMeter->text() == QLatin1String("disconnect");
    if (meterConnected)
        ui->buttonMeasurement->setEnabled(true);
    setStyle(generatorButtons() + QList<QWidget *>{ui->buttonConnectPowerMeter}, QLatin1String(styleActive));
    ui->buttonConnect->setStyleSheet(QLatin1String(styleConnect));
    if (meterConnected)
        ui->buttonMeasurement->setStyleSheet(QLatin1String(styleActive));
}

void MainWindow::on_buttonStopMeasureSpectrumAnalyzer_clicked()
{
    setControlsEnabled(generatorControls()
                           + QList<QWidget *>{ui->buttonMeasurementSpectrumAnalyzer, ui->buttonConnect,
                                              ui->buttonConnectPowerMeter, ui->buttonConnectSpectrumAnalyzer},
                       true);
    setStyle(generatorButtons()
                 + QList<QWidget *>{ui->buttonConnectPowerMeter, ui->buttonConnectSpectrumAnalyzer},
             QLatin1String(styleActive));
    ui->buttonConnect->setStyleSheet(QLatin1String(styleConnect));
    setStyle({ui->buttonStopMeasureSpectrumAnalyzer, ui->buttonMeasurementSpectrumAnalyzer},
             QLatin1String(styleActive));
    worker->requestStop();
}

void MainWindow::on_radioButtonPoints_clicked()
{
    ui->doubleSpinBoxStepFreq->hide();
    ui->labelPointCountValue->hide();
    ui->spinBoxPointsFreq->show();
    ui->labelPoints->show();
    ui->labelStepFreqValue->show();
}

void MainWindow::on_radioButtonStep_clicked()
{
    ui->doubleSpinBoxStepFreq->show();
    ui->labelPointCountValue->show();
    ui->spinBoxPointsFreq->hide();
    ui->labelPoints->hide();
    ui->labelStepFreqValue->hide();
}

void MainWindow::on_radioButtonPointsSpectrumAnalyzer_clicked()
{
    ui->doubleSpinBoxStepFreqSpectrumAnalyzer->hide();
    ui->labelPointCountValueSpectrumAnalyzer->hide();
    ui->spinBoxPointsFreqSpectrumAnalyzer->show();
    ui->labelPointsSpectrumAnalyzer->show();
    ui->labelStepFreqValueSpectrumAnalyzer->show();
}

void MainWindow::on_radioButtonStepSpectrumAnalyzer_clicked()
{
    ui->doubleSpinBoxStepFreqSpectrumAnalyzer->show();
    ui->labelPointCountValueSpectrumAnalyzer->show();
    ui->spinBoxPointsFreqSpectrumAnalyzer->hide();
    ui->labelPointsSpectrumAnalyzer->hide();
    ui->labelStepFreqValueSpectrumAnalyzer->hide();
}

void MainWindow::on_spinBoxDelay_valueChanged(int delay)
{
    worker->setDelay(delay);
}

void MainWindow::on_checkBoxCycle_clicked()
{
    const bool cycle = ui->checkBoxCycle->isChecked();
    ui->spinBoxPowerStep->setVisible(cycle);
    ui->labelCyclePower->setVisible(cycle);
    ui->checkBoxCyclePower->setVisible(cycle);
    worker->setCycle(cycle, ui->spinBoxPowerStep->value());
}

void MainWindow::on_spinBoxPowerStep_valueChanged(int powerStep)
{
    const bool cycle = ui->checkBoxCycle->isChecked();
    ui->spinBoxPowerStep->setVisible(cycle);
    ui->labelCyclePower->setVisible(cycle);
    worker->setCycle(cycle, powerStep);
}

void MainWindow::on_checkBoxFetchValues_clicked()
{
    worker->setFetchValues(ui->checkBoxFetchValues->isChecked());
}
