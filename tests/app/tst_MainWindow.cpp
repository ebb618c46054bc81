#include "BenchSimProcess.h"
#include "DataLocation.h"
#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "MainWindow.h"
#include "InThread.h"
#include "LinkTrace.h"
#include "MeasuredPoint.h"
#include "MeasurementPlot.h"
#include "Pause.h"
#include "PgCluster.h"
#include "QueuedSpy.h"
#include "RunStatus.h"
#include "RunsDialog.h"
#include "SetupFile.h"
#include "SetupForm.h"
#include "SqliteStore.h"
#include "WorkbookDump.h"
#include "XlsxDocument.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QCryptographicHash>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutex>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QValidator>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const QString connectedText = QStringLiteral("<FONT COLOR=#008000>СОЕДИНЕНО</font>");
const QString disconnectedText = QStringLiteral("<FONT COLOR=red>НЕТ СОЕДИНЕНИЯ</font>");
const QStringList generatorControls{
    "buttonSweepFreqStart", "buttonSweepFreqStop", "buttonSweepAmplStart", "buttonSweepAmplStop",
    "startAm", "startPm", "stopAm", "stopPm", "checkBoxRf", "checkBoxAlc", "buttonSetFreq",
    "buttonSetAmpl", "sendCommand"};

QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini");
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    QTemporaryDir reports;

    template<typename T = QWidget>
    T *widget(const QString &name)
    {
        T *found = window->findChild<T *>(name);
        if (!found)
            qWarning() << "no widget" << name;
        return found;
    }
    void click(const QString &name) { QTest::mouseClick(widget<QAbstractButton>(name), Qt::LeftButton); }
    QString text(const QString &name)
    {
        if (auto *button = window->findChild<QAbstractButton *>(name))
            return button->text();
        return widget<QLabel>(name)->text();
    }
    bool enabled(const QString &name) { return widget(name)->isEnabled(); }
    // Each edit as the operator makes it: "tab=1" shows a measurement tab, "click:<button>",
    // "<field>=<value>" types into a field.
    void edit(const QStringList &edits)
    {
        for (const QString &change : edits) {
            const QString name = change.section(QLatin1Char('='), 0, 0);
            const QString value = change.section(QLatin1Char('='), 1);
            if (name == QLatin1String("tab"))
                widget<QTabWidget>("tabMeasuirngDevice")->setCurrentIndex(value.toInt());
            else if (name.startsWith(QLatin1String("click:")))
                click(name.mid(6));
            else if (auto *line = window->findChild<QLineEdit *>(name))
                line->setText(value);
            else if (auto *spin = window->findChild<QSpinBox *>(name))
                spin->setValue(value.toInt());
            else
                widget<QDoubleSpinBox>(name)->setValue(value.toDouble());
        }
    }
    // The tooltip shown with the pointer resting on the control.
    QString shownTip(const QString &name)
    {
        QWidget *w = widget(name);
        const QPoint centre = w->rect().center();
        QHelpEvent hover(QEvent::ToolTip, centre, w->mapToGlobal(centre));
        QCoreApplication::sendEvent(w, &hover);
        const QString tip = QToolTip::isVisible() ? QToolTip::text() : QString();
        QToolTip::hideText();
        return tip;
    }
    void syncWorker()
    {
        runInThread(window->devicesWork(), [] {});
    }
    // Connects the window to the simulated synthesizer over LAN and waits for the connected state.
    bool connectSynthesizer(BenchSimProcess &sim)
    {
        widget<QLineEdit>("editIpLine")->setText(sim.synthAddress());
        click("buttonConnect");
        return QTest::qWaitFor([this] { return text("buttonConnect") == "Disconnect"; }, 5000);
    }
    // The status bar's progress as it stood at each point, read right after the window took
    // the point in.
    QStringList progressAtEachPoint;
    QList<int> progressValues;
    void followProgress()
    {
        connect(window->devicesWork(), &DevicesWork::pointMeasured, this, [this] {
            progressAtEachPoint << window->runStatus()->progressText();
            progressValues << window->runStatus()->progressValue();
        });
    }
    bool connectInstruments(BenchSimProcess &sim)
    {
        widget<QLineEdit>("editIpPowerMeter")->setText(sim.powerMeterAddress());
        click("buttonConnectPowerMeter");
        widget<QLineEdit>("editIpSpectrumAnalyzer")->setText(sim.analyzerAddress());
        click("buttonConnectSpectrumAnalyzer");
        return QTest::qWaitFor([this] {
            return text("buttonConnectPowerMeter") == "disconnect"
                   && text("buttonConnectSpectrumAnalyzer") == "disconnect";
        }, 5000);
    }
    // A run of many points whose rows wait in memory: its report folder is on a stick that has
    // been pulled out (one of its own for each test). Returns once rows wait.
    bool startRunWithRowsWaiting(BenchSimProcess &sim)
    {
        if (!connectSynthesizer(sim) || !connectInstruments(sim))
            return false;
        window->devicesWork()->reportWriter()->setDirectory(
            reports.filePath(QStringLiteral("pulled out ") + QLatin1String(QTest::currentTestFunction())));
        widget<QSpinBox>("spinBoxPointsFreq")->setValue(20000);
        widget<QSpinBox>("spinBoxDelay")->setValue(0);
        click("buttonMeasurement");
        return QTest::qWaitFor([this] {
            return !window->devicesWork()->waitingReportRows().isEmpty() && window->runStatus()->progressShown();
        }, 10000);
    }
    // The questions about waiting rows asked so far; each is answered with the button whose text
    // starts with the given words.
    QStringList questions;
    void answerQuestionsWith(const QString &answer)
    {
        auto *answering = new QTimer(window.get());
        connect(answering, &QTimer::timeout, answering, [this, answer] {
            auto *question = window->findChild<QMessageBox *>(QStringLiteral("waitingRowsQuestion"));
            if (!question || !question->isVisible())
                return;
            questions << question->text();
            for (QAbstractButton *button : question->buttons())
                if (button->text().startsWith(answer))
                    return button->click();
            qWarning() << "no button" << answer;
        });
        answering->start(10);
    }
    // Runs the program with these options in the temporary folder; its exit code, or -1 when it
    // did not end by itself (its window stayed open).
    int runProgram(const QStringList &options, QString &errors)
    {
        QProcess program;
        program.setWorkingDirectory(reports.path());
        program.start(QStringLiteral(RFBENCH_PATH), options);
        const bool ended = program.waitForFinished(10000);
        if (!ended) {
            program.kill();
            program.waitForFinished();
        }
        errors = QString::fromLocal8Bit(program.readAllStandardError());
        return ended && program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    }

private slots:
    void initTestCase();
    void cleanupTestCase() { QFile::remove(settingsPath()); }
    void init();
    void cleanup();
    void initialWidgets_data();
    void initialWidgets();
    void initialNumbers_data();
    void initialNumbers();
    void fixedSizeAndTabs();
    void validators_data();
    void validators();
    void settingsKeyIsWrittenAtEveryClick();
    void transportChoice();
    void connectOverLanAndLoseTheSynthesizer();
    void connectOverSerialPort();
    void failedSerialOpen();
    void generatorControlsSendTheirCommands();
    void queryAnswerReachesTheLabel();
    void powerMeasurementFromTheWindow();
    void stopGivesTheControlsBackAtOnce();
    void spurMeasurementFromTheWindow();
    void warningAtTheStartOfARun_data();
    void warningAtTheStartOfARun();
    void pointsStepAndCycleChoices_data();
    void pointsStepAndCycleChoices();
    void narrowRangeIsRefused();
    void hidDevicesFillTheList();
    void rowsThatCannotBeSavedAreShownUntilSaved();
    void cancelledCloseLeavesTheRunGoing();
    void discardedRowsAreCountedAfterTheRunStopped();
    void silentPowerMeterShowsItsTrouble();
    void troubleInTheStatusBar_data();
    void troubleInTheStatusBar();
    void dataLocation_data();
    void dataLocation();
    void setupsKeptSharedAndRunWithoutTheWindow();
    void windowAndScriptOnOneDataFolder();
    void savedSetupKeepsWhatWasOpened_data();
    void savedSetupKeepsWhatWasOpened();
    void judgedRunFromASetup_data();
    void judgedRunFromASetup();
    void runsListExportsRepeatsAndResumes();
    void aReportWaitsForEveryPoint();
    void aResumedRunKeepsItsRecordedTable();
    void runsGoUpToTheResultsServer();
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(reports.isValid());
    QFile notes(reports.filePath(QStringLiteral("notes.txt")));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    Pause::setSleepFunction([](unsigned long) {});
}

void tst_MainWindow::init()
{
    QFile::remove(settingsPath());
    // A results store of each test's own: rows one test left waiting are not another's to write.
    DataLocation location = DataLocation::current();
    location.storeFile = reports.filePath(QLatin1String(QTest::currentTestFunction()) + QStringLiteral(".sqlite"));
    DataLocation::setCurrent(location);
    questions.clear();
    progressAtEachPoint.clear();
    progressValues.clear();
    window = std::make_unique<MainWindow>();
    DevicesWork *worker = window->devicesWork();
    runInThread(worker, [this, worker] { worker->reportWriter()->setDirectory(reports.path()); });
}

void tst_MainWindow::cleanup()
{
    window.reset();
    XlsxDocument::clearCache();
}

void tst_MainWindow::initialWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("isEnabled");
    QTest::addColumn<bool>("isHidden");
    const struct
    {
        const char *name;
        const char *caption;
        bool enabled;
        bool hidden;
    } rows[] = {
        {"radioLan", "LAN", true, false},
        {"radioUsbCom", "USB-COM", true, false},
        {"radioUsbHid", "USB-HID", true, false},
        {"labelCom", "ComPort", false, true},
        {"comboBoxCom", nullptr, false, true},
        {"comboBoxUsbHid", nullptr, false, true},
        {"buttonConnect", "connect", true, false},
        {"label", "", true, false},
        {"checkBoxRf", "RF ON", false, false},
        {"checkBoxAlc", "ALC ON", false, false},
        {"labelCaptionFreq", "F, MHz", true, false},
        {"labelCaptionAmpl", "A, dBm", true, false},
        {"buttonSetFreq", "Frequency", false, false},
        {"buttonSetAmpl", "Power", false, false},
        {"sendCommand", "Send SCPI command", false, false},
        {"labelAnsw", "", true, false},
        {"labelSweepFreqStart", "Freq start, MHz", true, false},
        {"labelSweepFreqTime", "Sweep time, ms", true, false},
        {"buttonSweepFreqStart", "Start sweep", false, false},
        {"buttonSweepFreqStop", "Stop sweep", false, false},
        {"labelSweepAmplStep", "Ampl step, dBm", true, false},
        {"buttonSweepAmplStart", "Start sweep", false, false},
        {"buttonSweepAmplStop", "Stop sweep", false, false},
        {"labelFreqAm", "Freq AM", true, false},
        {"radioButtonHz", "Hz", true, false},
        {"radioButtonKhz", "kHz", true, false},
        {"labelDepthAm", "Depth AM, %", true, false},
        {"radioButtonSine", "Sine", true, false},
        {"radioButtonRamp", "Ramp", true, false},
        {"startAm", "Start AM", false, false},
        {"stopAm", "Stop AM", false, false},
        {"labelPulseWidth", "Pulse width", true, false},
        {"radioButtonNs", "ns", true, false},
        {"radioButtonUsTwo", "us", true, false},
        {"startPm", "Start PM", false, false},
        {"stopPm", "Stop PM", false, false},
        {"buttonConnectPowerMeter", "connect", false, false},
        {"labelPowerMeter", "IP Power meter", true, false},
        {"labelIsConnect", "", true, false},
        {"radioButtonChA", "ch A", true, false},
        {"checkBoxFetchValues", "fetch values", true, false},
        {"radioButtonPoints", "points", true, false},
        {"labelPointCountValue", "2185", true, true},
        {"labelStepFreqValue", "10", true, false},
        {"buttonMeasurement", "Measurement", false, false},
        {"buttonStopMeasure", "Stop", false, false},
        {"checkBoxCycle", "cycle", true, false},
        {"labelCyclePower", "step power, dBm", true, true},
        {"checkBoxCyclePower", "Just Power measure\none Frequency", true, true},
        {"labelPointsMount", "Point", true, false},
        {"labelPower", "Power", true, false},
        {"buttonConnectSpectrumAnalyzer", "connect", false, false},
        {"labelSpectrumAnalyzer", "IP Spectrum Analyzer", true, false},
        {"radioButtonRohdeShwarz", "R&&S", true, false},
        {"radioButtonKvd4471B", "KVD4471B", true, false},
        {"labelDisplayLine", "DisplayLine", true, false},
        {"labelSpan", "SPAN", true, false},
        {"labelPointCountValueSpectrumAnalyzer", "12001", true, false},
        {"labelStepFreqValueSpectrumAnalyzer", "1", true, false},
        {"buttonMeasurementSpectrumAnalyzer", "Measurement", false, false},
        {"buttonStopMeasureSpectrumAnalyzer", "Stop", false, false},
        {"checkBoxCycleSpectrumAnalyzer", "cycle", true, false},
        {"labelSpursSpectrumAnalyzer", "Count Spurs", true, false},
        {"labelMinSpur", "", true, false},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QString::fromLatin1(row.name)
                                << (row.caption ? QString::fromUtf8(row.caption) : QString()) << row.enabled
                                << row.hidden;
}

