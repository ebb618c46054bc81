#include "BenchSimProcess.h"
#include "Corrections.h"
#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "MeasurementTypes.h"
#include "InThread.h"
#include "Pause.h"
#include "QueuedSpy.h"
#include "SignalWait.h"
#include "SqliteStore.h"
#include "WorkbookDump.h"
#include "XlsxDocument.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

// The worker in its thread against a running bench simulator, with the pauses recorded.
class BenchRig
{
public:
    // storePath: the results store the worker records its runs in; empty: none.
    explicit BenchRig(const QStringList &simulatorArguments, const QString &storePath = QString())
        : sim(QStringList{QStringLiteral("--verbose")} + simulatorArguments)
    {
        MeasurementTypes::registerAll();
        Pause::setSleepFunction([this](unsigned long ms) {
            QMutexLocker lock(&mutex);
            pauses << int(ms);
        });
        worker = new DevicesWork;
        worker->setStorePath(storePath);
        worker->moveToThread(&thread);
        thread.start();
        worker->initialization();
        runInThread(worker, [this] { worker->reportWriter()->setDirectory(dir.path()); });
    }
    ~BenchRig()
    {
        worker->requestStop();
        sync();
        thread.quit();
        thread.wait();
        delete worker;
        Pause::setSleepFunction({});
        XlsxDocument::clearCache();
    }
    void sync() { runInThread(worker, [] {}); }

    bool connectAll()
    {
        QueuedSpy synth(worker, &DevicesWork::deviceConnected);
        QueuedSpy meter(worker, &DevicesWork::powerMeterConnected);
        QueuedSpy analyzer(worker, &DevicesWork::spectrumAnalyzerConnected);
        worker->connectToDevice(sim.synthAddress());
        worker->connectToPowerMeter(sim.powerMeterAddress());
        worker->connectToSpectrumAnalyzer(sim.analyzerAddress());
        worker->rfOn();
        for (QueuedSpy *spy : {&synth, &meter, &analyzer})
            if (spy->isEmpty() && !waitForSignals(*spy, 3000))
                return false;
        return true;
    }
    QList<int> recordedPauses()
    {
        QMutexLocker lock(&mutex);
        return pauses;
    }
    QMap<QString, QString> cells(const QString &workbook)
    {
        return WorkbookDump::cells(WorkbookDump::dump(worker->reportWriter()->workbookPath(workbook)),
                                   QStringLiteral("Лист 1"));
    }

    BenchSimProcess sim;
    QThread thread;
    DevicesWork *worker = nullptr;
    QTemporaryDir dir;

private:
    QMutex mutex;
    QList<int> pauses;
};

ValueForm spurForm(bool rohdeSchwarz)
{
    ValueForm form;
    form.freqStart = 1000;
    form.freqStop = 1020;
    form.pointsCount = 3;
    form.power = -10;
    form.pointsMode = true;
    form.delay = 5;
    form.rohdeSchwarz = rohdeSchwarz;
    form.span = 20;
    form.displayLine = 60;
    return form;
}

QStringList times(int count, const QString &line)
{
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << line;
    return lines;
}

} // namespace

class tst_Measurements : public QObject
{
    Q_OBJECT

private slots:
    void spurMeasurement_data();
    void spurMeasurement();
    void referenceLevelCorrection_data();
    void referenceLevelCorrection();
    void thresholdBase_data();
    void thresholdBase();
    void silentAnalyzerStopsTheRun();
    void cyclingSpurRunKeepsItsOwnWorkbooks();
    void aSpurAboveItsLimitFailsItsPoint();
    void aSlopedAnalyzerPathIsCorrectedAtEachPeak_data();
    void aSlopedAnalyzerPathIsCorrectedAtEachPeak();
    void spurPausesFollowTheFrequency();
    void powerMeasurementWritesTheBenchValues();
};

