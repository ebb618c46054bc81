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
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <cmath>

// Every instrument in turn misbehaves while a measurement runs against the bench simulator. The
// simulator's readings echo the frequency they were taken at, so a row can only hold its own
// point's reading or no number at all, never a neighbour's or a made-up one. The test thread
// plays the window: it must stay responsive throughout.
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

// A cell as WorkbookDump gives it holds the value or no number at all.
bool valueOrNone(const QString &cell, double value)
{
    return cell == QStringLiteral("n:") + QString::number(value) || !cell.startsWith(QLatin1String("n:"));
}

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
    // What the instrument's trouble quotes when its answers are no numbers; empty otherwise.
    QTest::addColumn<QString>("came");
    const struct
    {
        Instrument instrument;
        const char *name;
    } instruments[] = {{Synthesizer, "synthesizer"}, {PowerMeter, "power meter"}, {Analyzer, "analyzer"}};
    for (const auto &instrument : instruments) {
        const QString p = prefixOf(instrument.instrument);
        const struct
        {
            const char *name;
            QStringList options;
            QString came;
        } faults[] = {
            {"never answers", {p + "silent"}, {}},
            // Later than the time-out (300 ms for the synthesizer, 1000 ms for the others).
            {"answers late", {p + "answer-delay-ms", instrument.instrument == Synthesizer ? "700" : "1500"}, {}},
            {"answers byte by byte", {p + "split-bytes", "1", p + "split-gap-ms", "2"}, {}},
            {"answers garbage", {p + "garbage"}, R"("#\x01garbage,,;x\xff")"},
            {"answers NaN", {p + "nan"}, R"("NaN")"},
            {"closes mid-answer", {p + "split-bytes", "3", p + "close-mid-answer"}, {}},
            {"refuses the connection", {"refuse"}, {}},
        };
        for (const auto &fault : faults)
            QTest::addRow("%s %s", instrument.name, fault.name) << instrument.instrument << fault.options
                                                                << fault.came;
    }
}

void tst_FaultMatrix::faults()
{
    QFETCH(Instrument, instrument);
    QFETCH(QStringList, fault);
    QFETCH(QString, came);
    const bool refuse = fault == QStringList{"refuse"};
    BenchSimProcess sim(QStringList{"--echo-frequency"} + (refuse ? QStringList() : fault));
    QVERIFY(sim.isReady());
    QTemporaryDir dir;
    QThread thread;
    auto *worker = new DevicesWork;
    worker->moveToThread(&thread);
    thread.start();
    // Also when a check fails half-way: a thread still running at its destruction is fatal.
    const auto stopWorker = qScopeGuard([&] {
        worker->requestStop();
        thread.quit();
        thread.wait();
        delete worker;
        XlsxDocument::clearCache();
    });
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
    QueuedSpy points(worker, &DevicesWork::pointMeasured);
    QueuedSpy readingLabels(worker, &DevicesWork::labelAnswerFromPowerMeter);
    QueuedSpy minimumLabels(worker, &DevicesWork::labelMinimumSpur);
    QueuedSpy troubles(worker, &DevicesWork::instrumentTrouble);
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
                QVERIFY2(carrier == 1.0 || carrier == 1.1, qPrintable(it.value()));
                QVERIFY(carrier > previous);
                previous = carrier;
            }
        }
        for (const QList<QVariant> &label : qAsConst(minimumLabels)) {
            bool number = false;
            label.at(0).toString().mid(QStringLiteral("Min spur = ").size()).toDouble(&number);
            QVERIFY2(number, qPrintable(label.at(0).toString()));
        }
    } else {
        const auto cells = WorkbookDump::cells(
            WorkbookDump::dump(worker->reportWriter()->workbookPath(QStringLiteral("Table -10 dBm"))),
            QStringLiteral("Лист 1"));
        for (auto it = cells.cbegin(); it != cells.cend(); ++it)
            QVERIFY2(it.key().mid(1).toInt() <= grid.size(), qPrintable(it.key()));
        // Every point keeps its row and is reported, whatever its readings.
        QCOMPARE(points.size(), grid.size());
        QCOMPARE(readingLabels.size(), grid.size());
        for (int i = 0; i < grid.size(); ++i) {
            const QString row = QString::number(i + 1);
            const double f = grid.at(i);
            QCOMPARE(cells.value("A" + row), QStringLiteral("n:") + QString::number(f));
            for (const char *column : {"B", "C", "D"})
                QVERIFY2(valueOrNone(cells.value(column + row), f), qPrintable(column + row + ' ' + cells.value(column + row)));
            // The healthy instrument's readings are all there.
            if (instrument == Synthesizer) {
                QCOMPARE(cells.value("B" + row), QStringLiteral("n:") + QString::number(f));
            } else {
                QCOMPARE(cells.value("C" + row), QStringLiteral("n:") + QString::number(f));
                QCOMPARE(cells.value("D" + row), QStringLiteral("n:") + QString::number(f));
            }
            const MeasuredPoint point = points.at(i).at(0).value<MeasuredPoint>();
            QCOMPARE(point.frequency, f);
            QVERIFY(point.reading == f || std::isnan(point.reading));
            QVERIFY(point.fetchedPower == f || std::isnan(point.fetchedPower));
            const QString label = readingLabels.at(i).at(0).toString();
            QVERIFY2(label == QString::number(f) || label == QStringLiteral("—"), qPrintable(label));
        }
    }
    if (!came.isEmpty()) {
        const QString name = instrument == Synthesizer ? QStringLiteral("Synthesizer")
                             : instrument == PowerMeter ? QStringLiteral("Power meter")
                                                        : QStringLiteral("Spectrum analyzer");
        QStringList quoting;
        for (const QList<QVariant> &trouble : qAsConst(troubles))
            if (trouble.at(0).toString() == name && trouble.at(1).toString().endsWith(QStringLiteral(": ") + came))
                quoting << trouble.at(1).toString();
        QVERIFY2(!quoting.isEmpty(), qPrintable(came));
    }
}

QTEST_GUILESS_MAIN(tst_FaultMatrix)
#include "tst_FaultMatrix.moc"