void tst_MainWindow::initialWidgets()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(bool, isEnabled);
    QFETCH(bool, isHidden);
    QWidget *w = widget(name);
    QVERIFY(w);
    QCOMPARE(w->isEnabled(), isEnabled);
    QCOMPARE(w->isHidden(), isHidden);
    if (!caption.isNull())
        QCOMPARE(text(name), caption);
}

void tst_MainWindow::initialNumbers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("step");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("isHidden");
    QTest::newRow("doubleSpinBoxFreq") << "doubleSpinBoxFreq" << 0.0 << 30000.0 << 6 << 1.0 << 11000.0 << false;
    QTest::newRow("doubleSpinBoxAmpl") << "doubleSpinBoxAmpl" << -120.0 << 30.0 << 1 << 0.1 << 0.0 << false;
    QTest::newRow("doubleSpinBoxFreqStart") << "doubleSpinBoxFreqStart" << 0.0 << 30000.0 << 6 << 1.0 << 200.0 << false;
    QTest::newRow("doubleSpinBoxFreqStop") << "doubleSpinBoxFreqStop" << 0.0 << 30000.0 << 6 << 1.0 << 20000.0 << false;
    QTest::newRow("doubleSpinBoxFreqStep") << "doubleSpinBoxFreqStep" << 0.0 << 30000.0 << 6 << 1.0 << 100.0 << false;
    QTest::newRow("doubleSpinBoxFreqSweepTime") << "doubleSpinBoxFreqSweepTime" << 0.0 << 100000.0 << 2 << 0.01 << 200.0 << false;
    QTest::newRow("doubleSpinBoxAmplStart") << "doubleSpinBoxAmplStart" << -120.0 << 30.0 << 1 << 0.5 << 0.0 << false;
    QTest::newRow("doubleSpinBoxAmplStop") << "doubleSpinBoxAmplStop" << -120.0 << 30.0 << 1 << 0.5 << 10.0 << false;
    QTest::newRow("doubleSpinBoxAmplStep") << "doubleSpinBoxAmplStep" << 0.5 << 30.0 << 1 << 0.5 << 1.0 << false;
    QTest::newRow("doubleSpinBoxAmplSweepTime") << "doubleSpinBoxAmplSweepTime" << 0.0 << 100000.0 << 2 << 0.01 << 200.0 << false;
    QTest::newRow("doubleSpinBoxDepthAm") << "doubleSpinBoxDepthAm" << 0.0 << 100.0 << 1 << 1.0 << 100.0 << false;
    QTest::newRow("doubleSpinBoxFreqStartMeas") << "doubleSpinBoxFreqStartMeas" << 0.0 << 30001.0 << 6 << 1.0 << 160.0 << false;
    QTest::newRow("doubleSpinBoxFreqStopMeas") << "doubleSpinBoxFreqStopMeas" << 0.0 << 30001.0 << 6 << 1.0 << 22000.0 << false;
    QTest::newRow("spinBoxPointsFreq") << "spinBoxPointsFreq" << 0.0 << 300000.0 << 0 << 1.0 << 2185.0 << false;
    QTest::newRow("doubleSpinBoxStepFreq") << "doubleSpinBoxStepFreq" << 0.0 << 22000.0 << 9 << 1.0 << 10.0 << true;
    QTest::newRow("doubleSpinBoxAmplMeasure") << "doubleSpinBoxAmplMeasure" << -120.0 << 30.0 << 1 << 0.1 << 0.0 << false;
    QTest::newRow("spinBoxDelay") << "spinBoxDelay" << 0.0 << 5000.0 << 0 << 1.0 << 150.0 << false;
    QTest::newRow("spinBoxPowerStep") << "spinBoxPowerStep" << 1.0 << 99.0 << 0 << 1.0 << 1.0 << true;
    QTest::newRow("doubleSpinBoxDisplayLine") << "doubleSpinBoxDisplayLine" << 0.0 << 100.0 << 1 << 1.0 << 73.0 << false;
    QTest::newRow("doubleSpinBoxSpan") << "doubleSpinBoxSpan" << 0.0 << 1000.0 << 1 << 1.0 << 10.0 << false;
    QTest::newRow("doubleSpinBoxFreqStartMeasSpectrumAnalyzer") << "doubleSpinBoxFreqStartMeasSpectrumAnalyzer" << 0.0 << 30001.0 << 6 << 1.0 << 10000.0 << false;
    QTest::newRow("doubleSpinBoxFreqStopMeasSpectrumAnalyzer") << "doubleSpinBoxFreqStopMeasSpectrumAnalyzer" << 0.0 << 30001.0 << 6 << 1.0 << 22000.0 << false;
    QTest::newRow("spinBoxPointsFreqSpectrumAnalyzer") << "spinBoxPointsFreqSpectrumAnalyzer" << 0.0 << 300000.0 << 0 << 1.0 << 12001.0 << false;
    QTest::newRow("doubleSpinBoxStepFreqSpectrumAnalyzer") << "doubleSpinBoxStepFreqSpectrumAnalyzer" << 0.0 << 22000.0 << 9 << 1.0 << 1.0 << true;
    QTest::newRow("doubleSpinBoxAmplMeasureSpectrumAnalyzer") << "doubleSpinBoxAmplMeasureSpectrumAnalyzer" << -120.0 << 30.0 << 1 << 0.1 << 0.0 << false;
    QTest::newRow("spinBoxDelaySpectrumAnalyzer") << "spinBoxDelaySpectrumAnalyzer" << 0.0 << 5000.0 << 0 << 1.0 << 1700.0 << false;
}

void tst_MainWindow::initialNumbers()
{
    QFETCH(QString, name);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(int, decimals);
    QFETCH(double, step);
    QFETCH(double, value);
    QFETCH(bool, isHidden);
    QWidget *w = widget(name);
    QVERIFY(w);
    QCOMPARE(w->isHidden(), isHidden);
    if (auto *box = qobject_cast<QDoubleSpinBox *>(w)) {
        QCOMPARE(box->minimum(), minimum);
        QCOMPARE(box->maximum(), maximum);
        QCOMPARE(box->decimals(), decimals);
        QCOMPARE(box->singleStep(), step);
        QCOMPARE(box->value(), value);
    } else {
        auto *spin = qobject_cast<QSpinBox *>(w);
        QVERIFY(spin);
        QCOMPARE(double(spin->minimum()), minimum);
        QCOMPARE(double(spin->maximum()), maximum);
        QCOMPARE(double(spin->value()), value);
    }
}

void tst_MainWindow::fixedSizeAndTabs()
{
    QCOMPARE(window->minimumSize(), QSize(825, 402));
    QCOMPARE(window->maximumSize(), QSize(825, 402));
    QCOMPARE(window->windowTitle(), QString());
    QCOMPARE(window->statusBar()->currentMessage(),
             QStringLiteral("Workbooks are written to ") + QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    const struct
    {
        const char *name;
        int current;
        QStringList texts;
    } tabs[] = {
        {"tabWidget", 1, {"Sweep Frequency", "Sweep Amplitude"}},
        {"tabWidget_2", 1, {"Amplitude Modulation", "Pulse-Amplitude Modulation"}},
        {"tabMeasuirngDevice", 0, {"Power Meter", "Spectrum Analyzer"}},
    };
    for (const auto &tab : tabs) {
        auto *widgetOfTabs = widget<QTabWidget>(tab.name);
        QCOMPARE(widgetOfTabs->currentIndex(), tab.current);
        QStringList texts;
        for (int i = 0; i < widgetOfTabs->count(); ++i)
            texts << widgetOfTabs->tabText(i);
        QCOMPARE(texts, tab.texts);
        QVERIFY(widgetOfTabs->isMovable());
        QVERIFY(widgetOfTabs->documentMode());
        QCOMPARE(widgetOfTabs->tabShape(), QTabWidget::Triangular);
    }
    QCOMPARE(widget<QLineEdit>("editIpLine")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(widget<QLineEdit>("editIpPowerMeter")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(widget<QLineEdit>("editIpSpectrumAnalyzer")->text(), QStringLiteral("127.0.0.2"));
    QCOMPARE(widget<QLineEdit>("editFreqAm")->text(), QStringLiteral("400"));
    QCOMPARE(widget<QLineEdit>("editPulseWidth")->text(), QStringLiteral("1"));
    QCOMPARE(widget<QLineEdit>("editPeriod")->text(), QStringLiteral("4"));
    QVERIFY(widget<QAbstractButton>("checkBoxAlc")->isChecked());
    QVERIFY(!widget<QAbstractButton>("checkBoxRf")->isChecked());
    QVERIFY(widget<QAbstractButton>("radioButtonMs")->isChecked());
    QVERIFY(widget<QAbstractButton>("radioButtonMsTwo")->isChecked());
    QVERIFY(!widget<QAbstractButton>("radioButtonChA")->isChecked());
    QVERIFY(!widget<QAbstractButton>("radioButtonChB")->isChecked());
    QVERIFY(!widget<QAbstractButton>("radioButtonPointsSpectrumAnalyzer")->isChecked());
    QVERIFY(widget<QAbstractButton>("radioButtonRohdeShwarz")->isChecked());
    QCOMPARE(widget("buttonConnect")->styleSheet(),
             QStringLiteral("color: blue;background-color: orange;selection-color: green;selection-background-color: blue;"));
    QCOMPARE(widget("groupBoxFormSignal")->styleSheet(), QStringLiteral("border: 0px solid gray;"));
    QCOMPARE(widget("lineHorizontalDownSpectrumAnalyzer")->styleSheet(), QStringLiteral("border: 1px solid gray;"));
}

void tst_MainWindow::validators_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("state");
    QTest::newRow("seven decimals with a point") << "12.1234567" << int(QValidator::Acceptable);
    QTest::newRow("seven decimals with a comma") << "0,1234567" << int(QValidator::Acceptable);
    QTest::newRow("prefix") << "400" << int(QValidator::Intermediate);
    QTest::newRow("leading zero") << "01" << int(QValidator::Invalid);
    QTest::newRow("eighth decimal") << "1.12345678" << int(QValidator::Invalid);
    QTest::newRow("letters") << "1a" << int(QValidator::Invalid);
}

void tst_MainWindow::validators()
{
    QFETCH(QString, input);
    QFETCH(int, state);
    for (const char *name : {"editPulseWidth", "editPeriod", "editFreqAm"}) {
        const QValidator *validator = widget<QLineEdit>(name)->validator();
        QVERIFY(validator);
        int position = input.size();
        QString copy = input;
        QCOMPARE(int(validator->validate(copy, position)), state);
    }
}

void tst_MainWindow::settingsKeyIsWrittenAtEveryClick()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(!QFile::exists(settingsPath()));
    widget<QLineEdit>("editIpPowerMeter")->setText(sim.powerMeterAddress());
    click("buttonConnectPowerMeter");
    QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value("PowerMeter/ipNumber").toString(),
             sim.powerMeterAddress());
    QVERIFY(QTest::qWaitFor([this] { return text("buttonConnectPowerMeter") == "disconnect"; }, 5000));
    widget<QLineEdit>("editIpPowerMeter")->setText(QStringLiteral("10,0,0,7"));
    click("buttonConnectPowerMeter");
    QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value("PowerMeter/ipNumber").toString(),
             QStringLiteral("10,0,0,7"));
    QVERIFY(QTest::qWaitFor([this] { return text("buttonConnectPowerMeter") == "connect"; }, 5000));
    // The next start shows the address of the last click.
    window = std::make_unique<MainWindow>();
    QCOMPARE(widget<QLineEdit>("editIpPowerMeter")->text(), QStringLiteral("10,0,0,7"));
}

void tst_MainWindow::transportChoice()
{
    click("radioUsbCom");
    QVERIFY(!widget("editIpLine")->isVisibleTo(window.get()));
    QVERIFY(widget("comboBoxCom")->isVisibleTo(window.get()) && enabled("comboBoxCom"));
    QVERIFY(widget("labelCom")->isVisibleTo(window.get()));
    const int ports = widget<QComboBox>("comboBoxCom")->count();
    click("radioUsbCom");
    QCOMPARE(widget<QComboBox>("comboBoxCom")->count(), ports);
    click("radioUsbHid");
    QVERIFY(widget("comboBoxUsbHid")->isVisibleTo(window.get()) && enabled("comboBoxUsbHid"));
    QVERIFY(!widget("comboBoxCom")->isVisibleTo(window.get()) && !enabled("comboBoxCom"));
    click("radioLan");
    QVERIFY(widget("editIpLine")->isVisibleTo(window.get()) && enabled("editIpLine"));
    QVERIFY(!widget("comboBoxUsbHid")->isVisibleTo(window.get()));
    QCOMPARE(widget<QComboBox>("comboBoxUsbHid")->count(), 0);
    QCOMPARE(widget<QComboBox>("comboBoxCom")->count(), ports);
}