void tst_Measurements::spurMeasurement_data()
{
    QTest::addColumn<bool>("rohdeSchwarz");
    QTest::addColumn<bool>("identify"); // the run records its instruments' identities
    QTest::newRow("R&S") << true << false;
    QTest::newRow("KVD4471B") << false << false;
    QTest::newRow("R&S, identified") << true << true;
    QTest::newRow("KVD4471B, identified") << false << true;
}

void tst_Measurements::spurMeasurement()
{
    QFETCH(bool, rohdeSchwarz);
    QFETCH(bool, identify);
    QTemporaryDir storeDir;
    const QString storePath = identify ? storeDir.filePath(QStringLiteral("runs.sqlite")) : QString();
    BenchRig rig({QStringLiteral("--analyzer-model"), rohdeSchwarz ? QStringLiteral("rs") : QStringLiteral("kvd")},
                 storePath);
    QVERIFY2(rig.sim.isReady(), qPrintable(rig.sim.standardError()));
    QVERIFY(rig.connectAll());
    rig.worker->setIdentify(identify);
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy points(rig.worker, &DevicesWork::labelCountPointsSpurs);
    QueuedSpy minimum(rig.worker, &DevicesWork::labelMinimumSpur);
    QueuedSpy count(rig.worker, &DevicesWork::labelCountSpurs);
    QueuedSpy stepText(rig.worker, &DevicesWork::freqStep);
    rig.worker->measureSpectrum(spurForm(rohdeSchwarz));
    QVERIFY(waitForSignals(stopped, 60000));

    QCOMPARE(stepText.at(0).at(0).toString(), QStringLiteral("10"));
    QCOMPARE(points.size(), 3);
    QCOMPARE(points.at(2).at(0).toString(), QStringLiteral("3"));
    // The first point sees the adjusted 10 MHz window: the carrier, spurs 2 MHz above (48 dB
    // down) and 2.5 MHz below it (58 dB down), and a peak 0.4 MHz above, which is no spur.
    // Later windows reach 20 MHz above the carrier: spurs at 15, 2 and 7.5 MHz (45, 48 and 52 dB
    // down) and the 0.4 MHz peak.
    QCOMPARE(minimum.size(), 3);
    QCOMPARE(minimum.at(0).at(0).toString(), QStringLiteral("Min spur = 48"));
    QCOMPARE(minimum.at(2).at(0).toString(), QStringLiteral("Min spur = 45"));
    QCOMPARE(count.at(0).at(0).toString(), QStringLiteral("2"));
    QCOMPARE(count.at(2).at(0).toString(), QStringLiteral("8"));

    QStringList analyzer = rig.sim.receivedLines(QStringLiteral("spectrum analyzer"));
    // Asked first and once; the lines after it are the same.
    if (identify)
        QCOMPARE(analyzer.takeFirst(), QStringLiteral("*IDN?"));
    QVERIFY(!analyzer.contains(QStringLiteral("*IDN?")));
    QCOMPARE(rig.sim.receivedLines(QStringLiteral("synthesizer")).count(QStringLiteral("*IDN?")), int(identify));
    if (identify) {
        rig.worker->closeStore();
        rig.sync();
        QStringList announcements;
        QCOMPARE(SqliteStore::open(storePath, SqliteStore::Mode::Read, &announcements)->runs(RunFilter()).value(0).identities,
                 QStringLiteral("synthesizer: Orvane,SG-Sim,000001,1.0\nspectrum analyzer: ")
                     + (rohdeSchwarz ? "Rohde&Schwarz,FSx-Sim,000003,1.0" : "KVD,KVD4471B-Sim,000004,1.0"));
    }
    QStringList firstPoint;
    if (rohdeSchwarz) {
        firstPoint << "ADJust:ALL" << "DISP:WIND:TRAC:Y:RLEV -7.0000 dBm" << "SWE:POIN 32000"
                   << "BAND:VID 50 Hz" << "SWE:POIN 32000" << "Freq:Span 10 MHz" << "BAND 300 Hz"
                   << times(10, "calc:mark:max") << "calc:mark:x?" << "calc:mark:y?" << "calc:thr:stat on";
    } else {
        firstPoint << "sens:freq:tune:imm" << "calc:mark:max" << "calc:mark:x?" << "calc:mark:y?"
                   << "calc:thr:stat on";
    }
    QCOMPARE(analyzer.mid(0, firstPoint.size()), firstPoint);
    const QString threshold = analyzer.at(firstPoint.size());
    const QString thresholdCommand = rohdeSchwarz ? "calc:thr " : "calc:mark:peak:thr ";
    QVERIFY2(threshold.startsWith(thresholdCommand), qPrintable(threshold));
    QVERIFY(qAbs(threshold.mid(thresholdCommand.size()).toDouble() - -71.48) < 0.3);
    const QStringList search = rohdeSchwarz
                                   ? QStringList{"calc:mark:func:fpe:sort y", "calc:mark:func:fpe:stat on",
                                                 "calc:mark:func:fpe:y?", "calc:mark:func:fpe:x?"}
                                   : QStringList{"calc:mark:peak:exc:stat off", "calc:mark:peak:sort ampl",
                                                 "calc:mark:peak:table:stat on", "trac:math:peak?"};
    QCOMPARE(analyzer.mid(firstPoint.size() + 1, search.size()), search);
    const int second = firstPoint.size() + 1 + search.size();
    QCOMPARE(analyzer.mid(second, 2), (QStringList{"FREQ:STAR 1009.9000 MHz", "FREQ:STOP 1030.0000 MHz"}));
    QVERIFY(!analyzer.join('\n').contains(rohdeSchwarz ? "peak:table" : "fpe"));

    const QList<int> pauses = rig.recordedPauses();
    QCOMPARE(pauses.mid(0, 3), (QList<int>{150, 7000, 1}));
    QCOMPARE(pauses.mid(3), (QList<int>{5, 1, 5, 1}));

    const QMap<QString, QString> cells = rig.cells(QStringLiteral("Table spur"));
    QVERIFY(cells.value("A1").startsWith("d:"));
    QCOMPARE(cells.value("D1"), QStringLiteral("s:SPAN 20"));
    QCOMPARE(cells.value("A4"), QStringLiteral("s:Частота, ГГц"));
    auto ghz = [](double value) { return QStringLiteral("n:") + QString::number(value, 'g', 15); };
    QCOMPARE(cells.value("A5"), ghz(1));
    QCOMPARE(cells.value("C5"), ghz(1.002));
    QCOMPARE(cells.value("E5"), ghz(1.0004));
    QCOMPARE(cells.value("G5"), ghz(0.9975));
    QCOMPARE(cells.value("R5"), QStringLiteral("s:48"));
    for (int point = 1; point < 3; ++point) {
        const QString row = QString::number(5 + point);
        const double carrier = 1 + point * 0.01;
        QCOMPARE(cells.value("A" + row), QStringLiteral("n:") + QString::number(carrier, 'g', 15));
        QVERIFY(qAbs(cells.value("B" + row).mid(2).toDouble() - -11.48) < 0.2);
        QCOMPARE(cells.value("C" + row), QStringLiteral("n:") + QString::number(carrier + 0.015, 'g', 15));
        QCOMPARE(cells.value("E" + row), QStringLiteral("n:") + QString::number(carrier + 0.002, 'g', 15));
        QCOMPARE(cells.value("I" + row), QStringLiteral("n:") + QString::number(carrier + 0.0004, 'g', 15));
        QVERIFY(!cells.contains("K" + row));
        QCOMPARE(cells.value("R" + row), QStringLiteral("s:45"));
    }
    QVERIFY(!cells.contains("A8"));
}

