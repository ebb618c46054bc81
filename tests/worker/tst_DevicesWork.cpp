#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "FakeHidapi.h"
#include "FakeInstrument.h"
#include "FrequencyGrid.h"
#include "MeasurementTypes.h"
#include "InThread.h"
#include "Pause.h"
#include "QueuedSpy.h"
#include "RunJudging.h"
#include "SignalWait.h"
#include "SqliteStore.h"
#include "WorkbookDump.h"
#include "XlsxDocument.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <functional>
#include <memory>

namespace {

const double noNumber = std::numeric_limits<double>::quiet_NaN();

// The worker in a thread of its own, as the window runs it, with a recorded pause seam and a
// synthesizer on the fake HID device, so that commands and pauses land in one ordered log.
class WorkerRig
{
public:
    // storePath: the results store the worker records its runs in; empty: none.
    explicit WorkerRig(const QString &storePath = QString())
    {
        MeasurementTypes::registerAll();
        FakeHidapi::reset();
        FakeHidapi::setWriteObserver([this](const QByteArray &text) {
            add(QString::fromLatin1(text.endsWith('\n') ? text.chopped(1) : text));
        });
        Pause::setSleepFunction([this](unsigned long ms) {
            add(QStringLiteral("pause %1").arg(ms));
            if (onPause)
                onPause(ms);
        });
        worker = new DevicesWork;
        worker->setStorePath(storePath);
        worker->moveToThread(&thread);
        thread.start();
        worker->initialization();
        runInThread(worker, [this] { worker->reportWriter()->setDirectory(dir.path()); });
    }
    ~WorkerRig()
    {
        sync();
        thread.quit();
        thread.wait();
        delete worker;
        Pause::setSleepFunction({});
        FakeHidapi::reset();
        XlsxDocument::clearCache();
    }

    // Returns once every request posted so far has been served.
    void sync() { runInThread(worker, [] {}); }

    void connectHid()
    {
        FakeHidapi::setDevices({{"/dev/hidraw0", true, QStringLiteral("Gen"), true, QStringLiteral("42")}});
        worker->searchUsbHidDevices();
        worker->connectToDeviceUsbHid(QStringLiteral("Gen 42"));
        sync();
        clear();
    }

    void add(const QString &entry)
    {
        QMutexLocker lock(&mutex);
        entries << entry;
    }
    QStringList log()
    {
        QMutexLocker lock(&mutex);
        return entries;
    }
    void clear()
    {
        QMutexLocker lock(&mutex);
        entries.clear();
    }
    QString workbook(const QString &name) const { return worker->reportWriter()->workbookPath(name); }

    QThread thread;
    DevicesWork *worker = nullptr;
    QTemporaryDir dir;
    std::function<void(unsigned long)> onPause;

private:
    QMutex mutex;
    QStringList entries;
};

QStringList withPauses(const QStringList &commands)
{
    QStringList out;
    for (int i = 0; i < commands.size(); ++i) {
        out << commands.at(i);
        if (i + 1 < commands.size())
            out << QStringLiteral("pause 300");
    }
    return out;
}

FakeInstrument::Responder powerMeterAnswering(const QByteArray &reading)
{
    return [reading](const QByteArray &line) {
        return line.startsWith("FETC") ? QList<FakeInstrument::Reply>{{reading, 0}}
                                       : QList<FakeInstrument::Reply>{};
    };
}

QList<QByteArray> linesStartingWith(const QList<QByteArray> &lines, const QByteArray &start)
{
    QList<QByteArray> out;
    for (const QByteArray &line : lines)
        if (line.startsWith(start))
            out << line;
    return out;
}

// Whether a workbook cell as WorkbookDump gives it holds the expected value; an empty expectation
// stands for a value that was not a number, whose cell must hold no number.
bool cellHolds(const QString &cell, const QString &expected)
{
    return expected.isEmpty() ? !cell.startsWith(QLatin1String("n:")) : cell == expected;
}

// The troubles a spy of instrumentTrouble recorded, each once, as "Instrument: trouble".
QStringList distinctTroubles(const QueuedSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts << arguments.at(0).toString() + QStringLiteral(": ") + arguments.at(1).toString();
    texts.removeDuplicates();
    return texts;
}

ValueFormMeasurePower powerForm()
{
    ValueFormMeasurePower form;
    form.freqStart = 100;
    form.freqStop = 1000;
    form.pointsCount = 10;
    form.freqStep = 10;
    form.power = -10;
    form.pointsMode = true;
    form.channelA = true;
    form.ipPowerMeter = QStringLiteral("127.0.0.1");
    form.delay = 7;
    return form;
}

} // namespace

using Call = std::function<void(DevicesWork *)>;
Q_DECLARE_METATYPE(Call)

class tst_DevicesWork : public QObject
{
    Q_OBJECT

private:
    // Connects the rig's power meter to a fake and runs one measurement to its end.
    bool runPower(WorkerRig &rig, FakeInstrument &meter, const ValueFormMeasurePower &form,
                  QueuedSpy *stopped)
    {
        const int before = stopped->size();
        if (meter.connectionCount() == 0) {
            QueuedSpy connected(rig.worker, &DevicesWork::powerMeterConnected);
            rig.worker->connectToPowerMeter(meter.address());
            if (!waitForSignals(connected, 3000))
                return false;
        }
        rig.worker->measurePower(form);
        return waitForSignals(*stopped, 60000, before + 1);
    }

private slots:
    void resumedRunKeepsItsEarlierVerdicts_data();
    void resumedRunKeepsItsEarlierVerdicts();
    void resumedSpurIsJudgedAtTheUnit();
    void commandSequences_data();
    void commandSequences();
    void callsFromTheGuiThreadReturnAtOnceAndKeepTheirOrder();
    void callsFromTheWorkerThreadRunAtOnce();
    void secondInitializationChangesNothing();
    void addressesWithCommas_data();
    void addressesWithCommas();
    void usbHidFlagFollowsTheDriver();
    void stopBeforeTheStartIsServedIsKept();
    void grid_data();
    void grid();
    void powerGrids_data();
    void powerGrids();
    void cyclingStopsBelowTheCeiling();
    void powerAboveTheCeilingRunsNoPass();
    void oneFrequencyMode();
    void stopDuringAPointKeepsItsRow();
    void fetchValuesOverLan_data();
    void fetchValuesOverLan();
    void fetchValuesOverUsbHid();
    void spurPeaksThatAreNotNumbers_data();
    void spurPeaksThatAreNotNumbers();
    void identitiesOncePerConnection_data();
    void identitiesOncePerConnection();
};