void tst_MainWindow::connectOverLanAndLoseTheSynthesizer()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    // A disabled control's tooltip says what must be connected first.
    QVERIFY2(shownTip("buttonConnectPowerMeter").endsWith("\nConnect the synthesizer first."),
             qPrintable(shownTip("buttonConnectPowerMeter")));
    QVERIFY(shownTip("buttonSetFreq").endsWith("\nConnect the synthesizer first."));
    QVERIFY(shownTip("buttonMeasurementSpectrumAnalyzer").endsWith("\nConnect the synthesizer, then the spectrum analyzer, first."));
    QVERIFY(!shownTip("radioUsbCom").isEmpty() && !shownTip("radioUsbCom").endsWith("first."));
    QVERIFY(connectSynthesizer(sim));
    QCOMPARE(text("label"), connectedText);
    QCOMPARE(shownTip("buttonConnectPowerMeter"), widget("buttonConnectPowerMeter")->toolTip());
    QVERIFY(shownTip("buttonMeasurement").endsWith("\nConnect the power meter first."));
    QVERIFY(shownTip("radioUsbCom").endsWith("\nDisconnect the synthesizer first."));
    for (const QString &name : generatorControls)
        QVERIFY2(enabled(name), qPrintable(name));
    for (const char *name : {"radioLan", "radioUsbCom", "radioUsbHid", "comboBoxUsbHid"})
        QVERIFY(!enabled(name));
    QVERIFY(enabled("buttonConnectPowerMeter") && enabled("buttonConnectSpectrumAnalyzer"));
    QVERIFY(widget("buttonSetFreq")->styleSheet().contains("background-color: grey"));

    QVERIFY(connectInstruments(sim));
    QCOMPARE(shownTip("buttonMeasurement"), widget("buttonMeasurement")->toolTip());
    QCOMPARE(text("labelIsConnect"), connectedText);
    QCOMPARE(text("labelIsConnect_2"), connectedText);
    QVERIFY(enabled("buttonMeasurement") && enabled("buttonStopMeasure"));
    QVERIFY(enabled("buttonMeasurementSpectrumAnalyzer") && enabled("buttonStopMeasureSpectrumAnalyzer"));

    // Losing the synthesizer drops the two instruments as well.
    click("buttonConnect");
    QVERIFY(QTest::qWaitFor([this] {
        return text("buttonConnect") == "connect" && text("buttonConnectPowerMeter") == "connect"
               && text("buttonConnectSpectrumAnalyzer") == "connect";
    }, 5000));
    QCOMPARE(text("label"), disconnectedText);
    QCOMPARE(text("labelIsConnect"), disconnectedText);
    QCOMPARE(text("labelIsConnect_2"), disconnectedText);
    for (const QString &name : generatorControls)
        QVERIFY2(!enabled(name), qPrintable(name));
    QVERIFY(!enabled("buttonConnectPowerMeter") && !enabled("buttonMeasurement"));
    QVERIFY(enabled("radioUsbCom"));
    QCOMPARE(widget("buttonSetFreq")->styleSheet(), QString());
}

void tst_MainWindow::connectOverSerialPort()
{
    BenchSimProcess sim({QStringLiteral("--serial")});
    QVERIFY(sim.isReady());
    click("radioUsbCom");
    auto *ports = widget<QComboBox>("comboBoxCom");
    ports->addItem(sim.serialPath());
    ports->setCurrentIndex(ports->count() - 1);
    click("buttonConnect");
    QVERIFY(QTest::qWaitFor([this] { return text("buttonConnect") == "Disconnect"; }, 5000));
    QCOMPARE(text("label"), connectedText);
    widget<QLineEdit>("editCommandLine")->setText(QStringLiteral("*IDN?"));
    click("sendCommand");
    QVERIFY(QTest::qWaitFor([this] { return text("labelAnsw").startsWith("Orvane,"); }, 5000));
    click("buttonConnect");
    QVERIFY(QTest::qWaitFor([this] { return text("buttonConnect") == "connect"; }, 5000));
    QCOMPARE(text("label"), disconnectedText);
}

void tst_MainWindow::failedSerialOpen()
{
    click("radioUsbCom");
    auto *ports = widget<QComboBox>("comboBoxCom");
    ports->addItem(QStringLiteral("/dev/no-such-serial-port"));
    ports->setCurrentIndex(ports->count() - 1);
    click("buttonConnect");
    QVERIFY(QTest::qWaitFor([this] { return !text("label").isEmpty(); }, 5000));
    QCOMPARE(text("label"), QStringLiteral("<FONT COLOR=red>ComPort close</font>"));
    QCOMPARE(text("buttonConnect"), QStringLiteral("connect"));
    QVERIFY(!enabled("buttonSetFreq"));
}

void tst_MainWindow::generatorControlsSendTheirCommands()
{
    BenchSimProcess sim({QStringLiteral("--verbose")});
    QVERIFY(sim.isReady());
    const QString trace = reports.filePath(QStringLiteral("trace.log"));
    QVERIFY(LinkTrace::start(trace));
    QVERIFY(connectSynthesizer(sim));
    // Distinct values everywhere, so that two arguments swapped on the way show.
    widget<QDoubleSpinBox>("doubleSpinBoxFreq")->setValue(1234.5);
    widget<QDoubleSpinBox>("doubleSpinBoxAmpl")->setValue(-3.5);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStart")->setValue(250);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStop")->setValue(19000);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStep")->setValue(125);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqSweepTime")->setValue(175);
    click("buttonSweepFreqStart");
    widget<QDoubleSpinBox>("doubleSpinBoxAmplStart")->setValue(-15);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplStop")->setValue(5.5);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplStep")->setValue(1.5);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplSweepTime")->setValue(333);
    click("buttonSweepAmplStart");
    click("buttonSweepAmplStop");
    click("radioButtonKhz");
    widget<QLineEdit>("editFreqAm")->setText(QStringLiteral("10"));
    click("startAm");
    click("radioButtonUs");
    widget<QLineEdit>("editPulseWidth")->setText(QStringLiteral("2,5"));
    click("startPm");
    click("checkBoxRf");
    click("checkBoxRf");
    click("checkBoxAlc");
    click("stopAm");
    click("stopPm");
    widget<QDoubleSpinBox>("doubleSpinBoxAmpl")->setValue(-12.3);
    click("buttonSetAmpl");
    widget<QLineEdit>("editCommandLine")->setText(QStringLiteral("*IDN?"));
    click("sendCommand");
    QVERIFY(QTest::qWaitFor([this] { return !text("labelAnsw").isEmpty(); }, 10000));
    const QStringList lines = sim.receivedLines(QStringLiteral("synthesizer"));
    QStringList expected{"OUTPUT ON", "FREQ:CW 1234.50000000 MHz", "POWER -3.50 DBM",
                         "FREQ:START 250.00000000 MHz", "FREQ:STOP 19000.00000000 MHz",
                         "FREQ:STEP 125.00000000 MHz", "FREQ:MODE LIST", "LIST:TYPE STEP", "LIST:MODE AUTO",
                         "SWE:TIME:AUTO OFF", "SWE:TIME 175.0000 ms", "TRIG:SOUR BUS", "INIT:CONT ON", "INIT",
                         "*TRG",
                         "OUTPUT ON", "FREQ:CW 1234.50000000 MHz", "POWER -3.50 DBM", "POW:START -15.0000 DBM",
                         "POW:STOP 5.5000 DBM", "POW:STEP 1.5000 DBM", "POW:MODE LIST", "LIST:TYPE STEP",
                         "LIST:MODE AUTO", "SWE:TIME:AUTO OFF", "SWE:TIME 333.0000 ms", "TRIG:SOUR BUS",
                         "INIT:CONT ON", "INIT", "*TRG", "ABORT", "POW:MODE FIX",
                         "OUTPUT ON", "FREQ:CW 1234.50000000 MHz", "POWER -3.50 DBM", "AM:SOURce:INTernal",
                         "AM:INTernal:FREQuency 10.00000000 kHz", "AM:INTernal:FUNCtion:SHAPE Sine",
                         "AM:DEPTH 100.00000000", "OUTPUT:MODULATION ON", "PULM:SOUR:INTernal"};
    for (int i = 0; i < 10; ++i)
        expected << "PULM:INT:PWID 2.50000000 US";
    for (int i = 0; i < 10; ++i)
        expected << "PULM:INT:PER 4.00000000 MS";
    expected << "OUTPUT:MODULATION ON" << "OUTPUT ON" << "OUTPUT OFF" << "OUTP:ALC OFF"
             << "OUTPUT:MODULATION OFF" << "OUTPUT:MODULATION OFF" << "POWER -12.30 DBM" << "*IDN?";
    QCOMPARE(lines, expected);
    // The trace holds what the simulator received, in order, and the answer.
    LinkTrace::stop();
    QFile traceFile(trace);
    QVERIFY(traceFile.open(QIODevice::ReadOnly));
    QStringList sent;
    QStringList answers;
    const QRegularExpression line(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} synthesizer ([<>]) (.*)$"));
    for (const QString &entry : QString::fromUtf8(traceFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(entry);
        QVERIFY2(match.hasMatch(), qPrintable(entry));
        (match.captured(1) == QLatin1String(">") ? sent : answers) << match.captured(2);
    }
    QCOMPARE(sent, lines);
    QCOMPARE(answers, QStringList{text("labelAnsw").trimmed()});
}

void tst_MainWindow::queryAnswerReachesTheLabel()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    widget<QDoubleSpinBox>("doubleSpinBoxFreq")->setValue(2345.5);
    click("buttonSetFreq");
    widget<QLineEdit>("editCommandLine")->setText(QStringLiteral("FREQ:CW?"));
    click("sendCommand");
    QVERIFY(QTest::qWaitFor([this] { return !text("labelAnsw").isEmpty(); }, 5000));
    QCOMPARE(text("labelAnsw"), QStringLiteral("2345500000.000\n"));
}

void tst_MainWindow::powerMeasurementFromTheWindow()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStartMeas")->setValue(1000);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStopMeas")->setValue(1200);
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(3);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    click("radioButtonChA");
    click("checkBoxFetchValues");
    click("checkBoxRf");
    widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasure")->setValue(-5);
    followProgress();
    click("buttonMeasurement");
    for (const QString &name : generatorControls + QStringList{"buttonMeasurement", "buttonConnect",
                                                               "buttonConnectPowerMeter"})
        QVERIFY2(!enabled(name), qPrintable(name));
    QVERIFY(enabled("buttonStopMeasure"));
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    for (const QString &name : generatorControls)
        QVERIFY2(enabled(name), qPrintable(name));
    QCOMPARE(text("labelPoints_2"), QStringLiteral("3"));
    QCOMPARE(text("labelStepFreqValue"), QStringLiteral("100"));
    QCOMPARE(text("labelStepFreqValueSpectrumAnalyzer"), QStringLiteral("1"));
    QVERIFY(text("labelPower_2").toDouble() < -5.5 && text("labelPower_2").toDouble() > -7);
    const QString workbook = window->devicesWork()->reportWriter()->workbookPath(QStringLiteral("Table -5 dBm"));
    std::unique_ptr<XlsxDocument> document = XlsxDocument::open(workbook);
    QVERIFY(document);
    QCOMPARE(document->sheet().lastUsedRow(), 3);
    QCOMPARE(progressAtEachPoint.size(), 3);
    for (int point = 1; point <= 3; ++point)
        QVERIFY2(progressAtEachPoint.at(point - 1).startsWith(QStringLiteral("Power measurement: point %1 of 3 · ").arg(point)),
                 qPrintable(progressAtEachPoint.at(point - 1)));
    QCOMPARE(progressValues, (QList<int>{333, 666, 1000}));
    QVERIFY(QRegularExpression(QStringLiteral("^Power measurement finished: 3 points in 0:0\\d$"))
                .match(window->runStatus()->progressText()).hasMatch());
    QVERIFY(!window->runStatus()->progressShown());
    // The plot holds exactly the rows: frequency and reading of each.
    const QMap<QString, QString> rows = WorkbookDump::cells(WorkbookDump::dump(workbook), QStringLiteral("Лист 1"));
    const QVector<QPointF> curve = window->measurementPlot()->curvePoints(QStringLiteral("Reading, -5 dBm"));
    QCOMPARE(window->measurementPlot()->curveTitles(), QStringList{QStringLiteral("Reading, -5 dBm")});
    QCOMPARE(curve.size(), 3);
    for (int row = 1; row <= 3; ++row) {
        QCOMPARE(rows.value(QStringLiteral("A%1").arg(row)), QStringLiteral("n:") + QString::number(curve.at(row - 1).x(), 'g', 15));
        QCOMPARE(rows.value(QStringLiteral("B%1").arg(row)), QStringLiteral("n:") + QString::number(curve.at(row - 1).y(), 'g', 15));
    }
    progressAtEachPoint.clear();

    // One frequency, cycled from 27 dBm in steps of 1: the stop frequency follows the start, and
    // the passes at 27 and 28 dBm go to one workbook (none at 29 dBm, whose next step would reach
    // the 30 dBm ceiling). Its rows carry the point index the sweep left, so the first lands below
    // the new workbook's empty first row.
    click("checkBoxCycle");
    widget<QSpinBox>("spinBoxPowerStep")->setValue(1);
    click("checkBoxCyclePower");
    widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasure")->setValue(27);
    click("buttonMeasurement");
    QCOMPARE(widget<QDoubleSpinBox>("doubleSpinBoxFreqStopMeas")->value(), 1000.0);
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    document = XlsxDocument::open(window->devicesWork()->reportWriter()->workbookPath(QStringLiteral("Table 1000 MHz")));
    QVERIFY(document);
    QCOMPARE(document->sheet().lastUsedRow(), 3);
    QCOMPARE(progressAtEachPoint.size(), 2);
    QVERIFY2(progressAtEachPoint.at(0).startsWith(QStringLiteral("Power measurement: point 1 of 1, pass 1 of 2 · ")), qPrintable(progressAtEachPoint.join(" / ")));
    QVERIFY(progressAtEachPoint.at(1).startsWith(QStringLiteral("Power measurement: point 1 of 1, pass 2 of 2 · ")));
    QVERIFY(window->runStatus()->progressText().startsWith(QLatin1String("Power measurement finished: 2 points in ")));
    QVERIFY(window->runStatus()->progressText().endsWith(QLatin1String(" (2 passes)")));
    QCOMPARE(window->measurementPlot()->curveTitles(),
             QStringList{QStringLiteral("Reading, 1000 MHz")});
}