void tst_Measurements::referenceLevelCorrection_data()
{
    QTest::addColumn<QString>("loss");
    QTest::addColumn<bool>("corrected");
    QTest::newRow("carrier 1.5 dB down") << "1.5" << false;
    QTest::newRow("carrier 0.5 dB down") << "0.5" << true;
    QTest::newRow("carrier 3 dB down") << "3" << true;
}

void tst_Measurements::referenceLevelCorrection()
{
    QFETCH(QString, loss);
    QFETCH(bool, corrected);
    BenchRig rig({QStringLiteral("--analyzer-model"), QStringLiteral("kvd"), QStringLiteral("--analyzer-loss"), loss});
    QVERIFY(rig.sim.isReady());
    QVERIFY(rig.connectAll());
    ValueForm form = spurForm(false);
    form.pointsCount = 1;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 30000));
    const QStringList analyzer = rig.sim.receivedLines(QStringLiteral("spectrum analyzer"));
    const int marker = analyzer.indexOf(QStringLiteral("calc:mark:y?"));
    QVERIFY(marker > 0);
    QCOMPARE(analyzer.at(marker + 1) == QLatin1String("DISP:WIND:TRAC:Y:RLEV -9.0000 dBm"), corrected);
    QCOMPARE(analyzer.filter(QStringLiteral("RLEV")).size(), corrected ? 1 : 0);
}