void tst_DevicesWork::resumedRunKeepsItsEarlierVerdicts_data()
{
    QTest::addColumn<QStringList>("stored");  // each stored point's reading, dBm, and its recorded verdict
    QTest::addColumn<qint64>("recordedUnread"); // the run's recorded count of points without a reading
    QTest::addColumn<QString>("grade");        // of the earlier points, as the run goes on
    QTest::addColumn<qint64>("unread");

    QTest::newRow("readings that pass") << QStringList{"-10 PASS", "-11 PASS"} << qint64(0) << "PASS" << qint64(0);
    // Read after the synthesizer's link was lost: a number, but not at its frequency.
    QTest::newRow("recorded without a reading") << QStringList{"-10 PASS", "-10 NO READING"} << qint64(1) << "NO READING"
                                                << qint64(1);
    // A spur point without a carrier leaves no point, only its count.
    QTest::newRow("counted without a point") << QStringList{"-10 PASS"} << qint64(2) << "NO READING" << qint64(2);
    QTest::newRow("a failure is judged again") << QStringList{"-30 FAIL", "-10 PASS"} << qint64(0) << "FAIL" << qint64(0);
}

void tst_DevicesWork::resumedRunKeepsItsEarlierVerdicts()
{
    QFETCH(QStringList, stored);
    QFETCH(qint64, recordedUnread);
    QFETCH(QString, grade);
    QFETCH(qint64, unread);
    MeasurementLimits limits;
    limits.present = true;
    limits.lower = {{1000, -20}, {2000, -20}};
    const FrequencyGrid grid = FrequencyGrid::derive(true, 1000, 2000, 11, 0);
    RunJudging judging;
    judging.begin(limits, false, grid.count);
    QList<StoredPoint> points;
    for (const QString &entry : stored) {
        StoredPoint point;
        point.number = quint64(points.size() + 1);
        point.values = {grid.at(point.number - 1), entry.section(QLatin1Char(' '), 0, 0).toDouble(), 0, 0};
        point.verdict = entry.section(QLatin1Char(' '), 1);
        points << point;
    }
    StoredPass pass;
    pass.outputPower = 0;
    judging.earlier(points, {pass}, grid, recordedUnread);
    QCOMPARE(Verdict::text(judging.standing().tally.grade), grade);
    QCOMPARE(judging.standing().tally.unread, unread);
}

void tst_DevicesWork::resumedSpurIsJudgedAtTheUnit()
{
    // A spur point stored as the analyzer read it, with the loss of each peak: 5 dB above the
    // carrier's frequency makes the weaker spur at the analyzer the stronger one at the unit,
    // -50 dBc, above the limit.
    MeasurementLimits limits;
    limits.present = true;
    limits.maxSpur = {{900, -51}, {1100, -51}};
    const FrequencyGrid grid = FrequencyGrid::derive(true, 1000, 1000, 1, 0);
    RunJudging judging;
    judging.begin(limits, true, grid.count);
    StoredPoint point;
    point.row = StoredPoint::Row::Spur;
    point.values = {10, 50};
    point.peakFrequencies = {1000e6, 999.6e6, 1002e6};
    point.peakLevels = {-5, -57, -60};
    point.peakCorrections = {0, 0, 5};
    point.verdict = QStringLiteral("FAIL");
    StoredPass pass;
    pass.outputPower = -5;
    judging.earlier({point}, {pass}, grid, 0);
    QCOMPARE(judging.standing().tally.grade, Verdict::Grade::Fail);
    QVERIFY(qAbs(judging.standing().tally.firstFailures.value(0).judgement.value - -50) < 1e-9);
}

void tst_DevicesWork::commandSequences_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("frequency sweep")
        << Call([](DevicesWork *w) { w->startSweepFreq(1000, -10, 100, 200, 0.5, 20); })
        << withPauses({"OUTPUT ON", "FREQ:CW 1000.00000000 MHz", "POWER -10.00 DBM",
                       "FREQ:START 100.00000000 MHz", "FREQ:STOP 200.00000000 MHz",
                       "FREQ:STEP 0.50000000 MHz", "FREQ:MODE LIST", "LIST:TYPE STEP",
                       "LIST:MODE AUTO", "SWE:TIME:AUTO OFF", "SWE:TIME 20.0000 ms", "TRIG:SOUR BUS",
                       "INIT:CONT ON", "INIT", "*TRG"});
    QTest::newRow("power sweep")
        << Call([](DevicesWork *w) { w->startSweepAmpl(1500.5, 0, -20, 5, 0.25, 100); })
        << withPauses({"OUTPUT ON", "FREQ:CW 1500.50000000 MHz", "POWER 0.00 DBM",
                       "POW:START -20.0000 DBM", "POW:STOP 5.0000 DBM", "POW:STEP 0.2500 DBM",
                       "POW:MODE LIST", "LIST:TYPE STEP", "LIST:MODE AUTO", "SWE:TIME:AUTO OFF",
                       "SWE:TIME 100.0000 ms", "TRIG:SOUR BUS", "INIT:CONT ON", "INIT", "*TRG"});
    QTest::newRow("AM in Hz")
        << Call([](DevicesWork *w) { w->startAm(1000, -5, true, 400, QStringLiteral("Sine"), 30); })
        << withPauses({"OUTPUT ON", "FREQ:CW 1000.00000000 MHz", "POWER -5.00 DBM", "AM:SOURce:INTernal",
                       "AM:INTernal:FREQuency 400.00000000 Hz", "AM:INTernal:FUNCtion:SHAPE Sine",
                       "AM:DEPTH 30.00000000", "OUTPUT:MODULATION ON"});
    QTest::newRow("AM in kHz")
        << Call([](DevicesWork *w) { w->startAm(10, 1, false, 2.5, QStringLiteral("Ramp"), 99.5); })
        << withPauses({"OUTPUT ON", "FREQ:CW 10.00000000 MHz", "POWER 1.00 DBM", "AM:SOURce:INTernal",
                       "AM:INTernal:FREQuency 2.50000000 kHz", "AM:INTernal:FUNCtion:SHAPE Ramp",
                       "AM:DEPTH 99.50000000", "OUTPUT:MODULATION ON"});
    QStringList pm{QStringLiteral("PULM:SOUR:INTernal"), QStringLiteral("pause 300")};
    for (int i = 0; i < 10; ++i)
        pm << QStringLiteral("PULM:INT:PWID 1.00000000 US");
    pm << QStringLiteral("pause 300");
    for (int i = 0; i < 10; ++i)
        pm << QStringLiteral("PULM:INT:PER 2.50000000 MS");
    pm << QStringLiteral("pause 300") << QStringLiteral("OUTPUT:MODULATION ON");
    QTest::newRow("pulse modulation")
        << Call([](DevicesWork *w) { w->startPm(QStringLiteral("US"), QStringLiteral("MS"), 1, 2.5); }) << pm;
    QTest::newRow("stop frequency sweep") << Call([](DevicesWork *w) { w->stopSweepFreq(); })
                                          << withPauses({"ABORT", "FREQ:MODE CW"});
    QTest::newRow("stop power sweep") << Call([](DevicesWork *w) { w->stopSweepAmpl(); })
                                      << withPauses({"ABORT", "POW:MODE FIX"});
    QTest::newRow("stop AM") << Call([](DevicesWork *w) { w->stopAm(); })
                             << QStringList{"OUTPUT:MODULATION OFF"};
    QTest::newRow("stop PM") << Call([](DevicesWork *w) { w->stopPm(); })
                             << QStringList{"OUTPUT:MODULATION OFF"};
    QTest::newRow("RF and ALC")
        << Call([](DevicesWork *w) { w->rfOn(); w->rfOff(); w->alcOn(); w->alcOff(); })
        << QStringList{"OUTPUT ON", "OUTPUT OFF", "OUTP:ALC ON", "OUTP:ALC OFF"};
    QTest::newRow("frequency and power")
        << Call([](DevicesWork *w) { w->setFrequency(0.1); w->setAmplitude(-7.5); })
        << QStringList{"FREQ:CW 0.10000000 MHz", "POWER -7.50 DBM"};
    QTest::newRow("free commands")
        << Call([](DevicesWork *w) {
               w->setCommand(QStringLiteral("OUTP:ALC?"));
               w->setCommand(QStringLiteral("FREQ:CW? "));
               w->setCommand(QStringLiteral("INIT"));
           })
        << QStringList{"OUTP:ALC?", "answer OUTP:ALC?", "FREQ:CW? ", "INIT"};
}