void tst_MainWindow::stopGivesTheControlsBackAtOnce()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(20000);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return !text("labelPoints_2").isEmpty(); }, 10000));
    click("buttonStopMeasure");
    for (const QString &name : generatorControls + QStringList{"buttonMeasurement", "buttonConnect"})
        QVERIFY2(enabled(name), qPrintable(name));
    QCOMPARE(widget("buttonConnect")->styleSheet(),
             QStringLiteral("color: blue;background-color: orange;selection-color: green;selection-background-color: blue;"));
    // The worker ends the run at its next stop test, with the row of the point in progress.
    QString shown;
    QVERIFY(QTest::qWaitFor([&] {
        const QString now = text("labelPoints_2");
        const bool settled = now == shown;
        shown = now;
        QTest::qWait(200);
        return settled;
    }, 10000));
    QVERIFY(shown.toInt() < 20000);
    QVERIFY2(window->runStatus()->progressText().startsWith(
                 QStringLiteral("Power measurement stopped at point %1 of 20000 after ").arg(shown)),
             qPrintable(window->runStatus()->progressText()));
    std::unique_ptr<XlsxDocument> document =
        XlsxDocument::open(window->devicesWork()->reportWriter()->workbookPath(QStringLiteral("Table 0 dBm")));
    QVERIFY(document);
    QCOMPARE(document->sheet().lastUsedRow(), shown.toInt());
}

void tst_MainWindow::spurMeasurementFromTheWindow()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    // The analyzer alone: the power meter stays disconnected through the run.
    widget<QLineEdit>("editIpSpectrumAnalyzer")->setText(sim.analyzerAddress());
    click("buttonConnectSpectrumAnalyzer");
    QVERIFY(QTest::qWaitFor([this] { return text("buttonConnectSpectrumAnalyzer") == "disconnect"; }, 5000));
    QMutex mutex;
    QList<unsigned long> pauses;
    // The status bar's clock moves by the worker's pauses alone. Before each pause the window
    // takes in all the worker has sent, so that it reads the clock as it stood then; during the
    // analyzer's settling it is read as well.
    std::atomic<qint64> clock{0};
    window->runStatus()->setClock([&clock] { return clock.load(); });
    QStringList whileSettling;
    Pause::setSleepFunction([&](unsigned long ms) {
        {
            QMutexLocker lock(&mutex);
            pauses << ms;
        }
        runInThread(window.get(), [&] {
            if (ms == 7000)
                whileSettling << window->runStatus()->progressText();
        });
        clock += qint64(ms);
    });
    followProgress();
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStartMeasSpectrumAnalyzer")->setValue(1000);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStopMeasSpectrumAnalyzer")->setValue(1010);
    click("radioButtonStepSpectrumAnalyzer");
    widget<QDoubleSpinBox>("doubleSpinBoxStepFreqSpectrumAnalyzer")->setValue(10);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    widget<QSpinBox>("spinBoxDelaySpectrumAnalyzer")->setValue(1234);
    // Cycling from 13 dBm in steps of 1: a second pass at 14 dBm, none at the 15 dBm ceiling.
    click("checkBoxCycle");
    widget<QSpinBox>("spinBoxPowerStep")->setValue(1);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasureSpectrumAnalyzer")->setValue(13);
    widget<QDoubleSpinBox>("doubleSpinBoxDisplayLine")->setValue(60);
    click("checkBoxRf");
    click("buttonMeasurementSpectrumAnalyzer");
    for (const QString &name : generatorControls + QStringList{"buttonConnect", "buttonConnectPowerMeter",
                                                               "buttonConnectSpectrumAnalyzer",
                                                               "buttonMeasurementSpectrumAnalyzer"})
        QVERIFY2(!enabled(name), qPrintable(name));
    QVERIFY(enabled("buttonStopMeasureSpectrumAnalyzer"));
    // The end of the run gives the generator controls back, not the analyzer's own buttons.
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonSetFreq"); }, 30000));
    Pause::setSleepFunction([](unsigned long) {});
    QCOMPARE(text("labelPointsSpurs"), QStringLiteral("2"));
    // The analyzer tab shows the count its step gives; the power meter tab keeps its own.
    QCOMPARE(text("labelPointCountValueSpectrumAnalyzer"), QStringLiteral("2"));
    QCOMPARE(text("labelPointCountValue"), QStringLiteral("2185"));
    // The settling at each pass's first point is said as such and left out of the time per
    // point; the estimate adds it once for each pass to come.
    QCOMPARE(whileSettling,
             (QStringList{"Spur measurement: adjusting the analyzer…, pass 1 of 2 · 0:00 elapsed",
                          "Spur measurement: adjusting the analyzer…, pass 2 of 2 · 0:08 elapsed · about 0:08 left"}));
    QCOMPARE(progressAtEachPoint,
             (QStringList{"Spur measurement: point 1 of 2, pass 1 of 2 · 0:07 elapsed · about 0:07 left",
                          "Spur measurement: point 2 of 2, pass 1 of 2 · 0:08 elapsed · about 0:08 left",
                          "Spur measurement: point 1 of 2, pass 2 of 2 · 0:15 elapsed · about 0:00 left",
                          "Spur measurement: point 2 of 2, pass 2 of 2 · 0:16 elapsed · about 0:00 left"}));
    QCOMPARE(window->runStatus()->progressText(), QStringLiteral("Spur measurement finished: 4 points in 0:16 (2 passes)"));
    QVERIFY(text("labelMinSpur").startsWith(QLatin1String("Min spur = ")));
    QVERIFY(!text("labelCountSpurs").isEmpty());
    QCOMPARE(widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasure")->value(), 14.0);
    QCOMPARE(pauses.count(1234), 2);
    QVERIFY(!enabled("buttonMeasurementSpectrumAnalyzer"));
    QVERIFY(!enabled("buttonConnectSpectrumAnalyzer"));
    QVERIFY(enabled("buttonConnectPowerMeter"));
    QVERIFY(!enabled("buttonMeasurement"));
    QCOMPARE(widget("buttonMeasurement")->styleSheet(), QString());
    click("buttonStopMeasureSpectrumAnalyzer");
    QVERIFY(enabled("buttonMeasurementSpectrumAnalyzer") && enabled("buttonConnectSpectrumAnalyzer"));
    ExcelWorker *writer = window->devicesWork()->reportWriter();
    for (const char *name : {"Table spur", "Table spur 14 dBm"}) {
        std::unique_ptr<XlsxDocument> document = XlsxDocument::open(writer->workbookPath(QLatin1String(name)));
        QVERIFY2(document, name);
        QCOMPARE(document->sheet().lastUsedRow(), 6);
    }
    QVERIFY(!QFile::exists(writer->workbookPath(QStringLiteral("Table spur 15 dBm"))));
    // The plot holds the rows of both passes: carrier level, and the strongest spur as the level
    // difference of the rows.
    MeasurementPlot *plot = window->measurementPlot();
    for (const QString &power : {QStringLiteral("13"), QStringLiteral("14")}) {
        const QString workbook = power == QLatin1String("13") ? QStringLiteral("Table spur") : QStringLiteral("Table spur 14 dBm");
        const QMap<QString, QString> rows = WorkbookDump::cells(WorkbookDump::dump(writer->workbookPath(workbook)),
                                                                QStringLiteral("Лист 1"));
        const QVector<QPointF> carrier = plot->curvePoints(QStringLiteral("Carrier, %1 dBm").arg(power));
        const QVector<QPointF> spur = plot->curvePoints(QStringLiteral("Strongest spur, %1 dBm").arg(power));
        QCOMPARE(carrier.size(), 2);
        QCOMPARE(spur.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(rows.value(QStringLiteral("B%1").arg(5 + i)), QStringLiteral("n:") + QString::number(carrier.at(i).y(), 'g', 15));
            QCOMPARE(rows.value(QStringLiteral("R%1").arg(5 + i)), QStringLiteral("s:") + QString::number(-spur.at(i).y(), 'g', 6));
        }
    }
}

void tst_MainWindow::warningAtTheStartOfARun_data()
{
    QTest::addColumn<bool>("spur");
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("command"); // typed into the command line before the run
    QTest::addColumn<QStringList>("warnings");
    const QString rfOff = QStringLiteral("RF output is off: readings are noise");
    // The synthesizer may have been switched on before the program started: not said to be off.
    const QString rfUnknown = QStringLiteral("RF output not switched on by this program — check the synthesizer");
    const QString noChannel = QStringLiteral("No channel chosen: channel B is read");
    QTest::newRow("power, RF as at start, no channel")
        << false << QStringList{} << QString() << QStringList{rfUnknown, noChannel};
    QTest::newRow("power, RF switched on, channel B")
        << false << QStringList{"checkBoxRf", "radioButtonChB"} << QString() << QStringList{};
    QTest::newRow("power, RF switched on and off, channel A")
        << false << QStringList{"checkBoxRf", "checkBoxRf", "radioButtonChA"} << QString() << QStringList{rfOff};
    // The sweep's start switches RF on without the check box.
    QTest::newRow("power, RF on by a sweep's start")
        << false << QStringList{"buttonSweepFreqStart", "buttonSweepFreqStop", "radioButtonChA"} << QString()
        << QStringList{};
    QTest::newRow("power, RF off by hand in the command line")
        << false << QStringList{"checkBoxRf", "radioButtonChA"} << "OUTP OFF" << QStringList{rfOff};
    QTest::newRow("power, RF on by hand in the command line")
        << false << QStringList{"radioButtonChA"} << ":outp:stat on" << QStringList{};
    QTest::newRow("spur, RF as at start") << true << QStringList{} << QString() << QStringList{rfUnknown};
    QTest::newRow("spur, RF switched on and off") << true << QStringList{"checkBoxRf", "checkBoxRf"} << QString()
                                                  << QStringList{rfOff};
    QTest::newRow("spur, RF switched on") << true << QStringList{"checkBoxRf"} << QString() << QStringList{};
}