void tst_Measurements::thresholdBase_data()
{
    QTest::addColumn<double>("power");
    QTest::addColumn<double>("threshold");
    // The carrier arrives about 1.48 dB below the output power.
    QTest::newRow("carrier -25 dBm") << -23.52 << -85.0;
    QTest::newRow("carrier -35 dBm is replaced by -20 dBm") << -33.52 << -80.0;
}

void tst_Measurements::thresholdBase()
{
    QFETCH(double, power);
    QFETCH(double, threshold);
    BenchRig rig({QStringLiteral("--analyzer-model"), QStringLiteral("rs")});
    QVERIFY(rig.sim.isReady());
    QVERIFY(rig.connectAll());
    ValueForm form = spurForm(true);
    form.pointsCount = 1;
    form.power = power;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 30000));
    const QStringList sent = rig.sim.receivedLines(QStringLiteral("spectrum analyzer")).filter(QRegularExpression("^calc:thr -"));
    QCOMPARE(sent.size(), 1);
    QVERIFY2(qAbs(sent.first().mid(9).toDouble() - threshold) < 0.2, qPrintable(sent.first()));
}

void tst_Measurements::silentAnalyzerStopsTheRun()
{
    BenchRig rig({QStringLiteral("--analyzer-silent")});
    QVERIFY(rig.sim.isReady());
    QVERIFY(rig.connectAll());
    // As the window does: a stop request answers stopMeasureSpectrum.
    connect(rig.worker, &DevicesWork::stopMeasureSpectrum, this, [&rig] { rig.worker->requestStop(); });
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy stopRequests(rig.worker, &DevicesWork::stopMeasureSpectrum);
    QueuedSpy points(rig.worker, &DevicesWork::labelCountPointsSpurs);
    ValueForm form = spurForm(true);
    form.pointsCount = 20;
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 30000));
    QVERIFY(stopRequests.size() >= 1);
    QVERIFY(points.size() <= 2);
    QVERIFY(rig.sim.receivedLines(QStringLiteral("spectrum analyzer")).filter("calc:thr").isEmpty());
    QVERIFY(!QFile::exists(rig.worker->reportWriter()->workbookPath(QStringLiteral("Table spur"))));
}

