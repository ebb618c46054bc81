#include "BenchSimProcess.h"
#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "MeasurementTypes.h"
#include "InThread.h"
#include "Pause.h"
#include "QueuedSpy.h"
#include "SignalWait.h"
#include "TestAddresses.h"
#include "WorkbookDump.h"
#include "XlsxDocument.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

// Every instrument in turn misbehaves while a measurement runs against the bench simulator. The
// simulator's readings echo the frequency they were taken at, so a row can only hold its own
// point's reading or 0, never a neighbour's. The test thread plays the window: it must stay
// responsive throughout.
class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faults_data();
    void faults();
};

namespace {

enum Instrument { Synthesizer, PowerMeter, Analyzer };

// Longest pause of the test thread's event loop while it runs.
class LatencyProbe : public QObject
{
public:
    LatencyProbe()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (clock.isValid())
                worst = qMax(worst, clock.restart());
            else
                clock.start();
        });
        timer.start(5);
    }
    qint64 worst = 0;

private:
    QTimer timer;
    QElapsedTimer clock;
};

QString prefixOf(Instrument instrument)
{
    return instrument == Synthesizer ? QStringLiteral("--synth-")
                                     : instrument == PowerMeter ? QStringLiteral("--powermeter-")
                                                                : QStringLiteral("--analyzer-");
}

} // namespace

Q_DECLARE_METATYPE(Instrument)

void tst_FaultMatrix::initTestCase()
{
    MeasurementTypes::registerAll();
    Pause::setSleepFunction([](unsigned long) {});
}

void tst_FaultMatrix::faults_data()
{
    QTest::addColumn<Instrument>("instrument");
    QTest::addColumn<QStringList>("fault");
    const struct
    {
        Instrument instrument;
        const char *name;
    } instruments[] = {{Synthesizer, "synthesizer"}, {PowerMeter, "power meter"}, {Analyzer, "analyzer"}};
    for (const auto &instrument : instruments) {
        const QString p = prefixOf(instrument.instrument);
        const QList<QPair<const char *, QStringList>> faults{
            {"never answers", {p + "silent"}},
            // Later than the time-out (300 ms for the synthesizer, 1000 ms for the others).
            {"answers late", {p + "answer-delay-ms", instrument.instrument == Synthesizer ? "700" : "1500"}},
            {"answers byte by byte", {p + "split-bytes", "1", p + "split-gap-ms", "2"}},
            {"answers garbage", {p + "garbage"}},
            {"answers NaN", {p + "nan"}},
            {"closes mid-answer", {p + "split-bytes", "3", p + "close-mid-answer"}},
            {"refuses the connection", {"refuse"}},
        };
        for (const auto &fault : faults)
            QTest::addRow("%s %s", instrument.name, fault.first) << instrument.instrument << fault.second;
    }
}