void tst_MainWindow::warningAtTheStartOfARun()
{
    QFETCH(bool, spur);
    QFETCH(QStringList, clicks);
    QFETCH(QString, command);
    QFETCH(QStringList, warnings);
    BenchSimProcess sim({QStringLiteral("--verbose")});
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    for (const QString &name : clicks)
        click(name);
    if (!command.isEmpty()) {
        widget<QLineEdit>("editCommandLine")->setText(command);
        click("sendCommand");
    }
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(2);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    widget<QSpinBox>("spinBoxPointsFreqSpectrumAnalyzer")->setValue(2);
    widget<QSpinBox>("spinBoxDelaySpectrumAnalyzer")->setValue(0);
    // The status bar's warning as it stood at the pass's start and at each point (a spur run
    // with RF off finds no carrier and measures none).
    QStringList shown;
    const auto follow = [&] { shown << window->runStatus()->warningText(); };
    connect(window->devicesWork(), &DevicesWork::passStarted, this, follow);
    connect(window->devicesWork(), &DevicesWork::pointMeasured, this, follow);
    syncWorker();
    const int sentBefore = sim.receivedLines(QStringLiteral("synthesizer")).size();
    click(spur ? "buttonMeasurementSpectrumAnalyzer" : "buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return !window->runStatus()->isRunning() && enabled("buttonSetFreq"); }, 30000));
    // Red through the run, then repeated by the summary; the run itself measures as asked.
    QVERIFY(!shown.isEmpty());
    for (const QString &warning : shown)
        QCOMPARE(warning, warnings.join(QStringLiteral(" · ")));
    QCOMPARE(window->runStatus()->warningText(), QString());
    const QString summary = window->runStatus()->progressText();
    QVERIFY2(summary.startsWith(spur ? QLatin1String("Spur measurement ") : QLatin1String("Power measurement ")),
             qPrintable(summary));
    QVERIFY2(warnings.isEmpty() ? !summary.contains(QLatin1String("RF output"))
                                : summary.contains(QRegularExpression("^[^;]*; " + QRegularExpression::escape(warnings.join("; ")) + "(;|$)")),
             qPrintable(summary));
    const QStringList run = sim.receivedLines(QStringLiteral("synthesizer")).mid(sentBefore);
    QVERIFY2(!run.isEmpty() && run.filter(QStringLiteral("OUTP"), Qt::CaseInsensitive).isEmpty(), qPrintable(run.join(" | ")));
}

void tst_MainWindow::pointsStepAndCycleChoices_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("hidden");
    const QStringList powerPoints{"spinBoxPointsFreq", "labelPoints", "labelStepFreqValue"};
    const QStringList powerStep{"doubleSpinBoxStepFreq", "labelPointCountValue"};
    const QStringList analyzerPoints{"spinBoxPointsFreqSpectrumAnalyzer", "labelPointsSpectrumAnalyzer",
                                     "labelStepFreqValueSpectrumAnalyzer"};
    const QStringList analyzerStep{"doubleSpinBoxStepFreqSpectrumAnalyzer", "labelPointCountValueSpectrumAnalyzer"};
    const QStringList cycle{"spinBoxPowerStep", "labelCyclePower", "checkBoxCyclePower"};
    QTest::newRow("power meter: step") << QStringList{"radioButtonStep"} << powerStep << powerPoints;
    QTest::newRow("power meter: step, then points")
        << QStringList{"radioButtonStep", "radioButtonPoints"} << powerPoints << powerStep;
    QTest::newRow("analyzer: step") << QStringList{"radioButtonStepSpectrumAnalyzer"} << analyzerStep
                                    << analyzerPoints;
    QTest::newRow("analyzer: step, then points")
        << QStringList{"radioButtonStepSpectrumAnalyzer", "radioButtonPointsSpectrumAnalyzer"} << analyzerPoints
        << analyzerStep;
    QTest::newRow("cycle on") << QStringList{"checkBoxCycle"} << cycle << QStringList{};
    QTest::newRow("cycle on and off") << QStringList{"checkBoxCycle", "checkBoxCycle"} << QStringList{} << cycle;
}

void tst_MainWindow::pointsStepAndCycleChoices()
{
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, hidden);
    for (const QString &name : clicks)
        click(name);
    for (const QString &name : shown)
        QVERIFY2(!widget(name)->isHidden(), qPrintable(name));
    for (const QString &name : hidden)
        QVERIFY2(widget(name)->isHidden(), qPrintable(name));
}

void tst_MainWindow::narrowRangeIsRefused()
{
    // 4 points over 1 MHz: a whole-MHz step of 0, every point at 1000 MHz.
    for (const QString &tab : {QString(), QStringLiteral("SpectrumAnalyzer")}) {
        widget<QDoubleSpinBox>("doubleSpinBoxFreqStartMeas" + tab)->setValue(1000);
        widget<QDoubleSpinBox>("doubleSpinBoxFreqStopMeas" + tab)->setValue(1001);
        widget<QSpinBox>("spinBoxPointsFreq" + tab)->setValue(4);
    }
    const QString why = QStringLiteral("1000 to 1001 MHz is too narrow for 4 points");
    QueuedSpy started(window->devicesWork(), &DevicesWork::runStarted);
    for (const char *start : {"on_buttonMeasurement_clicked", "on_buttonMeasurementSpectrumAnalyzer_clicked"}) {
        window->statusBar()->clearMessage();
        QVERIFY(QMetaObject::invokeMethod(window.get(), start));
        QVERIFY2(window->statusBar()->currentMessage().startsWith("Measurement not started: " + why),
                 qPrintable(window->statusBar()->currentMessage()));
    }
    // Nor does a stopped run with that grid go on, which the next start would otherwise take up.
    RunStart stopped;
    stopped.started = QDateTime::currentDateTime();
    stopped.setup = R"({"format": 1, "kind": "power", "start": 1000, "stop": 1001, "points": 4})";
    const auto store = SqliteStore::open(DataLocation::current().storeFile, SqliteStore::Mode::Write, nullptr);
    const qint64 run = store->beginRun(stopped);
    store->endRun(run, QStringLiteral("stopped"), QDateTime::currentDateTime());
    QVERIFY2(window->resumeRun(run).startsWith(why), qPrintable(window->resumeRun(run)));
    syncWorker();
    QCOMPARE(started.size(), 0);
}

void tst_MainWindow::hidDevicesFillTheList()
{
    click("radioUsbHid");
    auto *list = widget<QComboBox>("comboBoxUsbHid");
    const int before = list->count();
    // A device without a name reaches the window as a null text and is left out.
    for (const QString &name : {QStringLiteral("Gen 42"), QString(), QStringLiteral("Gen 43")})
        QVERIFY(QMetaObject::invokeMethod(window.get(), "editTextComboBox", Q_ARG(QString, name)));
    QCOMPARE(list->count(), before + 2);
    QCOMPARE(list->itemText(before), QStringLiteral("Gen 42"));
    QCOMPARE(list->itemText(before + 1), QStringLiteral("Gen 43"));
}

void tst_MainWindow::rowsThatCannotBeSavedAreShownUntilSaved()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    // A report folder on a stick that has been pulled out.
    const QString stick = reports.filePath(QStringLiteral("stick"));
    ExcelWorker *writer = window->devicesWork()->reportWriter();
    writer->setDirectory(stick);
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(2);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasure")->setValue(-5);
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    QLabel *notice = widget<QLabel>("labelStorageNotice");
    QVERIFY(QTest::qWaitFor([notice] { return !notice->isHidden(); }, 5000));
    QCOMPARE(notice->text(), QStringLiteral("Not saved: 2 rows for “Table -5 dBm.xlsx” (folder not found)"));
    QVERIFY(window->statusBar()->isAncestorOf(notice));

    // The stick is back: closing tries once more, saves both rows and asks nothing.
    QVERIFY(QDir().mkpath(stick));
    QVERIFY(window->close());
    QVERIFY(notice->isHidden());
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("2 rows saved to “Table -5 dBm.xlsx”; none waits any more."));
    std::unique_ptr<XlsxDocument> document = XlsxDocument::open(writer->workbookPath(QStringLiteral("Table -5 dBm")));
    QVERIFY(document);
    QCOMPARE(document->sheet().lastUsedRow(), 2);
}

void tst_MainWindow::cancelledCloseLeavesTheRunGoing()
{
    BenchSimProcess sim({QStringLiteral("--verbose")});
    QVERIFY(sim.isReady());
    QVERIFY(startRunWithRowsWaiting(sim));
    answerQuestionsWith(QStringLiteral("Cancel"));
    QVERIFY(!window->close());
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions.first().endsWith(QLatin1String("Either answer stops the running measurement first.")),
             qPrintable(questions.first()));
    QCoreApplication::processEvents();
    const int answeredAt = text("labelPoints_2").toInt();
    QVERIFY(QTest::qWaitFor([&] { return text("labelPoints_2").toInt() > answeredAt + 10; }, 10000));
    QVERIFY(window->runStatus()->progressShown());
    // The buttons still reach the worker: Stop ends the run, and a new frequency goes out.
    click("buttonStopMeasure");
    QVERIFY(QTest::qWaitFor([this] { return !window->runStatus()->progressShown(); }, 10000));
    QVERIFY2(window->runStatus()->progressText().startsWith(QLatin1String("Power measurement stopped at point ")),
             qPrintable(window->runStatus()->progressText()));
    widget<QDoubleSpinBox>("doubleSpinBoxFreq")->setValue(4321.5);
    click("buttonSetFreq");
    QVERIFY(QTest::qWaitFor([&] {
        return sim.receivedLines(QStringLiteral("synthesizer")).endsWith(QStringLiteral("FREQ:CW 4321.50000000 MHz"));
    }, 5000));
}

void tst_MainWindow::discardedRowsAreCountedAfterTheRunStopped()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(startRunWithRowsWaiting(sim));
    answerQuestionsWith(QStringLiteral("Discard"));
    QVERIFY(window->close());
    // The run ended before the rows went: none waits and none comes after. The last question
    // counted every row that went, one for each point measured.
    QVERIFY(window->devicesWork()->waitingReportRows().isEmpty());
    QCoreApplication::processEvents();
    QVERIFY(!window->runStatus()->progressShown());
    QVERIFY(window->devicesWork()->waitingReportRows().isEmpty());
    QVERIFY(!questions.isEmpty());
    QVERIFY(questions.first().endsWith(QLatin1String("Either answer stops the running measurement first.")));
    QVERIFY2(questions.last().startsWith(text("labelPoints_2") + QStringLiteral(" measured rows could not be saved")),
             qPrintable(text("labelPoints_2") + QStringLiteral(" / ") + questions.last()));
}

void tst_MainWindow::silentPowerMeterShowsItsTrouble()
{
    BenchSimProcess sim({QStringLiteral("--powermeter-silent")});
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(2);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    QCOMPARE(window->runStatus()->troubleText(),
             QStringLiteral("Power meter: no answer to FETC2? — 2 times in this run"));
    QVERIFY2(window->runStatus()->progressText().endsWith(QLatin1String("; Power meter: 2 troubles")),
             qPrintable(window->runStatus()->progressText()));
}

void tst_MainWindow::troubleInTheStatusBar_data()
{
    QTest::addColumn<QString>("instrument");
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("lastAfterTheRun");
    QTest::addColumn<QString>("shown");
    QTest::newRow("once") << "Power meter" << "no answer to FETC2?" << 1 << false
                          << "Power meter: no answer to FETC2?";
    QTest::newRow("twice in a run") << "Power meter" << "no answer to FETC2?" << 2 << false
                                    << "Power meter: no answer to FETC2? — 2 times in this run";
    QTest::newRow("again after the run") << "Synthesizer" << "connection lost" << 3 << true
                                         << "Synthesizer: connection lost — 3 times since the last run";
    const QString percent = QStringLiteral("answer “%1 dBm” to CALC:MARK:Y? is not a number");
    QTest::newRow("answer holding %1") << "Spectrum analyzer" << percent << 1 << false
                                       << "Spectrum analyzer: " + percent;
    QTest::newRow("answer holding %1, twice") << "Spectrum analyzer" << percent << 2 << false
                                              << "Spectrum analyzer: " + percent + " — 2 times in this run";
    QTest::newRow("answer holding %2 %1 %3") << "Power meter" << "answer “%2 %1 %3” to FETC? is not a number" << 2
                                             << true
                                             << "Power meter: answer “%2 %1 %3” to FETC? is not a number — 2 times "
                                                "since the last run";
}

void tst_MainWindow::troubleInTheStatusBar()
{
    QFETCH(QString, instrument);
    QFETCH(QString, trouble);
    QFETCH(int, times);
    QFETCH(bool, lastAfterTheRun);
    QFETCH(QString, shown);
    RunStatus *status = window->runStatus();
    status->runStarted(QStringLiteral("Power measurement"), 2, 1);
    for (int time = 1; time < times; ++time)
        status->instrumentTrouble(instrument, trouble);
    if (lastAfterTheRun)
        status->runEnded(false);
    status->instrumentTrouble(instrument, trouble);
    QCOMPARE(status->troubleText(), shown);
    QCOMPARE(window->findChild<QLabel *>(QStringLiteral("labelInstrumentTrouble"))->toolTip(),
             instrument + QStringLiteral(": ") + trouble);
}

void tst_MainWindow::dataLocation_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<bool>("applicationDirOwn");
    QTest::addColumn<QString>("workbooks");
    QTest::addColumn<QString>("settings");
    // The folder given to this process (relative ones from the temporary folder) and what is
    // wrong with it; an empty problem: workbooks go there.
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("problem");
    QTest::newRow("portable copy") << QString() << true << "/opt/bench" << "/opt/bench/settings.ini" << QString()
                                   << QString();
    QTest::newRow("installed copy") << QString() << false << "/home/op/Documents/rfbench"
                                    << "/home/op/.config/rfbench/settings.ini" << QString() << QString();
    QTest::newRow("--data-dir") << "/srv/results/bench 2/" << false << "/srv/results/bench 2"
                                << "/srv/results/bench 2/settings.ini" << reports.filePath(QStringLiteral("share/bench"))
                                << QString();
    QTest::newRow("relative --data-dir") << "results/bench" << false << "/home/op/lab/results/bench"
                                         << "/home/op/lab/results/bench/settings.ini" << "results/bench" << QString();
    const QString underAFile = reports.filePath(QStringLiteral("notes.txt/bench"));
    QTest::newRow("--data-dir that cannot be created")
        << underAFile << false << underAFile << underAFile + "/settings.ini" << underAFile
        << "the folder " + underAFile + " cannot be created";
    // Not even root creates files in a process's /proc folder.
    if (QFileInfo(QStringLiteral("/proc/self")).isDir())
        QTest::newRow("--data-dir without write access")
            << "/proc/self" << false << "/proc/self" << "/proc/self/settings.ini" << "/proc/self"
            << "no file can be created in the folder /proc/self";
}