void tst_Measurements::cyclingSpurRunKeepsItsOwnWorkbooks()
{
    BenchRig rig({QStringLiteral("--analyzer-model"), QStringLiteral("kvd")});
    QVERIFY(rig.sim.isReady());
    QVERIFY(rig.connectAll());
    ValueForm form = spurForm(false);
    form.pointsCount = 1;
    // 9, then 12; 15 would reach the ceiling, which a pass stays below.
    form.power = 9;
    form.cycle = true;
    rig.worker->setCycle(true, 3);
    // The carrier, 1.4 dB below the output power, is judged against each pass's own power.
    form.limits.present = true;
    form.limits.relativeTo = MeasurementLimits::RelativeTo::Output;
    form.limits.upper = {{1000, -1}, {1020, -1}};
    form.limits.lower = {{1000, -2}, {1020, -2}};
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy powers(rig.worker, &DevicesWork::changePower);
    QueuedSpy judged(rig.worker, &DevicesWork::runJudged);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 30000));
    const RunJudgement run = judged.at(0).at(0).value<RunJudgement>();
    QCOMPARE(run.summary(), QStringLiteral("PASS"));
    QCOMPARE(run.passes.size(), 2);
    QCOMPARE(run.passes.at(1).outputPower, 12.0);
    QCOMPARE(powers.size(), 1);
    QCOMPARE(powers.at(0).at(0).toDouble(), 12.0);
    QCOMPARE(rig.cells(QStringLiteral("Table spur")).value("A5"), QStringLiteral("n:1"));
    QCOMPARE(rig.cells(QStringLiteral("Table spur 12 dBm")).value("A5"), QStringLiteral("n:1"));
    QVERIFY(!QFile::exists(rig.worker->reportWriter()->workbookPath(QStringLiteral("Table 12 dBm"))));
    QVERIFY(!QFile::exists(rig.worker->reportWriter()->workbookPath(QStringLiteral("Table spur 15 dBm"))));
}

void tst_Measurements::aSpurAboveItsLimitFailsItsPoint()
{
    // A spur 15 MHz above the carrier, 42 dB down, comes into view at the second point, whose
    // window reaches 20 MHz above it; the first sees the one 2 MHz above, 48 dB down.
    BenchRig rig({QStringLiteral("--spurs"), QStringLiteral("2:48,15:42")});
    QVERIFY2(rig.sim.isReady(), qPrintable(rig.sim.standardError()));
    QVERIFY(rig.connectAll());
    ValueForm form = spurForm(true);
    form.limits.present = true;
    form.limits.maxSpur = {{1000, -44}, {1020, -44}};
    form.limits.lower = {{1000, -20}, {1020, -20}}; // the carrier, about -11.5 dBm
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy points(rig.worker, &DevicesWork::pointMeasured);
    QueuedSpy judged(rig.worker, &DevicesWork::runJudged);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 60000));
    QString grades;
    for (const QList<QVariant> &point : qAsConst(points))
        grades += Verdict::text(point.at(0).value<MeasuredPoint>().judgement.grade) + QLatin1Char(' ');
    QCOMPARE(grades, QStringLiteral("PASS FAIL FAIL "));
    QCOMPARE(judged.size(), 1);
    const RunJudgement run = judged.at(0).at(0).value<RunJudgement>();
    QCOMPARE(run.grade, Verdict::Grade::Fail);
    QCOMPARE(run.summary(), QStringLiteral("FAIL: 2 points with a spur above the limit, worst +2 dB at 1,010 MHz"));
    const Verdict::Tally::Failure first = run.tally.firstFailures.first();
    QCOMPARE(first.number, quint64(2));
    QCOMPARE(first.judgement.spurLimit, -44.0);
    QVERIFY(qAbs(first.judgement.value - -42) < 0.01);
}

void tst_Measurements::aSlopedAnalyzerPathIsCorrectedAtEachPeak_data()
{
    QTest::addColumn<QByteArray>("text");  // the path's table, simulated and corrected
    QTest::addColumn<QString>("spurs");    // benchsim's
    QTest::addColumn<double>("spurLevel"); // the strongest spur at the unit, dBc

    // 0.05 dB/MHz: the spur 15 MHz above its carrier loses 0.75 dB more on its way to the
    // analyzer than the carrier does, and reads 42.75 dB down instead of 42.
    QTest::newRow("a gentle slope") << QByteArray("frequency_mhz,loss_db\n900,0\n1100,10\n") << "15:42" << -42.0;
    // A step of 5 dB just above the carrier: the spur 2 MHz above it reads weaker at the analyzer
    // than the one below, and is the stronger at the unit.
    QTest::newRow("a step that ranks the spurs otherwise")
        << QByteArray("frequency_mhz,loss_db\n900,0\n1000,0\n1002,5\n1100,5\n") << "-0.4:52,2:50" << -50.0;
}