void tst_DevicesWork::commandSequences()
{
    QFETCH(Call, call);
    QFETCH(QStringList, expected);
    WorkerRig rig;
    rig.connectHid();
    // Each query is answered with its own text; the answer enters the log only once the worker
    // has read it and passed it on.
    FakeHidapi::setResponder([](const QByteArray &text) {
        return text.endsWith("?\n") ? QList<QByteArray>{"answer " + text} : QList<QByteArray>{};
    });
    QObject::connect(rig.worker, &DevicesWork::labelAnswerFromDevice, rig.worker,
                     [&rig](const QString &text) { rig.add(text.trimmed()); }, Qt::DirectConnection);
    call(rig.worker);
    rig.sync();
    QCOMPARE(rig.log(), expected);
}

void tst_DevicesWork::callsFromTheGuiThreadReturnAtOnceAndKeepTheirOrder()
{
    WorkerRig rig;
    rig.connectHid();
    QSemaphore held;
    QSemaphore reached;
    bool first = true;
    rig.onPause = [&](unsigned long) {
        if (first) {
            first = false;
            reached.release();
            held.acquire();
        }
    };
    QElapsedTimer timer;
    timer.start();
    rig.worker->startSweepFreq(1000, 0, 1, 2, 1, 10);
    rig.worker->rfOff();
    rig.worker->setFrequency(5);
    // The worker is held in the sweep's first pause; the calls above must not have waited for it.
    QVERIFY(reached.tryAcquire(1, 5000));
    QVERIFY(timer.elapsed() < 1000);
    held.release();
    rig.sync();
    const QStringList log = rig.log();
    QCOMPARE(log.mid(log.size() - 3),
             (QStringList{"*TRG", "OUTPUT OFF", "FREQ:CW 5.00000000 MHz"}));
}

void tst_DevicesWork::callsFromTheWorkerThreadRunAtOnce()
{
    WorkerRig rig;
    rig.connectHid();
    const QStringList during = runInThread(rig.worker, [&rig] {
        rig.worker->setFrequency(10);
        rig.worker->setAmplitude(3);
        return rig.log();
    });
    QCOMPARE(during, (QStringList{"FREQ:CW 10.00000000 MHz", "POWER 3.00 DBM"}));
}

void tst_DevicesWork::secondInitializationChangesNothing()
{
    WorkerRig rig;
    ExcelWorker *writer = runInThread(rig.worker, [&rig] { return rig.worker->reportWriter(); });
    rig.worker->initialization();
    QCOMPARE(runInThread(rig.worker, [&rig] { return rig.worker->reportWriter(); }), writer);
    QueuedSpy disconnected(rig.worker, &DevicesWork::deviceDisconnected);
    rig.worker->disconnectFromDeviceUsbCom();
    QTRY_COMPARE(disconnected.size(), 1);
    QTest::qWait(50);
    QCOMPARE(disconnected.size(), 1);
}

void tst_DevicesWork::addressesWithCommas_data()
{
    QTest::addColumn<int>("instrument");
    QTest::newRow("synthesizer") << 0;
    QTest::newRow("power meter") << 1;
    QTest::newRow("spectrum analyzer") << 2;
}

void tst_DevicesWork::addressesWithCommas()
{
    QFETCH(int, instrument);
    WorkerRig rig;
    FakeInstrument fake(instrument == 0 ? 5023 : 5025);
    QString address = fake.address();
    address.replace(QLatin1Char('.'), QLatin1Char(','));
    QueuedSpy synth(rig.worker, &DevicesWork::deviceConnected);
    QueuedSpy meter(rig.worker, &DevicesWork::powerMeterConnected);
    QueuedSpy analyzer(rig.worker, &DevicesWork::spectrumAnalyzerConnected);
    QueuedSpy answers(rig.worker, &DevicesWork::labelAnswerFromDevice);
    if (instrument == 0)
        rig.worker->connectToDevice(address);
    else if (instrument == 1)
        rig.worker->connectToPowerMeter(address);
    else
        rig.worker->connectToSpectrumAnalyzer(address);
    QueuedSpy &spy = instrument == 0 ? synth : instrument == 1 ? meter : analyzer;
    QVERIFY(waitForSignals(spy, 3000));
    QTRY_COMPARE(fake.connectionCount(), 1);
    // A LAN connection of the synthesizer is followed by one read, which passes on whatever
    // the device says when it connects (here nothing).
    rig.sync();
    QTRY_COMPARE(answers.size(), instrument == 0 ? 1 : 0);
}

void tst_DevicesWork::usbHidFlagFollowsTheDriver()
{
    // Over USB-HID one detector reading is taken per point, otherwise twenty are averaged.
    WorkerRig rig;
    rig.connectHid();
    FakeHidapi::setResponder([](const QByteArray &text) {
        return QList<QByteArray>{text.startsWith("FETCH") ? "3.4\n" : "41\n"};
    });
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("-1\n"));
    ValueFormMeasurePower form = powerForm();
    form.pointsCount = 1;
    form.fetchValues = true;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(rig.log().filter(QStringLiteral("FETCH:POW:AC?")).size(), 1);

    rig.worker->disconnectFromDeviceUsbHid();
    FakeInstrument synth(5023);
    synth.setResponder([](const QByteArray &line) {
        return line.endsWith('?') ? QList<FakeInstrument::Reply>{{"2\n", 0}} : QList<FakeInstrument::Reply>{};
    });
    QueuedSpy synthConnected(rig.worker, &DevicesWork::deviceConnected);
    rig.worker->connectToDevice(synth.address());
    QVERIFY(waitForSignals(synthConnected, 3000));
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(linesStartingWith(synth.lines(), "FETCH:POW:AC?").size(), 20);

    rig.worker->connectToDeviceUsbHid(QStringLiteral("Gen 42"));
    rig.sync();
    rig.clear();
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(rig.log().filter(QStringLiteral("FETCH:POW:AC?")).size(), 1);
    QCOMPARE(linesStartingWith(synth.lines(), "FETCH:POW:AC?").size(), 20);
}