void tst_MainWindow::dataLocation()
{
    QFETCH(QString, option);
    QFETCH(bool, applicationDirOwn);
    QFETCH(QString, workbooks);
    QFETCH(QString, settings);
    QFETCH(QString, given);
    QFETCH(QString, problem);
    const DataLocation location = DataLocation::choose(option, QStringLiteral("/home/op/lab"),
                                                       QStringLiteral("/opt/bench"), applicationDirOwn,
                                                       QStringLiteral("/home/op/Documents"),
                                                       QStringLiteral("/home/op/.config/rfbench"));
    QCOMPARE(location.workbookFolder, workbooks);
    QCOMPARE(location.settingsFile, settings);
    QCOMPARE(location.perUser, option.isEmpty() && !applicationDirOwn);
    if (given.isEmpty())
        return;
    // The process's own choice makes the folder absolute and creates it; the window writes
    // there, or says why it cannot.
    const QString working = QDir::currentPath();
    QVERIFY(QDir::setCurrent(reports.path()));
    const DataLocation chosen = DataLocation::forThisProcess(given);
    QVERIFY(QDir::setCurrent(working));
    const QString folder = QDir::cleanPath(QDir(reports.path()).absoluteFilePath(given));
    QCOMPARE(chosen.workbookFolder, folder);
    QCOMPARE(chosen.problem, problem);
    DataLocation::setCurrent(chosen);
    window = std::make_unique<MainWindow>();
    DataLocation::setCurrent(
        DataLocation::choose(QString(), QString(), QCoreApplication::applicationDirPath(), true, QString(), QString()));
    if (problem.isEmpty()) {
        QVERIFY(QFileInfo(folder).isDir());
        syncWorker();
        QCOMPARE(window->devicesWork()->reportWriter()->workbookPath(QStringLiteral("Table spur")),
                 QDir::toNativeSeparators(folder + QStringLiteral("/Table spur.xlsx")));
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Workbooks are written to ") + folder);
        return;
    }
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Workbooks cannot be saved: ") + problem);
    // The program itself says so and ends at once, with the code of a trace file it cannot write:
    // that of "rfbench run" that could not be started.
    QString errors;
    const int exitCode = runProgram({QStringLiteral("--data-dir"), given}, errors);
    QVERIFY2(errors.contains(problem), qPrintable(errors));
    QString traceErrors;
    const int traceExitCode = runProgram({QStringLiteral("--data-dir"), reports.path(), QStringLiteral("--trace"),
                                          reports.filePath(QStringLiteral("notes.txt/trace.log"))},
                                         traceErrors);
    QVERIFY2(traceErrors.contains(QLatin1String("cannot be written")), qPrintable(traceErrors));
    QCOMPARE(traceExitCode, 1);
    QCOMPARE(exitCode, traceExitCode);
}

namespace {

// Every field of the form, as the settings file would keep it.
QMap<QString, QString> formFields(QWidget *form, const QString &iniPath)
{
    QFile::remove(iniPath);
    {
        QSettings settings(iniPath, QSettings::IniFormat);
        SetupForm::save(form, settings);
    }
    QSettings settings(iniPath, QSettings::IniFormat);
    QMap<QString, QString> fields;
    for (const QString &key : settings.allKeys())
        fields.insert(key, settings.value(key).toString());
    fields.insert(QStringLiteral("editIpPowerMeter"), form->findChild<QLineEdit *>("editIpPowerMeter")->text());
    return fields;
}

QMap<QString, QString> workbookCells(const QString &path)
{
    return WorkbookDump::cells(WorkbookDump::dump(path), QStringLiteral("Лист 1"));
}

} // namespace

void tst_MainWindow::setupsKeptSharedAndRunWithoutTheWindow()
{
    BenchSimProcess sim({QStringLiteral("--verbose")});
    QVERIFY(sim.isReady());
    QTemporaryDir folder;
    const QString ini = folder.filePath(QStringLiteral("fields.ini"));
    widget<QLineEdit>("editIpLine")->setText(sim.synthAddress());
    widget<QLineEdit>("editIpPowerMeter")->setText(sim.powerMeterAddress());
    widget<QLineEdit>("editIpSpectrumAnalyzer")->setText(sim.analyzerAddress());
    click("radioButtonChA");
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStartMeas")->setValue(1000);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStopMeas")->setValue(1100);
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(5);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasure")->setValue(-3.5);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    click("radioButtonKvd4471B");
    click("radioButtonStepSpectrumAnalyzer");
    widget<QDoubleSpinBox>("doubleSpinBoxStepFreqSpectrumAnalyzer")->setValue(2.5);
    widget<QDoubleSpinBox>("doubleSpinBoxSpan")->setValue(12.5);
    widget<QDoubleSpinBox>("doubleSpinBoxDisplayLine")->setValue(60);
    widget<QDoubleSpinBox>("doubleSpinBoxFreq")->setValue(1234.5);
    const QString setupPath = folder.filePath(QStringLiteral("bench.json"));
    QCOMPARE(window->saveSetup(setupPath), QString());
    const QMap<QString, QString> saved = formFields(window.get(), ini);

    // A restart brings every field back from the settings file.
    window.reset();
    window = std::make_unique<MainWindow>();
    QCOMPARE(formFields(window.get(), ini), saved);

    // A fresh form: a broken setup changes nothing and says why; the saved one gives the form back.
    QFile::remove(settingsPath());
    window.reset();
    window = std::make_unique<MainWindow>();
    const QMap<QString, QString> fresh = formFields(window.get(), ini);
    QFile broken(folder.filePath(QStringLiteral("broken.json")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    QFile original(setupPath);
    QVERIFY(original.open(QIODevice::ReadOnly));
    broken.write(original.readAll().replace("\"delay\": 0", "\"delay\": -1"));
    broken.close();
    QVERIFY2(window->openSetup(broken.fileName()).contains(QStringLiteral("measurements[0].delay: -1 is out of range")),
             qPrintable(window->statusBar()->currentMessage()));
    QCOMPARE(formFields(window.get(), ini), fresh);
    QCOMPARE(window->openSetup(setupPath), QString());
    QMap<QString, QString> opened = formFields(window.get(), ini);
    opened.insert(QStringLiteral("Form/doubleSpinBoxFreq"), saved.value(QStringLiteral("Form/doubleSpinBoxFreq")));
    QCOMPARE(opened, saved);

    // The same setup run from the window and by rfbench run: the same bytes, the same rows.
    runInThread(window->devicesWork(), [this, &folder] {
        window->devicesWork()->reportWriter()->setDirectory(folder.filePath(QStringLiteral("window")));
    });
    QDir(folder.path()).mkpath(QStringLiteral("window"));
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));

    BenchSimProcess headlessSim({QStringLiteral("--verbose")});
    QVERIFY(headlessSim.isReady());
    QProcess headless;
    headless.start(QStringLiteral(RFBENCH_PATH),
                   {QStringLiteral("run"), setupPath, QStringLiteral("--data-dir"), folder.filePath(QStringLiteral("headless")),
                    QStringLiteral("--set"), QStringLiteral("synthesizer.address=") + headlessSim.synthAddress(),
                    QStringLiteral("--set"), QStringLiteral("powerMeter.address=") + headlessSim.powerMeterAddress()});
    QVERIFY(headless.waitForFinished(60000));
    QVERIFY2(headless.exitCode() == 0, headless.readAllStandardError().constData());
    for (const char *instrument : {"synthesizer", "power meter", "spectrum analyzer"})
        QCOMPARE(headlessSim.receivedLines(QLatin1String(instrument)), sim.receivedLines(QLatin1String(instrument)));
    const QMap<QString, QString> rows = workbookCells(folder.filePath(QStringLiteral("window/Table -3.5 dBm.xlsx")));
    QCOMPARE(rows.value(QStringLiteral("A5")), QStringLiteral("n:1100"));
    QCOMPARE(workbookCells(folder.filePath(QStringLiteral("headless/Table -3.5 dBm.xlsx"))), rows);
}

void tst_MainWindow::windowAndScriptOnOneDataFolder()
{
    // The window measures while rfbench run measures into the same data folder, store and
    // workbook: each point on record once, each row in the workbook once, at its point's place.
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStartMeas")->setValue(1000);
    widget<QDoubleSpinBox>("doubleSpinBoxFreqStopMeas")->setValue(1119);
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(120);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    widget<QDoubleSpinBox>("doubleSpinBoxAmplMeasure")->setValue(-5);
    click("radioButtonChA");
    QTemporaryDir folder;
    const QString setupPath = folder.filePath(QStringLiteral("bench.json"));
    QCOMPARE(window->saveSetup(setupPath), QString());
    runInThread(window->devicesWork(), [this, &folder] { window->devicesWork()->reportWriter()->setDirectory(folder.path()); });
    const QString store = DataLocation::current().storeFile;
    QProcess script;
    script.start(QStringLiteral(RFBENCH_PATH), {QStringLiteral("run"), setupPath, QStringLiteral("--data-dir"),
                                                folder.path(), QStringLiteral("--store"), store});
    QVERIFY(script.waitForStarted());
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 120000));
    QVERIFY2(script.waitForFinished(120000), script.readAllStandardError().constData());
    QVERIFY2(script.exitCode() == 0, script.readAllStandardError().constData());
    runInThread(window->devicesWork(), [this] { window->devicesWork()->recordReportRows(); });

    const QMap<QString, QString> cells = workbookCells(folder.filePath(QStringLiteral("Table -5 dBm.xlsx")));
    const auto reader = SqliteStore::open(store, SqliteStore::Mode::Read, nullptr);
    const QList<RunSummary> runs = reader->runs(RunFilter());
    QCOMPARE(runs.size(), 2);
    QSet<int> rows;
    for (const RunSummary &run : runs) {
        QCOMPARE(run.outcome, QStringLiteral("finished"));
        const QList<StoredPoint> points = reader->points(run.id);
        QCOMPARE(points.size(), 120);
        for (const StoredPoint &point : points) {
            QVERIFY(point.inWorkbook);
            QVERIFY(!rows.contains(point.placedRow));
            rows << point.placedRow;
            QCOMPARE(cells.value(QStringLiteral("A%1").arg(point.placedRow)), QStringLiteral("n:%1").arg(point.values.at(0)));
        }
    }
    int filled = 0;
    for (auto it = cells.cbegin(); it != cells.cend(); ++it)
        filled += it.key().startsWith(QLatin1Char('A')) && !it.value().isEmpty() ? 1 : 0;
    QCOMPARE(filled, 240);
}