void tst_Measurements::aSlopedAnalyzerPathIsCorrectedAtEachPeak()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, spurs);
    QFETCH(double, spurLevel);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("analyzer path.csv"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    BenchRig rig({QStringLiteral("--spurs"), spurs, QStringLiteral("--path-loss-analyzer"), path});
    QVERIFY2(rig.sim.isReady(), qPrintable(rig.sim.standardError()));
    QVERIFY(rig.connectAll());
    ValueForm form = spurForm(true);
    form.correction = Corrections::parse(text, QStringLiteral("analyzer path.csv")).table;
    form.correction.path = Corrections::Path::Analyzer;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    QueuedSpy points(rig.worker, &DevicesWork::pointMeasured);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 60000));
    QCOMPARE(points.size(), 3);
    int found = 0;
    for (const QList<QVariant> &signal : qAsConst(points)) {
        const MeasuredPoint point = signal.at(0).value<MeasuredPoint>();
        // The unit's output again, within the analyzer's noise.
        QVERIFY2(qAbs(point.carrierLevel - -10) < 0.3, qPrintable(QString::number(point.carrierLevel)));
        QVERIFY(qAbs(point.correction - Corrections::lossAt(form.correction, point.frequency)) < 0.01);
        if (point.hasSpur) {
            ++found;
            QVERIFY2(qAbs(point.spurLevel - spurLevel) < 0.3, qPrintable(QString::number(point.spurLevel)));
        }
    }
    QVERIFY(found > 0);
}

void tst_Measurements::spurPausesFollowTheFrequency()
{
    // Above 18300 MHz the analyzer settles 500 ms longer, above 19300 MHz its marker 50 ms.
    BenchRig rig({QStringLiteral("--analyzer-model"), QStringLiteral("kvd")});
    QVERIFY(rig.sim.isReady());
    QVERIFY(rig.connectAll());
    ValueForm form = spurForm(false);
    form.freqStart = 17300;
    form.freqStop = 20300;
    form.pointsCount = 4;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    rig.worker->measureSpectrum(form);
    QVERIFY(waitForSignals(stopped, 30000));
    QCOMPARE(rig.recordedPauses(), (QList<int>{150, 7000, 1, 505, 1, 505, 1, 505, 50}));
}

void tst_Measurements::powerMeasurementWritesTheBenchValues()
{
    BenchRig rig({});
    QVERIFY(rig.sim.isReady());
    QVERIFY(rig.connectAll());
    ValueFormMeasurePower form;
    form.freqStart = 1000;
    form.freqStop = 5000;
    form.pointsCount = 5;
    form.power = -10;
    form.pointsMode = true;
    form.channelA = true;
    form.fetchValues = true;
    QueuedSpy stopped(rig.worker, &DevicesWork::stopingMeasure);
    rig.worker->measurePower(form);
    QVERIFY(waitForSignals(stopped, 60000));
    const QMap<QString, QString> cells = rig.cells(QStringLiteral("Table -10 dBm"));
    double previous = 0;
    for (int row = 1; row <= 5; ++row) {
        const QString r = QString::number(row);
        QCOMPARE(cells.value("A" + r), QStringLiteral("n:") + QString::number(1000 * row));
        const double reading = cells.value("B" + r).mid(2).toDouble();
        // The simulated cable loses 0.4 to 1.5 dB, more at higher frequencies.
        QVERIFY2(reading < -10.3 && reading > -11.8, qPrintable(cells.value("B" + r)));
        if (row > 1)
            QVERIFY(reading < previous + 0.2);
        previous = reading;
        QCOMPARE(cells.value("C" + r), QStringLiteral("n:-10"));
        const double temperature = cells.value("D" + r).mid(2).toDouble();
        QVERIFY(temperature > 30 && temperature < 45);
    }
}

QTEST_GUILESS_MAIN(tst_Measurements)
#include "tst_Measurements.moc"