void tst_DevicesWork::grid_data()
{
    QTest::addColumn<bool>("pointsMode");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("stop");
    QTest::addColumn<quint64>("count");
    QTest::addColumn<double>("step");
    QTest::addColumn<double>("expectedStep");
    QTest::addColumn<quint64>("expectedCount");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("last");      // the last point; NaN: not checked
    QTest::addColumn<QString>("refusal");  // empty: the grid is measured
    const double any = qQNaN();
    QTest::newRow("10 points") << true << 100.0 << 1000.0 << quint64(10) << 0.0 << 100.0 << quint64(10) << "100" << 1000.0 << "";
    QTest::newRow("4 points") << true << 100.0 << 200.0 << quint64(4) << 0.0 << 33.0 << quint64(4) << "33" << 199.0 << "";
    QTest::newRow("step 30") << false << 100.0 << 200.0 << quint64(0) << 30.0 << 30.0 << quint64(4) << "4" << 190.0 << "";
    QTest::newRow("step 40 ends at the stop") << false << 100.0 << 200.0 << quint64(0) << 40.0 << 40.0 << quint64(4) << "4" << 200.0 << "";
    QTest::newRow("count 0") << true << 100.0 << 200.0 << quint64(0) << 0.0 << 0.0 << quint64(0) << "0" << any << "";
    QTest::newRow("count 1") << true << 100.0 << 200.0 << quint64(1) << 0.0 << 0.0 << quint64(1) << "0" << 100.0 << "";
    QTest::newRow("step 0") << false << 100.0 << 200.0 << quint64(0) << 0.0 << 0.0 << quint64(1) << "1" << 100.0 << "";
    QTest::newRow("reversed") << false << 200.0 << 100.0 << quint64(0) << 30.0 << 30.0 << quint64(0) << "0" << any << "";
    QTest::newRow("tiny step") << false << 0.0 << 1e6 << quint64(0) << 1e-300 << 1e-300
                               << (quint64(1) << 62) << QString() << any << "";
    QTest::newRow("half rounds up, ends at the stop") << true << 0.0 << 5.0 << quint64(3) << 0.0 << 3.0 << quint64(3) << "3" << 5.0 << "";
    QTest::newRow("past the stop, ends at it") << true << 1000.0 << 1100.0 << quint64(7) << 0.0 << 17.0 << quint64(7) << "17" << 1100.0 << "";
    QTest::newRow("fractional range that fits") << true << 1000.1 << 1100.1 << quint64(6) << 0.0 << 20.0 << quint64(6) << "20" << 1100.1 << "";
    QTest::newRow("step past the synthesizer's top") << false << 29000.0 << 30001.0 << quint64(0) << 600.0 << 600.0 << quint64(3) << "3" << 30001.0 << "";
    QTest::newRow("rounded up: fewer points fit") << true << 0.0 << 150.0 << quint64(101) << 0.0 << 2.0 << quint64(76) << "2" << 150.0 << "";
    QTest::newRow("rounded up: fewer, the last at the stop") << true << 0.0 << 6.0 << quint64(5) << 0.0 << 2.0 << quint64(4) << "2" << 6.0 << "";
    QTest::newRow("too narrow") << true << 1000.0 << 1001.0 << quint64(4) << 0.0 << 0.0 << quint64(4) << "0" << any
                                << "1000 to 1001 MHz is too narrow for 4 points a whole number of MHz apart: ask for at most 2 points, "
                                   "or widen the range to 3 MHz, as 1000 to 1003 MHz";
    QTest::newRow("too narrow, fractional") << true << 1000.0 << 1001.5 << quint64(5) << 0.0 << 0.0 << quint64(5) << "0" << any
                                            << "1000 to 1001.5 MHz is too narrow for 5 points a whole number of MHz apart: ask for "
                                               "at most 3 points, or widen the range to 4 MHz, as 1000 to 1004 MHz";
    QTest::newRow("too narrow at the synthesizer's top") << true << 30000.0 << 30001.0 << quint64(4) << 0.0 << 0.0 << quint64(4) << "0" << any
                                                         << "30000 to 30001 MHz is too narrow for 4 points a whole number of MHz apart: ask for "
                                                            "at most 2 points, or widen the range to 3 MHz, as 29998 to 30001 MHz";
    QTest::newRow("too narrow, downwards at the bottom") << true << 1.0 << 0.0 << quint64(4) << 0.0 << 0.0 << quint64(4) << "0" << any
                                                         << "1 to 0 MHz is too narrow for 4 points a whole number of MHz apart: ask for "
                                                            "at most 2 points, or widen the range to 3 MHz, as 3 to 0 MHz";
}

void tst_DevicesWork::grid()
{
    QFETCH(bool, pointsMode);
    QFETCH(double, start);
    QFETCH(double, stop);
    QFETCH(quint64, count);
    QFETCH(double, step);
    QFETCH(double, expectedStep);
    QFETCH(quint64, expectedCount);
    QFETCH(QString, text);
    QFETCH(double, last);
    QFETCH(QString, refusal);
    const FrequencyGrid grid = FrequencyGrid::derive(pointsMode, start, stop, count, step);
    QCOMPARE(grid.step, expectedStep);
    QCOMPARE(grid.count, expectedCount);
    if (!text.isEmpty())
        QCOMPARE(pointsMode ? grid.stepText : grid.countText, text);
    QCOMPARE(FrequencyGrid::refusal(pointsMode, start, stop, count), refusal);
    if (!qIsNaN(last))
        QCOMPARE(grid.at(grid.count - 1), last);
    // A grid that fits fewer points than were asked says so.
    QCOMPARE(grid.shortfall.isEmpty(), !pointsMode || grid.count == count);
}

void tst_DevicesWork::powerGrids_data()
{
    QTest::addColumn<bool>("pointsMode");
    QTest::addColumn<double>("stop");
    QTest::addColumn<quint64>("count");
    QTest::addColumn<double>("step");
    QTest::addColumn<QStringList>("frequencies");
    QTest::addColumn<QString>("signalText");
    QTest::newRow("100 to 1000 in 10 points")
        << true << 1000.0 << quint64(10) << 0.0
        << QStringList{"100", "200", "300", "400", "500", "600", "700", "800", "900", "1000"} << "100";
    QTest::newRow("100 to 200 in 4 points") << true << 200.0 << quint64(4) << 0.0
                                            << QStringList{"100", "133", "166", "199"} << "33";
    QTest::newRow("step 30") << false << 200.0 << quint64(0) << 30.0
                             << QStringList{"100", "130", "160", "190"} << "4";
    QTest::newRow("step 40, the last at the stop") << false << 200.0 << quint64(0) << 40.0
                                                   << QStringList{"100", "140", "180", "200"} << "4";
    QTest::newRow("100 to 200 in 7 points, the last at the stop")
        << true << 200.0 << quint64(7) << 0.0 << QStringList{"100", "117", "134", "151", "168", "185", "200"} << "17";
    QTest::newRow("count 0") << true << 200.0 << quint64(0) << 0.0 << QStringList{} << "0";
    QTest::newRow("count 1") << true << 200.0 << quint64(1) << 0.0 << QStringList{"100"} << "0";
    QTest::newRow("step 0") << false << 200.0 << quint64(0) << 0.0 << QStringList{"100"} << "1";
    QTest::newRow("reversed range") << false << 50.0 << quint64(0) << 10.0 << QStringList{} << "0";
}