void tst_MainWindow::savedSetupKeepsWhatWasOpened_data()
{
    QTest::addColumn<QStringList>("earlier"); // the form's fields before the setup is opened
    QTest::addColumn<QByteArray>("opened");
    QTest::addColumn<QStringList>("edits");    // after it was opened
    QTest::addColumn<QByteArray>("expected");  // empty: the setup opened, as JSON

    const QStringList earlier{"spinBoxPointsFreqSpectrumAnalyzer=77", "doubleSpinBoxStepFreq=3.5",
                              "doubleSpinBoxStepFreqSpectrumAnalyzer=0.25", "editIpSpectrumAnalyzer=10.0.0.9",
                              "click:checkBoxCycle", "spinBoxPowerStep=4"};
    const QByteArray instruments = R"("synthesizer": {"transport": "lan", "address": "127.0.0.1"},
  "powerMeter": {"address": "127.0.0.2", "channel": "A"},)";
    const QByteArray powerAndSpur = "{\"format\": 1, " + instruments + R"(
  "analyzer": {"address": "127.0.0.3", "model": "kvd4471b"},
  "measurements": [
    {"kind": "power", "start": 1000, "stop": 1100, "points": 6, "power": -5, "delay": 0},
    {"kind": "spur", "start": 9000, "stop": 9100, "grid": "step", "step": 0.5, "cycle": true, "powerStep": 3}
  ]})";
    const QByteArray twoPower = "{\"format\": 1, " + instruments + R"(
  "measurements": [
    {"kind": "power", "start": 1000, "stop": 1100, "points": 6, "power": -5, "delay": 0, "fetchValues": false},
    {"kind": "power", "start": 2000, "stop": 2000, "points": 1, "power": 5, "cycle": true, "powerStep": 10}
  ]})";
    const QByteArray onePower = "{\"format\": 1, " + instruments + R"(
  "kind": "power", "start": 1000, "stop": 1100, "points": 6})";

    const QByteArray judged = "{\"format\": 1, " + instruments + R"(
  "unit": {"serialPattern": "^SN[0-9]{4}$", "required": true},
  "kind": "power", "start": 1000, "stop": 1100, "points": 6,
  "limits": {"upper": [[1000, 1], [1100, 1]], "lower": [[1000, -3], [1100, -3]], "relativeTo": "output", "margin": 0.5}})";

    QTest::newRow("power and spur, unchanged") << earlier << powerAndSpur << QStringList{} << QByteArray();
    QTest::newRow("power and spur, the spur tab looked at") << earlier << powerAndSpur << QStringList{"tab=1"}
                                                            << QByteArray();
    QTest::newRow("two power measurements, no analyzer, unchanged")
        << earlier << twoPower << QStringList{"tab=1", "tab=0"} << QByteArray();
    QTest::newRow("power and spur, one field edited on each tab")
        << earlier << powerAndSpur << QStringList{"spinBoxPointsFreq=7", "tab=1", "doubleSpinBoxSpan=20"}
        << QByteArray(powerAndSpur).replace("\"points\": 6", "\"points\": 7").replace("\"powerStep\": 3",
                                                                                    "\"powerStep\": 3, \"span\": 20");
    QTest::newRow("two power measurements, the first edited, an analyzer typed in")
        << earlier << twoPower << QStringList{"doubleSpinBoxAmplMeasure=-7", "editIpSpectrumAnalyzer=127.0.0.4"}
        << QByteArray(twoPower).replace("\"power\": -5", "\"power\": -7")
               .replace("\"measurements\"", "\"analyzer\": {\"address\": \"127.0.0.4\", \"model\": \"rs\"}, \"measurements\"");
    QTest::newRow("limits and the unit's rules, a field edited")
        << earlier << judged << QStringList{"doubleSpinBoxAmplMeasure=-2"}
        << QByteArray(judged).replace("\"points\": 6", "\"points\": 6, \"power\": -2");
    QTest::newRow("limits cleared, the unit's rules kept")
        << earlier << judged << QStringList{"click:buttonClearLimitsPowerMeter"}
        << QByteArray(judged).replace(QByteArray(judged).mid(judged.indexOf(",\n  \"limits\""), judged.lastIndexOf('}') - judged.indexOf(",\n  \"limits\"")), "");
    const QByteArray corrected = QByteArray(onePower).replace(
        "\"kind\"", R"("corrections": {"powerMeter": {"A": "path.csv"}, "analyzer": [[900, 1], [9200, 2.5]], "enforceDue": true}, "kind")");
    QTest::newRow("corrections, unchanged") << QStringList{} << corrected << QStringList{"tab=1", "tab=0"} << QByteArray();
    QTest::newRow("corrections, a field edited")
        << QStringList{} << corrected << QStringList{"spinBoxPointsFreq=7"}
        << QByteArray(corrected).replace("\"points\": 6", "\"points\": 7");
    // A single measurement: the tab shown is the one that runs, as in a form never opened.
    QTest::newRow("one power measurement, the spur tab chosen")
        << QStringList{} << onePower << QStringList{"tab=1"}
        << QByteArray(onePower).replace("\"kind\": \"power\", \"start\": 1000, \"stop\": 1100, \"points\": 6",
                                        "\"measurements\": [{\"kind\": \"power\", \"run\": false, \"start\": 1000, "
                                        "\"stop\": 1100, \"points\": 6}, {\"kind\": \"spur\"}]");
}

void tst_MainWindow::savedSetupKeepsWhatWasOpened()
{
    QFETCH(QStringList, earlier);
    QFETCH(QByteArray, opened);
    QFETCH(QStringList, edits);
    QFETCH(QByteArray, expected);
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("opened.json")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(opened) == opened.size());
    file.close();
    QFile table(folder.filePath(QStringLiteral("path.csv")));
    QVERIFY(table.open(QIODevice::WriteOnly) && table.write("frequency_mhz,loss_db\n900,1\n9200,2\n") > 0);
    table.close();
    edit(earlier);
    QCOMPARE(window->openSetup(file.fileName()), QString());
    edit(edits);
    const QString savedPath = folder.filePath(QStringLiteral("saved.json"));
    QCOMPARE(window->saveSetup(savedPath), QString());
    QFile saved(savedPath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray bytes = saved.readAll();
    if (expected.isEmpty()) {
        QCOMPARE(QJsonDocument::fromJson(bytes), QJsonDocument::fromJson(opened));
    } else {
        const SetupFile::Result read = SetupFile::read(bytes, savedPath);
        const SetupFile::Result wanted = SetupFile::read(expected, QStringLiteral("expected"));
        QVERIFY2(read.ok() && wanted.ok(), qPrintable(read.error + wanted.error));
        QCOMPARE(SetupFile::write(read.setup), SetupFile::write(wanted.setup));
    }
}

void tst_MainWindow::judgedRunFromASetup_data()
{
    QTest::addColumn<QByteArray>("keys");   // of the setup opened, beside its power measurement
    QTest::addColumn<QStringList>("edits"); // after it was opened; "scan:<serial>" types it and Enter into the Unit field
    QTest::addColumn<QString>("refused");   // why the start is refused ("open: " the setup's opening); empty: the run starts
    QTest::addColumn<QString>("verdict");   // what the run's verdict begins with
    QTest::addColumn<QStringList>("curves");
    QTest::addColumn<QByteArray>("pathLoss"); // the meter's simulated path and path.csv beside the setup; empty: none

    const QByteArray wide = R"("limits": {"upper": [[1000, 0], [1200, 0]], "lower": [[1000, -20], [1200, -20]]})";
    const QByteArray low = R"("limits": {"upper": [[1000, -10], [1200, -10]]})";
    const QByteArray pattern = R"("unit": {"serialPattern": "^SN[0-9]{4}$"}, )";
    const QStringList passed{"Reading, -5 dBm", "Upper limit", "Lower limit"};
    QTest::newRow("passes") << wide << QStringList{} << QString() << "PASS" << passed << QByteArray();
    QTest::newRow("fails above the upper limit")
        << low << QStringList{} << QString() << "FAIL: 3 points above the upper limit, worst +"
        << QStringList{"Reading, -5 dBm", "Upper limit", "Failed points"} << QByteArray();
    QTest::newRow("range widened beyond the limits")
        << wide << QStringList{"doubleSpinBoxFreqStopMeas=1300"}
        << "limits.upper: covers 1000 to 1200 MHz; 1200 to 1300 MHz is not covered" << QString() << QStringList{} << QByteArray();
    QTest::newRow("limits cleared, range widened")
        << wide << QStringList{"click:buttonClearLimitsPowerMeter", "doubleSpinBoxFreqStopMeas=1300"} << QString()
        << QString() << QStringList{"Reading, -5 dBm"} << QByteArray();
    QTest::newRow("serial not of the pattern")
        << pattern + wide << QStringList{"editUnit=AB12"}
        << R"(unit.serial: "AB12" does not match the pattern ^SN[0-9]{4}$)" << QString() << QStringList{} << QByteArray();
    QTest::newRow("serial required")
        << R"("unit": {"required": true}, )" + wide << QStringList{}
        << "unit.serial: a serial number is required by this setup" << QString() << QStringList{} << QByteArray();
    // A scanner's Enter starts nothing, and the next unit's scan replaces the serial.
    QTest::newRow("serials scanned")
        << pattern + wide << QStringList{"scan:SN0041", "scan:SN0042"} << QString() << "PASS" << passed << QByteArray();

    // A 3 dB pad between the unit's -5 dBm and the meter: judged at the unit with its table only.
    const QByteArray pad = "frequency_mhz,loss_db\n# valid until 2099-12-31\n900,3\n1200,3\n";
    const QByteArray band = R"("limits": {"upper": [[1000, -4.5], [1200, -4.5]], "lower": [[1000, -5.5], [1200, -5.5]]})";
    const QByteArray table = R"("corrections": {"powerMeter": {"A": "path.csv", "B": "path.csv"}}, )";
    QTest::newRow("a path and its table") << table + band << QStringList{} << QString() << "PASS" << passed << pad;
    QTest::newRow("a path without its table") << band << QStringList{} << QString() << "FAIL: 3 points below the lower limit"
                                              << QStringList{"Reading, -5 dBm", "Upper limit", "Lower limit", "Failed points"} << pad;
    QTest::newRow("range widened beyond the table")
        << table + band << QStringList{"click:buttonClearLimitsPowerMeter", "doubleSpinBoxFreqStopMeas=1300"}
        << "corrections.powerMeter.B: path.csv covers 900 to 1200 MHz; 1200 to 1300 MHz of the measurement is not covered (\"beyond\": \"hold\" holds the end value)"
        << QString() << QStringList{} << pad;
    QTest::newRow("a table past its due date, enforced")
        << QByteArray(table).replace("}}", "}, \"enforceDue\": true}") + band << QStringList{}
        << "corrections.powerMeter.B: the correction table path.csv was due for calibration on 2020-01-01 (\"enforceDue\": true refuses it)"
        << QString() << QStringList{} << QByteArray(pad).replace("2099-12-31", "2020-01-01");
    QTest::newRow("a table that cannot be read")
        << QByteArray(table).replace("\"A\": \"path.csv\"", "\"A\": \"missing.csv\"") + band << QStringList{}
        << "open: corrections.powerMeter.A: missing.csv: cannot be read" << QString() << QStringList{} << pad;
}

void tst_MainWindow::judgedRunFromASetup()
{
    QFETCH(QByteArray, keys);
    QFETCH(QStringList, edits);
    QFETCH(QString, refused);
    QFETCH(QString, verdict);
    QFETCH(QStringList, curves);
    QFETCH(QByteArray, pathLoss);
    QTemporaryDir folder;
    QStringList simArguments{QStringLiteral("--verbose")};
    if (!pathLoss.isEmpty()) {
        QFile table(folder.filePath(QStringLiteral("path.csv")));
        QVERIFY(table.open(QIODevice::WriteOnly) && table.write(pathLoss) == pathLoss.size());
        simArguments << QStringLiteral("--path-loss-meter") << table.fileName();
    }
    BenchSimProcess sim(simArguments);
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    click("checkBoxRf");
    QFile file(folder.filePath(QStringLiteral("judged.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"format": 1, "kind": "power", "start": 1000, "stop": 1200, "points": 3, "power": -5, "delay": 0, "fetchValues": false, )" + keys + "}");
    file.close();
    if (refused.startsWith(QLatin1String("open: "))) {
        QVERIFY2(window->openSetup(file.fileName()).startsWith(refused.mid(6)), qPrintable(window->statusBar()->currentMessage()));
        return;
    }
    QCOMPARE(window->openSetup(file.fileName()), QString());

    QueuedSpy started(window->devicesWork(), &DevicesWork::runStarted);
    syncWorker();
    const int sentBefore = sim.receivedLines(QStringLiteral("synthesizer")).size();
    for (const QString &change : edits) {
        if (!change.startsWith(QLatin1String("scan:"))) {
            edit({change});
            continue;
        }
        auto *unit = widget<QLineEdit>("editUnit");
        unit->setFocus();
        QTest::keyClicks(unit, change.mid(5));
        QTest::keyClick(unit, Qt::Key_Return);
    }
    syncWorker();
    QCoreApplication::processEvents();
    QCOMPARE(started.size(), 0);
    QCOMPARE(sim.receivedLines(QStringLiteral("synthesizer")).size(), sentBefore);
    if (!edits.isEmpty() && edits.last().startsWith(QLatin1String("scan:")))
        QCOMPARE(widget<QLineEdit>("editUnit")->text(), edits.last().mid(5));

    window->statusBar()->clearMessage();
    click("buttonMeasurement");
    if (!refused.isEmpty()) {
        QCOMPARE(window->statusBar()->currentMessage(), "Measurement not started: " + refused);
        syncWorker();
        QCoreApplication::processEvents();
        QCOMPARE(started.size(), 0);
        QCOMPARE(sim.receivedLines(QStringLiteral("synthesizer")).size(), sentBefore);
        return;
    }
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    QCOMPARE(started.size(), 1);
    // A run without limits has no verdict.
    QVERIFY2(verdict.isEmpty() ? window->runStatus()->verdictText().isEmpty()
                               : window->runStatus()->verdictText().startsWith(verdict),
             qPrintable(window->runStatus()->verdictText()));
    QCOMPARE(window->measurementPlot()->verdictText(), window->runStatus()->verdictText());
    QCOMPARE(window->measurementPlot()->curveTitles(), curves);
    // A judged run is a test and asks the synthesizer who it is; one whose limits were cleared is not.
    QCOMPARE(sim.receivedLines(QStringLiteral("synthesizer")).count(QStringLiteral("*IDN?")), verdict.isEmpty() ? 0 : 1);
    // The run on record: the worker judged it as the window showed it, under the unit scanned.
    syncWorker();
    const auto reader = SqliteStore::open(DataLocation::current().storeFile, SqliteStore::Mode::Read, nullptr);
    const QList<RunSummary> runs = reader->runs(RunFilter());
    QVERIFY2(!runs.isEmpty(), qPrintable(reader->problem()));
    QCOMPARE(runs.first().verdict.verdict, verdict.section(QLatin1Char(':'), 0, 0));
    QCOMPARE(runs.first().unit, widget<QLineEdit>("editUnit")->text());
    // The table the run was corrected with, on record whole.
    const QList<RecordedTable> tables = reader->run(runs.first().id).tables;
    QCOMPARE(tables.size(), keys.contains("corrections") ? 1 : 0);
    if (!tables.isEmpty())
        QCOMPARE(tables.first().text, pathLoss);
}

void tst_MainWindow::aResumedRunKeepsItsRecordedTable()
{
    // A run stopped after its first point, corrected with a table whose file is gone since: it
    // goes on with the table its record keeps, not with whatever the file's name finds now.
    const QString folder = window->devicesWork()->reportWriter()->folder();
    const QByteArray table = "frequency_mhz,loss_db\n900,3\n1200,3\n";
    qint64 id = 0;
    {
        const auto store = SqliteStore::open(DataLocation::current().storeFile, SqliteStore::Mode::Write, nullptr);
        RunStart start;
        start.station = QStringLiteral("bench-1");
        start.started = QDateTime::currentDateTimeUtc();
        start.measurement = QStringLiteral("power");
        start.setup = R"({"format": 1, "kind": "power", "start": 1000, "stop": 1100, "points": 6, "power": -5,
                         "powerMeter": {"address": "127.0.0.2", "channel": "A"},
                         "corrections": {"powerMeter": {"A": "gone.csv"}}})";
        start.dataFolder = folder;
        start.tables << RecordedTable{QStringLiteral("powerMeter.A"), QStringLiteral("gone.csv"), table,
                                      QString::fromLatin1(QCryptographicHash::hash(table, QCryptographicHash::Sha256).toHex()),
                                      QDate(), QStringLiteral("linear"), QStringLiteral("refuse")};
        id = store->beginRun(start);
        store->addPass(id, 1, -5, start.started);
        store->endRun(id, QStringLiteral("stopped"), start.started);
        QVERIFY2(id > 0 && store->problem().isEmpty(), qPrintable(store->problem()));
    }
    QVERIFY(!QFile::exists(QDir(folder).filePath(QStringLiteral("gone.csv"))));
    // Nothing is connected: the resume gets as far as the instruments.
    QCOMPARE(window->resumeRun(id), QStringLiteral("connect the synthesizer and the power meter first"));
}