void tst_FaultMatrix::faults()
{
    QFETCH(Instrument, instrument);
    QFETCH(QStringList, fault);
    const bool refuse = fault == QStringList{"refuse"};
    BenchSimProcess sim(QStringList{"--echo-frequency"} + (refuse ? QStringList() : fault));
    QVERIFY(sim.isReady());
    QTemporaryDir dir;
    QThread thread;
    auto *worker = new DevicesWork;
    worker->moveToThread(&thread);
    thread.start();
    worker->initialization();
    runInThread(worker, [&] { worker->reportWriter()->setDirectory(dir.path()); });
    connect(worker, &DevicesWork::stopMeasureSpectrum, this, [worker] { worker->requestStop(); });

    const QString nowhere = TestAddresses::randomLoopback().toString();
    QueuedSpy synthUp(worker, &DevicesWork::deviceConnected);
    QueuedSpy meterUp(worker, &DevicesWork::powerMeterConnected);
    QueuedSpy analyzerUp(worker, &DevicesWork::spectrumAnalyzerConnected);
    worker->connectToDevice(refuse && instrument == Synthesizer ? nowhere : sim.synthAddress());
    worker->connectToPowerMeter(refuse && instrument == PowerMeter ? nowhere : sim.powerMeterAddress());
    worker->connectToSpectrumAnalyzer(refuse && instrument == Analyzer ? nowhere : sim.analyzerAddress());
    worker->rfOn();
    if (!(refuse && instrument == Synthesizer))
        QVERIFY(waitForSignals(synthUp, 5000));
    if (!(refuse && instrument == PowerMeter))
        QVERIFY(waitForSignals(meterUp, 5000));
    if (!(refuse && instrument == Analyzer))
        QVERIFY(waitForSignals(analyzerUp, 5000));

    LatencyProbe probe;
    QueuedSpy ended(worker, &DevicesWork::stopingMeasure);
    // A synthesizer that fails costs up to a second per query, twenty-one queries per point.
    const QList<double> grid = instrument == Synthesizer ? QList<double>{1000} : QList<double>{1000, 1100};
    if (instrument == Analyzer) {
        ValueForm form;
        form.freqStart = 1000;
        form.freqStop = 1100;
        form.pointsCount = 2;
        form.power = -10;
        form.pointsMode = true;
        form.rohdeSchwarz = true;
        form.span = 10;
        form.displayLine = 60;
        worker->measureSpectrum(form);
    } else {
        ValueFormMeasurePower form;
        form.freqStart = 1000;
        form.freqStop = 1100;
        form.pointsCount = quint64(grid.size());
        form.power = -10;
        form.pointsMode = true;
        form.channelA = true;
        form.fetchValues = true;
        worker->measurePower(form);
    }
    QVERIFY(waitForSignals(ended, 120000));
    QVERIFY2(probe.worst < 500, qPrintable(QString::number(probe.worst)));

    if (instrument == Analyzer) {
        const QString file = worker->reportWriter()->workbookPath(QStringLiteral("Table spur"));
        if (QFile::exists(file)) {
            const auto cells = WorkbookDump::cells(WorkbookDump::dump(file), QStringLiteral("Лист 1"));
            double previous = -1;
            for (auto it = cells.cbegin(); it != cells.cend(); ++it) {
                if (!it.key().startsWith('A') || !it.value().startsWith("n:"))
                    continue;
                const double carrier = it.value().mid(2).toDouble();
                QVERIFY2(carrier == 0 || carrier == 1.0 || carrier == 1.1, qPrintable(it.value()));
                if (carrier != 0) {
                    QVERIFY(carrier > previous);
                    previous = carrier;
                }
            }
        }
    } else {
        const auto cells = WorkbookDump::cells(
            WorkbookDump::dump(worker->reportWriter()->workbookPath(QStringLiteral("Table -10 dBm"))),
            QStringLiteral("Лист 1"));
        QCOMPARE(cells.size(), grid.size() * 4);
        for (int i = 0; i < grid.size(); ++i) {
            const QString row = QString::number(i + 1);
            const double f = grid.at(i);
            QCOMPARE(cells.value("A" + row), QStringLiteral("n:") + QString::number(f));
            const double reading = cells.value("B" + row).mid(2).toDouble();
            const double detector = cells.value("C" + row).mid(2).toDouble();
            const double temperature = cells.value("D" + row).mid(2).toDouble();
            QVERIFY2(reading == 0 || reading == f, qPrintable(cells.value("B" + row)));
            QVERIFY2(temperature == 0 || temperature == f, qPrintable(cells.value("D" + row)));
            QVERIFY2(detector >= 0 && detector <= f, qPrintable(cells.value("C" + row)));
            // The healthy instrument's readings are all there.
            if (instrument == Synthesizer)
                QCOMPARE(reading, f);
            else
                QCOMPARE(temperature, f);
        }
    }
    worker->requestStop();
    thread.quit();
    thread.wait();
    delete worker;
    XlsxDocument::clearCache();
}

QTEST_GUILESS_MAIN(tst_FaultMatrix)
#include "tst_FaultMatrix.moc"