void tst_DevicesWork::powerGrids()
{
    QFETCH(bool, pointsMode);
    QFETCH(double, stop);
    QFETCH(quint64, count);
    QFETCH(double, step);
    QFETCH(QStringList, frequencies);
    QFETCH(QString, signalText);
    WorkerRig rig;
    rig.connectHid();
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("-10.5\n"));
    ValueFormMeasurePower form = powerForm();
    form.pointsMode = pointsMode;
    form.freqStop = stop;
    form.pointsCount = count;
    form.freqStep = step;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy stepText(rig.worker, &DevicesWork::freqStep);
    QueuedSpy countText(rig.worker, &DevicesWork::pointsCount);
    QueuedSpy ownStep(rig.worker, &DevicesWork::derivedStep);
    QueuedSpy ownCount(rig.worker, &DevicesWork::derivedCount);
    QueuedSpy points(rig.worker, &DevicesWork::labelCountPoints);
    QueuedSpy readings(rig.worker, &DevicesWork::labelAnswerFromPowerMeter);
    QVERIFY(runPower(rig, meter, form, &stopped));

    QueuedSpy &derived = pointsMode ? stepText : countText;
    QCOMPARE(derived.size(), 1);
    QCOMPARE(derived.at(0).at(0).toString(), signalText);
    // Again with the measurement that derived it: the power measurement's.
    QCOMPARE((pointsMode ? ownStep : ownCount).at(0), (QList<QVariant>{false, signalText}));
    QCOMPARE((pointsMode ? ownCount : ownStep).size(), 0);
    QStringList sensed;
    for (const QByteArray &line : linesStartingWith(meter.lines(), "SENS1:FREQ"))
        sensed << QString::number(line.split(' ').at(1).toDouble());
    QCOMPARE(sensed, frequencies);
    QCOMPARE(points.size(), frequencies.size());
    for (int i = 0; i < readings.size(); ++i) {
        QCOMPARE(points.at(i).at(0).toString(), QString::number(i + 1));
        QCOMPARE(readings.at(i).at(0).toString(), QStringLiteral("-10.5"));
    }
    // Each point: synthesizer frequency, delay, reading.
    const QStringList log = rig.log();
    QCOMPARE(log.filter(QStringLiteral("FREQ:CW")).size(), frequencies.size());
    QCOMPARE(log.filter(QStringLiteral("pause 7")).size(), frequencies.size());
    QCOMPARE(log.first(), QStringLiteral("POWER -10.00 DBM"));
    QCOMPARE(log.at(1), QStringLiteral("pause 150"));

    const QString file = rig.workbook(QStringLiteral("Table -10 dBm"));
    if (frequencies.isEmpty()) {
        QVERIFY(!QFile::exists(file));
        return;
    }
    const auto cells = WorkbookDump::cells(WorkbookDump::dump(file), QStringLiteral("Лист 1"));
    QCOMPARE(cells.size(), frequencies.size() * 4);
    for (int i = 0; i < frequencies.size(); ++i) {
        const QString row = QString::number(i + 1);
        QCOMPARE(cells.value("A" + row), QStringLiteral("n:") + frequencies.at(i));
        QCOMPARE(cells.value("B" + row), QStringLiteral("n:-10.5"));
        QCOMPARE(cells.value("C" + row), QStringLiteral("n:0"));
    }
}

void tst_DevicesWork::cyclingStopsBelowTheCeiling()
{
    WorkerRig rig;
    rig.connectHid();
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("1.25\n"));
    ValueFormMeasurePower form = powerForm();
    form.power = 0;
    form.cycle = true;
    form.pointsCount = 2;
    form.freqStop = 200;
    rig.worker->setCycle(true, 10);
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy powers(rig.worker, &DevicesWork::changePower);
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(powers.size(), 2);
    QCOMPARE(powers.at(0).at(0).toDouble(), 10.0);
    QCOMPARE(powers.at(1).at(0).toDouble(), 20.0);
    QCOMPARE(rig.log().filter(QStringLiteral("POWER ")),
             (QStringList{"POWER 0.00 DBM", "POWER 10.00 DBM", "POWER 20.00 DBM"}));
    QCOMPARE(linesStartingWith(meter.lines(), "FETC?").size(), 4);
    QVERIFY(QFile::exists(rig.workbook(QStringLiteral("Table 0 dBm"))));
    QVERIFY(QFile::exists(rig.workbook(QStringLiteral("Table 10 dBm"))));
    QVERIFY(!QFile::exists(rig.workbook(QStringLiteral("Table 20 dBm"))));
    // Between passes: power, 150 ms, first frequency, 150 ms.
    const QStringList log = rig.log();
    const int change = log.indexOf(QStringLiteral("POWER 10.00 DBM"));
    QCOMPARE(log.mid(change, 4), (QStringList{"POWER 10.00 DBM", "pause 150", "FREQ:CW 100.00000000 MHz",
                                              "pause 150"}));
}

void tst_DevicesWork::powerAboveTheCeilingRunsNoPass()
{
    WorkerRig rig;
    rig.connectHid();
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("1\n"));
    ValueFormMeasurePower form = powerForm();
    form.power = 25;
    rig.worker->setCycle(false, 10);
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(rig.log(), (QStringList{"POWER 25.00 DBM", "pause 150"}));
    QVERIFY(meter.lines().isEmpty());
}

void tst_DevicesWork::oneFrequencyMode()
{
    WorkerRig rig;
    rig.connectHid();
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("-3.5\n"));
    ValueFormMeasurePower form = powerForm();
    form.justPower = true;
    form.freqStart = 1500.25;
    form.power = 5;
    form.cycle = true;
    form.channelA = false;
    rig.worker->setCycle(true, 10);
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy points(rig.worker, &DevicesWork::labelCountPoints);
    QVERIFY(runPower(rig, meter, form, &stopped));
    // No sweep ran before: the point shown stays the first at every power step.
    QCOMPARE(points.size(), 2);
    QCOMPARE(points.at(0).at(0).toString(), QStringLiteral("1"));
    QCOMPARE(points.at(1).at(0).toString(), QStringLiteral("1"));
    QCOMPARE(linesStartingWith(meter.lines(), "SENS2:FREQ"),
             (QList<QByteArray>{"SENS2:FREQ 1500.2500 MHz", "SENS2:FREQ 1500.2500 MHz"}));
    QCOMPARE(linesStartingWith(meter.lines(), "FETC2?").size(), 2);
    const auto cells = WorkbookDump::cells(WorkbookDump::dump(rig.workbook(QStringLiteral("Table 1500.25 MHz"))),
                                           QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("A1"), QStringLiteral("n:1500.25"));
    QCOMPARE(cells.value("B1"), QStringLiteral("n:-3.5"));
    QCOMPARE(cells.value("C1"), QStringLiteral("n:5"));
    QCOMPARE(cells.value("C2"), QStringLiteral("n:15"));
    QCOMPARE(cells.size(), 10);
}