void tst_MainWindow::runsListExportsRepeatsAndResumes()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    // A folder of its own: the workbook must hold this run's rows alone.
    const QString folder = reports.filePath(QStringLiteral("resumed"));
    QVERIFY(QDir().mkpath(folder));
    runInThread(window->devicesWork(), [this, &folder] { window->devicesWork()->reportWriter()->setDirectory(folder); });
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(60);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    widget<QLineEdit>("editUnit")->setText(QStringLiteral("SN0042"));
    // A report is of runs that have ended: none before the first, none of a run under way.
    auto *report = window->findChild<QAction *>(QStringLiteral("actionSaveReport"));
    QVERIFY(!report->isEnabled());
    int points = 0;
    QStringList refusedMidRun;
    connect(window->devicesWork(), &DevicesWork::pointMeasured, this, [&](const MeasuredPoint &point) {
        if (++points == 5)
            window->devicesWork()->requestStop();
        QCOMPARE(point.workbook, QStringLiteral("Table 0 dBm"));
        if (report->isEnabled() || points == 3)
            refusedMidRun << window->saveReport(reports.filePath(QStringLiteral("mid-run")));
    });
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    const int measured = points;
    QVERIFY(measured >= 5 && measured < 60);
    QCOMPARE(refusedMidRun, QStringList{QStringLiteral("the run has not ended yet")});
    QVERIFY(report->isEnabled());
    QCOMPARE(window->saveReport(reports.filePath(QStringLiteral("stopped"))), QString());
    QVERIFY(QFile::exists(reports.filePath(QStringLiteral("stopped.pdf"))));

    window->showRuns();
    RunsDialog *runs = window->runs();
    // The list is read off the window's thread.
    QSignalSpy refreshed(runs, &RunsDialog::refreshed);
    QVERIFY(refreshed.wait(10000));
    auto *table = runs->findChild<QTableWidget *>(QStringLiteral("tableRuns"));
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 6)->text(), QStringLiteral("stopped"));
    QCOMPARE(table->item(0, 4)->text(), QString::number(measured));
    const qint64 id = table->item(0, 0)->text().toLongLong();
    runs->selectRun(id);
    auto *resume = runs->findChild<QPushButton *>(QStringLiteral("buttonRunsResume"));
    QVERIFY(resume->isEnabled());
    // The selected run as "rfbench runs show" prints it, passes and troubles with it.
    const auto shownByCommand = [&] {
        QString errors;
        QProcess show;
        show.start(QStringLiteral(RFBENCH_PATH), {QStringLiteral("runs"), QStringLiteral("show"), QString::number(id),
                                                  QStringLiteral("--store"), DataLocation::current().storeFile});
        return show.waitForFinished(10000) && show.exitCode() == 0 ? QString::fromUtf8(show.readAllStandardOutput())
                                                                    : QString();
    };
    QString details = shownByCommand();
    QVERIFY(details.contains(QStringLiteral("Passes:\n  pass 1, output power 0 dBm")));
    QTRY_COMPARE(runs->details(), details);
    const QString csv = reports.filePath(QStringLiteral("run.csv"));
    QSignalSpy exportedSpy(runs, &RunsDialog::exported);
    runs->exportCsv(csv);
    QVERIFY(exportedSpy.wait(10000));
    QCOMPARE(exportedSpy.first().first().toString(), QString());
    QFile exported(csv);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    QCOMPARE(exported.readAll().count('\n'), 1 + measured);

    // A resume that cannot start says why in the list, in front of the window.
    auto *message = runs->findChild<QLabel *>(QStringLiteral("labelRunsMessage"));
    click("buttonConnectPowerMeter");
    QVERIFY(QTest::qWaitFor([this] { return text("buttonConnectPowerMeter") != "disconnect"; }, 5000));
    resume->click();
    QCOMPARE(message->text(), QStringLiteral("Run %1 does not go on: connect the synthesizer and the power meter first")
                                  .arg(id));
    QVERIFY(connectInstruments(sim));

    // Going on with it: the form takes the run's setup, the list says that this run alone goes
    // on, and shows it running and then as one of 60 points without being asked.
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(7);
    resume->click();
    QVERIFY2(message->text().startsWith(QStringLiteral("Run %1 goes on from the point after its last one. Only its own "
                                                       "power measurement goes on").arg(id)),
             qPrintable(message->text()));
    QCOMPARE(widget<QSpinBox>("spinBoxPointsFreq")->value(), 60);
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    QCOMPARE(points, 60);
    // The report of the start that resumed it: the run once, whole.
    QCOMPARE(refusedMidRun.size(), 1);
    QCOMPARE(window->saveReport(reports.filePath(QStringLiteral("resumed.html"))), QString());
    QFile html(reports.filePath(QStringLiteral("resumed.html")));
    QVERIFY(html.open(QIODevice::ReadOnly));
    const QByteArray page = html.readAll();
    QCOMPARE(page.count("<section>"), 1);
    QVERIFY(page.contains("SN0042"));
    std::unique_ptr<XlsxDocument> document =
        XlsxDocument::open(window->devicesWork()->reportWriter()->workbookPath(QStringLiteral("Table 0 dBm")));
    QVERIFY(document);
    QCOMPARE(document->sheet().lastUsedRow(), 60);
    QTRY_COMPARE(table->item(0, 6)->text(), QStringLiteral("finished"));
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 4)->text(), QStringLiteral("60"));
    // The pass it began again is in its details as the command shows them.
    details = shownByCommand();
    QVERIFY(details.contains(QStringLiteral("Outcome:      finished")));
    QTRY_COMPARE(runs->details(), details);
    // Its setup fills the form again, to repeat it.
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(9);
    runs->selectRun(id);
    runs->findChild<QPushButton *>(QStringLiteral("buttonRunsLoadSetup"))->click();
    QCOMPARE(widget<QSpinBox>("spinBoxPointsFreq")->value(), 60);
}

void tst_MainWindow::aReportWaitsForEveryPoint()
{
    // Another program's trigger keeps the store from taking points: the run ends with them in
    // memory, and a report of it would say less than was measured.
    const QString store = DataLocation::current().storeFile;
    const auto sql = [&store](const QString &statement) {
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"), {store, statement});
        return sqlite.waitForFinished(30000) && sqlite.exitCode() == 0;
    };
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(3);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    syncWorker();
    QVERIFY(sql(QStringLiteral("CREATE TRIGGER refusing BEFORE INSERT ON points BEGIN SELECT RAISE(ABORT, 'refused'); END")));
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));
    const bool enabledAfter = window->findChild<QAction *>(QStringLiteral("actionSaveReport"))->isEnabled();
    const QString refused = window->saveReport(reports.filePath(QStringLiteral("partial.pdf")));
    QVERIFY(sql(QStringLiteral("DROP TRIGGER refusing")));
    QVERIFY(!enabledAfter);
    QVERIFY2(refused.startsWith(QStringLiteral("the results store does not hold every point")), qPrintable(refused));
    QVERIFY(!QFile::exists(reports.filePath(QStringLiteral("partial.pdf"))));
}

void tst_MainWindow::runsGoUpToTheResultsServer()
{
    const QString missing = PgCluster::missing();
    if (!missing.isEmpty()) {
        QVERIFY2(!qEnvironmentVariableIsSet("CI"), qPrintable(missing));
        QSKIP(qPrintable(missing));
    }
    PgCluster cluster;
    QString error;
    QVERIFY2(cluster.start(&error), qPrintable(error));
    QProcess create;
    create.start(QStringLiteral("psql"), {QStringLiteral("-h"), cluster.socketFolder(), QStringLiteral("-p"),
                                          QString::number(cluster.port()), QStringLiteral("-U"), PgCluster::admin(),
                                          QStringLiteral("-d"), QStringLiteral("postgres"), QStringLiteral("-c"),
                                          QStringLiteral("CREATE DATABASE results")});
    QVERIFY(create.waitForFinished(30000) && create.exitCode() == 0);

    // The window started with the server as its store, and a station name in its settings.
    window.reset();
    const QString server = cluster.address(PgCluster::admin(), QStringLiteral("results"));
    const QString folder = reports.filePath(QStringLiteral("to the server"));
    QVERIFY(QDir().mkpath(folder));
    const DataLocation before = DataLocation::current();
    DataLocation location = before;
    location.storeFile = server;
    location.workbookFolder = folder;
    DataLocation::setCurrent(location);
    QSettings(settingsPath(), QSettings::IniFormat).setValue(QStringLiteral("Store/station"), QStringLiteral("bench-w"));
    window = std::make_unique<MainWindow>();
    runInThread(window->devicesWork(), [this, &folder] { window->devicesWork()->reportWriter()->setDirectory(folder); });

    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    QVERIFY(connectSynthesizer(sim));
    QVERIFY(connectInstruments(sim));
    widget<QSpinBox>("spinBoxPointsFreq")->setValue(7);
    widget<QSpinBox>("spinBoxDelay")->setValue(0);
    click("buttonMeasurement");
    QVERIFY(QTest::qWaitFor([this] { return enabled("buttonMeasurement"); }, 30000));

    // The local store beside the workbooks has the run, and the upload beside the window sends it.
    const QString local = SqliteStore::defaultPath(folder);
    QCOMPARE(SqliteStore::open(local, SqliteStore::Mode::Read, nullptr)->runs({}).value(0).station,
             QStringLiteral("bench-w"));
    RunSummary up;
    QVERIFY(QTest::qWaitFor([&] {
        up = RunHistory::open(server)->runs({}).value(0);
        return up.points == 7 && up.outcome == QLatin1String("finished");
    }, 20000));
    QCOMPARE(up.station, QStringLiteral("bench-w"));

    // The Runs list reads the server: this bench's run, numbered by the server.
    window->showRuns();
    QSignalSpy refreshed(window->runs(), &RunsDialog::refreshed);
    QVERIFY(refreshed.wait(10000));
    auto *table = window->runs()->findChild<QTableWidget *>(QStringLiteral("tableRuns"));
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 9)->text(), QStringLiteral("bench-w"));
    QCOMPARE(table->item(0, 0)->text().toLongLong(), up.id);
    QVERIFY(window->runs()->findChild<QLabel *>(QStringLiteral("labelRunsMessage"))->text().contains(server));
    window.reset();
    DataLocation::setCurrent(before);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_MainWindow.moc"