void tst_DevicesWork::stopDuringAPointKeepsItsRow()
{
    WorkerRig rig;
    rig.connectHid();
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("2\n"));
    int delays = 0;
    rig.onPause = [&](unsigned long ms) {
        // The operator presses Stop while the third point settles.
        if (ms == 7 && ++delays == 3)
            rig.worker->requestStop();
    };
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QVERIFY(runPower(rig, meter, powerForm(), &stopped));
    const auto cells = WorkbookDump::cells(WorkbookDump::dump(rig.workbook(QStringLiteral("Table -10 dBm"))),
                                           QStringLiteral("Лист 1"));
    QCOMPARE(cells.size(), 3 * 4);
    QCOMPARE(cells.value("A3"), QStringLiteral("n:300"));
    QCOMPARE(stopped.size(), 1);
}

void tst_DevicesWork::stopBeforeTheStartIsServedIsKept()
{
    WorkerRig rig;
    rig.connectHid();
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("2\n"));
    rig.worker->setIdentify(true);
    QueuedSpy connected(rig.worker, &DevicesWork::powerMeterConnected);
    rig.worker->connectToPowerMeter(meter.address());
    QVERIFY(waitForSignals(connected, 3000));
    // The worker is busy when the start is asked for; the stop comes before it is served.
    QSemaphore held;
    QSemaphore reached;
    QMetaObject::invokeMethod(rig.worker, [&] {
        reached.release();
        held.acquire();
    });
    QVERIFY(reached.tryAcquire(1, 5000));
    QueuedSpy ended(rig.worker, &DevicesWork::runEnded);
    rig.worker->measurePower(powerForm());
    rig.worker->requestStop();
    held.release();
    QVERIFY(waitForSignals(ended, 30000));
    QCOMPARE(ended.at(0).at(0).toBool(), true);
    QVERIFY(meter.lines().isEmpty()); // nor asked who it is
    // A stop before a later start does not hold for it.
    ended.clear();
    rig.worker->measurePower(powerForm());
    QVERIFY(waitForSignals(ended, 30000));
    QCOMPARE(ended.at(0).at(0).toBool(), false);
}

void tst_DevicesWork::fetchValuesOverLan_data()
{
    QTest::addColumn<QByteArray>("meterAnswer");
    // The synthesizer's answers to its twenty detector fetches of a point, in turn.
    QTest::addColumn<QList<QByteArray>>("fetchAnswers");
    QTest::addColumn<QByteArray>("temperatureAnswer");
    // Cells B (reading), C (detector, whole dBm) and D (temperature) of both rows; empty where no
    // number may stand.
    QTest::addColumn<QStringList>("row");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("troubles");
    QTest::newRow("numbers") << QByteArray("-10\n") << QList<QByteArray>{"-9.6\n"} << QByteArray("40.5\n")
                             << QStringList{"n:-10", "n:-10", "n:40.5"} << "-10" << QStringList();
    QTest::newRow("reading not a number")
        << QByteArray("OVERLOAD\n") << QList<QByteArray>{"-9.6\n"} << QByteArray("40.5\n")
        << QStringList{"", "n:-10", "n:40.5"} << "—"
        << QStringList{R"(Power meter: answer to FETC? is not a number: "OVERLOAD")"};
    QTest::newRow("power meter silent")
        << QByteArray() << QList<QByteArray>{"-9.6\n"} << QByteArray("40.5\n")
        << QStringList{"", "n:-10", "n:40.5"} << "—" << QStringList{"Power meter: no answer to FETC?"};
    // Counted as 0, the ten failures would pull the mean to -4.8, rounded -5.
    QTest::newRow("every other fetch not a number")
        << QByteArray("-10\n") << QList<QByteArray>{"-9.6\n", "ERR\n"} << QByteArray("40.5\n")
        << QStringList{"n:-10", "n:-10", "n:40.5"} << "-10"
        << QStringList{R"(Synthesizer: answer to FETCH:POW:AC? is not a number: "ERR")"};
    QTest::newRow("no fetch a number")
        << QByteArray("-10\n") << QList<QByteArray>{"ERR\n"} << QByteArray("40.5\n")
        << QStringList{"n:-10", "", "n:40.5"} << "-10"
        << QStringList{R"(Synthesizer: answer to FETCH:POW:AC? is not a number: "ERR")"};
    QTest::newRow("temperature not a number")
        << QByteArray("-10\n") << QList<QByteArray>{"-9.6\n"} << QByteArray("+++\n")
        << QStringList{"n:-10", "n:-10", ""} << "-10"
        << QStringList{R"(Synthesizer: answer to DIAG:INFO:TEMP? is not a number: "+++")"};
}

void tst_DevicesWork::fetchValuesOverLan()
{
    QFETCH(QByteArray, meterAnswer);
    QFETCH(QList<QByteArray>, fetchAnswers);
    QFETCH(QByteArray, temperatureAnswer);
    QFETCH(QStringList, row);
    QFETCH(QString, label);
    QFETCH(QStringList, troubles);
    WorkerRig rig;
    FakeInstrument synth(5023);
    auto fetches = std::make_shared<std::atomic<int>>(0);
    synth.setResponder([fetches, fetchAnswers, temperatureAnswer](const QByteArray &line) {
        if (line == "FETCH:POW:AC?")
            return QList<FakeInstrument::Reply>{{fetchAnswers.at((*fetches)++ % fetchAnswers.size()), 0}};
        if (line == "DIAG:INFO:TEMP?")
            return QList<FakeInstrument::Reply>{{temperatureAnswer, 0}};
        return QList<FakeInstrument::Reply>{};
    });
    QueuedSpy synthConnected(rig.worker, &DevicesWork::deviceConnected);
    rig.worker->connectToDevice(synth.address());
    QVERIFY(waitForSignals(synthConnected, 3000));
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering(meterAnswer));
    ValueFormMeasurePower form = powerForm();
    form.pointsCount = 2;
    form.freqStop = 200;
    form.fetchValues = true;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy labels(rig.worker, &DevicesWork::labelAnswerFromPowerMeter);
    QueuedSpy points(rig.worker, &DevicesWork::pointMeasured);
    QueuedSpy reported(rig.worker, &DevicesWork::instrumentTrouble);
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(linesStartingWith(synth.lines(), "FETCH:POW:AC?").size(), 40);
    QCOMPARE(linesStartingWith(synth.lines(), "DIAG:INFO:TEMP?").size(), 2);

    const auto cells = WorkbookDump::cells(WorkbookDump::dump(rig.workbook(QStringLiteral("Table -10 dBm"))),
                                           QStringLiteral("Лист 1"));
    QCOMPARE(points.size(), 2);
    QCOMPARE(labels.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QString r = QString::number(i + 1);
        QCOMPARE(cells.value("A" + r), QStringLiteral("n:") + QString::number(100 * (i + 1)));
        for (int column = 0; column < 3; ++column) {
            const QString cell = QString(QLatin1Char('B' + column)) + r;
            QVERIFY2(cellHolds(cells.value(cell), row.at(column)), qPrintable(cell + " " + cells.value(cell)));
        }
        QCOMPARE(labels.at(i).at(0).toString(), label);
        const MeasuredPoint point = points.at(i).at(0).value<MeasuredPoint>();
        QCOMPARE(point.number, quint64(i + 1));
        QCOMPARE(point.frequency, 100.0 * (i + 1));
        QCOMPARE(std::isnan(point.reading), row.at(0).isEmpty());
        QVERIFY(point.fetched);
        QCOMPARE(std::isnan(point.fetchedPower), row.at(1).isEmpty());
    }
    QCOMPARE(distinctTroubles(reported), troubles);
}

void tst_DevicesWork::fetchValuesOverUsbHid()
{
    WorkerRig rig;
    rig.connectHid();
    FakeHidapi::setResponder([](const QByteArray &text) {
        return QList<QByteArray>{text.startsWith("FETCH") ? "-9.6\n" : "40.5\n"};
    });
    FakeInstrument meter(5025);
    meter.setResponder(powerMeterAnswering("-10\n"));
    ValueFormMeasurePower form = powerForm();
    form.pointsCount = 2;
    form.freqStop = 200;
    form.fetchValues = true;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QVERIFY(runPower(rig, meter, form, &stopped));
    QCOMPARE(rig.log().filter(QStringLiteral("FETCH:POW:AC?")).size(), 2);
    QCOMPARE(rig.log().filter(QStringLiteral("DIAG:INFO:TEMP?")).size(), 2);
    const auto cells = WorkbookDump::cells(WorkbookDump::dump(rig.workbook(QStringLiteral("Table -10 dBm"))),
                                           QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("C1"), QStringLiteral("n:-9.6"));
}

void tst_DevicesWork::spurPeaksThatAreNotNumbers_data()
{
    // The analyzer's answers to the marker level and to the peak list's levels and frequencies
    // (R&S), at one point of 1000 MHz and -10 dBm, display line 60 dB.
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QByteArray>("levels");
    QTest::addColumn<QByteArray>("frequencies");
    // Reference level and threshold commands, in order.
    QTest::addColumn<QStringList>("steering");
    QTest::addColumn<QString>("spurCount");
    QTest::addColumn<QString>("minimumSpur");
    QTest::addColumn<double>("carrier");
    QTest::addColumn<bool>("hasSpur");
    QTest::addColumn<double>("spurLevel");
    // Cells of the point's row; an empty value where no number may stand.
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<QStringList>("troubles");
    const QStringList steered{"DISP:WIND:TRAC:Y:RLEV -7.0000 dBm", "calc:thr -71.5000"};
    // Peaks 2 MHz (a spur 48 dB down) and 0.4 MHz (no spur) from the carrier.
    QTest::newRow("numbers")
        << QByteArray("-11.5\n") << QByteArray("-11.5,-59.5,-70\n") << QByteArray("1.0E+09,1.002E+09,1.0004E+09\n")
        << steered << "1" << "Min spur = 48" << -11.5 << true << -48.0
        << QStringList{"A5=n:1", "B5=n:-11.5", "C5=n:1.002", "D5=n:-59.5", "E5=n:1.0004", "F5=n:-70"}
        << QStringList();
    // The peak 5 MHz away is then the nearest in level: 58.5 dB down.
    QTest::newRow("a peak's level not a number")
        << QByteArray("-11.5\n") << QByteArray("-11.5,OVER,-70\n") << QByteArray("1.0E+09,1.002E+09,1.005E+09\n")
        << steered << "1" << "Min spur = 58.5" << -11.5 << true << -58.5
        << QStringList{"A5=n:1", "B5=n:-11.5", "C5=n:1.002", "D5=", "E5=n:1.005", "F5=n:-70"}
        << QStringList{R"(Spectrum analyzer: answer to calc:mark:func:fpe:y? is not a list of numbers: "-11.5,OVER,-70")"};
    QTest::newRow("a peak's frequency not a number")
        << QByteArray("-11.5\n") << QByteArray("-11.5,-59.5,-70\n") << QByteArray("1.0E+09,OVER,1.005E+09\n")
        << steered << "1" << "Min spur = 58.5" << -11.5 << true << -58.5
        << QStringList{"A5=n:1", "B5=n:-11.5"}
        << QStringList{R"(Spectrum analyzer: answer to calc:mark:func:fpe:x? is not a list of numbers: "1.0E+09,OVER,1.005E+09")"};
    // Without the carrier's level no distance can be told: nothing is counted.
    QTest::newRow("carrier level not a number")
        << QByteArray("-11.5\n") << QByteArray("OVER,-59.5,-70\n") << QByteArray("1.0E+09,1.002E+09,1.005E+09\n")
        << steered << "0" << "Min spur = 100" << noNumber << true << noNumber
        << QStringList{"A5=n:1", "B5=", "C5=n:1.002", "D5=n:-59.5"}
        << QStringList{R"(Spectrum analyzer: answer to calc:mark:func:fpe:y? is not a list of numbers: "OVER,-59.5,-70")"};
    // An unknown marker level steers the analyzer as the 0 dBm it used to be read as.
    QTest::newRow("marker not a number")
        << QByteArray("OVER\n") << QByteArray("-11.5,-59.5,-70\n") << QByteArray("1.0E+09,1.002E+09,1.0004E+09\n")
        << QStringList{"DISP:WIND:TRAC:Y:RLEV -7.0000 dBm", "DISP:WIND:TRAC:Y:RLEV -9.0000 dBm", "calc:thr -60.0000"}
        << "1" << "Min spur = 48" << -11.5 << true << -48.0
        << QStringList{"A5=n:1", "B5=n:-11.5", "C5=n:1.002", "D5=n:-59.5"}
        << QStringList{R"(Spectrum analyzer: answer to calc:mark:y? is not a list of numbers: "OVER")"};
    QTest::newRow("no peak a number")
        << QByteArray("-11.5\n") << QByteArray("OVER,OVER\n") << QByteArray("OVER,OVER\n")
        << steered << "0" << "Min spur = 100" << noNumber << false << 0.0 << QStringList{"A5=", "B5="}
        << QStringList{R"(Spectrum analyzer: answer to calc:mark:func:fpe:y? is not a list of numbers: "OVER,OVER")",
                       R"(Spectrum analyzer: answer to calc:mark:func:fpe:x? is not a list of numbers: "OVER,OVER")"};
}

void tst_DevicesWork::spurPeaksThatAreNotNumbers()
{
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, levels);
    QFETCH(QByteArray, frequencies);
    QFETCH(QStringList, steering);
    QFETCH(QString, spurCount);
    QFETCH(QString, minimumSpur);
    QFETCH(double, carrier);
    QFETCH(bool, hasSpur);
    QFETCH(double, spurLevel);
    QFETCH(QStringList, cells);
    QFETCH(QStringList, troubles);
    WorkerRig rig;
    FakeInstrument analyzer(5025);
    analyzer.setResponder([=](const QByteArray &line) {
        const QByteArray answer = line == "calc:mark:y?"            ? marker
                                  : line == "calc:mark:x?"          ? QByteArray("1.0E+09\n")
                                  : line == "calc:mark:func:fpe:y?" ? levels
                                  : line == "calc:mark:func:fpe:x?" ? frequencies
                                                                    : QByteArray();
        return answer.isEmpty() ? QList<FakeInstrument::Reply>{} : QList<FakeInstrument::Reply>{{answer, 0}};
    });
    QueuedSpy connected(rig.worker, &DevicesWork::spectrumAnalyzerConnected);
    rig.worker->connectToSpectrumAnalyzer(analyzer.address());
    QVERIFY(waitForSignals(connected, 3000));
    ValueForm form;
    form.freqStart = 1000;
    form.freqStop = 1000;
    form.pointsCount = 1;
    form.power = -10;
    form.pointsMode = true;
    form.rohdeSchwarz = true;
    form.span = 10;
    form.displayLine = 60;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy counts(rig.worker, &DevicesWork::labelCountSpurs);
    QueuedSpy minima(rig.worker, &DevicesWork::labelMinimumSpur);
    QueuedSpy points(rig.worker, &DevicesWork::pointMeasured);
    QueuedSpy reported(rig.worker, &DevicesWork::instrumentTrouble);
    QueuedSpy ownStep(rig.worker, &DevicesWork::derivedStep);
    QObject::connect(rig.worker, &DevicesWork::analyzerSettling, rig.worker,
                     [&rig](bool settling) { rig.add(settling ? "settling" : "settled"); }, Qt::DirectConnection);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 30000));
    QCOMPARE(ownStep.at(0), (QList<QVariant>{true, QStringLiteral("0")}));
    // The settling is told around the analyzer's one pause of 7 s, and only there.
    const QStringList log = rig.log();
    QCOMPARE(log.filter(QRegularExpression("^(settl|pause 7000)")), (QStringList{"settling", "pause 7000", "settled"}));

    QStringList sent;
    for (const QByteArray &line : analyzer.lines())
        if (line.contains("RLEV") || line.startsWith("calc:thr -"))
            sent << QString::fromLatin1(line);
    QCOMPARE(sent, steering);
    QCOMPARE(counts.size(), 1);
    QCOMPARE(counts.at(0).at(0).toString(), spurCount);
    QCOMPARE(minima.size(), 1);
    QCOMPARE(minima.at(0).at(0).toString(), minimumSpur);
    QCOMPARE(points.size(), 1);
    const MeasuredPoint point = points.at(0).at(0).value<MeasuredPoint>();
    QVERIFY(point.spur);
    QCOMPARE(point.frequency, 1000.0);
    QCOMPARE(point.carrierLevel, carrier);
    QCOMPARE(point.hasSpur, hasSpur);
    QCOMPARE(point.spurLevel, spurLevel);

    const auto written = WorkbookDump::cells(WorkbookDump::dump(rig.workbook(QStringLiteral("Table spur"))),
                                             QStringLiteral("Лист 1"));
    QVERIFY(written.value("A4").startsWith("s:"));
    for (const QString &cell : cells) {
        const QStringList pair = cell.split(QLatin1Char('='));
        QVERIFY2(cellHolds(written.value(pair.at(0)), pair.at(1)), qPrintable(cell + " " + written.value(pair.at(0))));
    }
    // Nothing in the row stands for a value that came as no number.
    for (auto it = written.cbegin(); it != written.cend(); ++it)
        if (it.key().endsWith(QLatin1Char('5')))
            QVERIFY2(it.value() != QLatin1String("n:0"), qPrintable(it.key()));
    QCOMPARE(distinctTroubles(reported), troubles);
}

void tst_DevicesWork::identitiesOncePerConnection_data()
{
    QTest::addColumn<bool>("identify");
    QTest::addColumn<bool>("synthesizerAnswers");
    // Between the two runs: the power meter disconnected and connected, the synthesizer's device
    // opened again as the window's Connect does, without a disconnect.
    QTest::addColumn<bool>("reconnect");
    QTest::addColumn<int>("asked"); // *IDN? lines each instrument got over both runs
    QTest::addColumn<QString>("synthesizer"); // as each run records it; empty: no identities
    QTest::newRow("off") << false << true << false << 0 << "";
    QTest::newRow("on: once for both runs") << true << true << false << 1 << "Gen,42,7,1.0";
    QTest::newRow("on: again on a new connection") << true << true << true << 2 << "Gen,42,7,1.0";
    QTest::newRow("on: a silent synthesizer is not asked twice") << true << false << false << 1 << "no answer to *IDN?";
}

void tst_DevicesWork::identitiesOncePerConnection()
{
    QFETCH(bool, identify);
    QFETCH(bool, synthesizerAnswers);
    QFETCH(bool, reconnect);
    QFETCH(int, asked);
    QFETCH(QString, synthesizer);
    QTemporaryDir storeDir;
    WorkerRig rig(storeDir.filePath(QStringLiteral("runs.sqlite")));
    rig.connectHid();
    FakeHidapi::setResponder([synthesizerAnswers](const QByteArray &text) {
        return text == "*IDN?\n" && synthesizerAnswers ? QList<QByteArray>{"Gen,42,7,1.0\n"} : QList<QByteArray>{};
    });
    FakeInstrument meter(5025);
    meter.setResponder([](const QByteArray &line) {
        return line == "*IDN?" ? QList<FakeInstrument::Reply>{{"PowerSim,PM-2,1,1.0\n", 0}}
                               : powerMeterAnswering("-1\n")(line);
    });
    rig.worker->setIdentify(identify);
    ValueFormMeasurePower form = powerForm();
    form.pointsCount = 2;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QVERIFY(runPower(rig, meter, form, &stopped));
    if (reconnect) {
        rig.worker->connectToDeviceUsbHid(QStringLiteral("Gen 42"));
        QueuedSpy connected(rig.worker, &DevicesWork::powerMeterConnected);
        rig.worker->disconnectFromPowerMeter();
        rig.worker->connectToPowerMeter(meter.address());
        QVERIFY(waitForSignals(connected, 3000));
    }
    QVERIFY(runPower(rig, meter, form, &stopped));
    rig.worker->closeStore();
    rig.sync();
    QCOMPARE(rig.log().count(QStringLiteral("*IDN?")), asked);
    QCOMPARE(meter.lines().count("*IDN?"), asked);
    QStringList announcements;
    const auto store = SqliteStore::open(storeDir.filePath(QStringLiteral("runs.sqlite")), SqliteStore::Mode::Read, &announcements);
    const QString recorded = synthesizer.isEmpty() ? QString() : "synthesizer: " + synthesizer + "\npower meter: PowerSim,PM-2,1,1.0";
    for (const RunSummary &run : store->runs(RunFilter()))
        QCOMPARE(run.identities, recorded);
    QCOMPARE(store->runs(RunFilter()).size(), 2);
}

QTEST_GUILESS_MAIN(tst_DevicesWork)
#include "tst_DevicesWork.moc"
