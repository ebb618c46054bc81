#include "BenchSimProcess.h"
#include "Corrections.h"
#include "OrvaneDeviceDriver.h"
#include "PowerMeterDriver.h"
#include "SpectrumAnalyzerDriver.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

// The simulator checked through the application's own synthesizer driver.
class tst_benchsim : public QObject
{
    Q_OBJECT

private:
    bool connectLan(OrvaneDeviceDriver &driver, const QString &address)
    {
        QSignalSpy connected(&driver, &OrvaneDeviceDriver::deviceConnected);
        driver.connectToDevice(address);
        driver.readAnswer();
        return !connected.isEmpty() || connected.wait(3000);
    }

    QString ask(OrvaneDeviceDriver &driver, const QString &query)
    {
        QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
        driver.setCommand(query);
        driver.readAnswer();
        return labels.isEmpty() ? QString() : labels.constLast().at(0).toString();
    }

private slots:
    void answersOverLanAndSerial();
    void settingsAreSharedAcrossConnections();
    void powerDetectorFollowsRf();
    void unknownQueryGetsErrorLine();
    void lateAnswersOption();
    void closeAfterOption();
    void refusesNonLoopbackAddress();
    void powerMeterFollowsSynthesizer();
    void analyzerSeesCarrierAndSpurs_data();
    void analyzerSeesCarrierAndSpurs();
    void pathLossLowersReadings_data();
    void pathLossLowersReadings();
};

void tst_benchsim::answersOverLanAndSerial()
{
    BenchSimProcess sim({QStringLiteral("--serial")});
    QVERIFY2(sim.isReady(), qPrintable(sim.standardError()));
    QVERIFY(!sim.serialPath().isEmpty());

    OrvaneDeviceDriver lan;
    QVERIFY(connectLan(lan, sim.synthAddress()));
    QVERIFY(ask(lan, QStringLiteral("*IDN?")).startsWith(QLatin1String("Orvane,")));

    OrvaneDeviceDriver serial;
    QSignalSpy opened(&serial, &OrvaneDeviceDriver::textIsOpenPort);
    serial.connectToDeviceUsbCom(sim.serialPath());
    QCOMPARE(opened.size(), 1);
    const QString idn = ask(serial, QStringLiteral("*IDN?"));
    QVERIFY2(idn.startsWith(QLatin1String("Orvane,")) && idn.endsWith(QLatin1Char('\n')),
             qPrintable(idn));
}

void tst_benchsim::settingsAreSharedAcrossConnections()
{
    BenchSimProcess sim({QStringLiteral("--serial")});
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver setter;
    QVERIFY(connectLan(setter, sim.synthAddress()));
    setter.setFrequency(1234.5);
    setter.setAmplitude(-7.25);
    setter.setAmDepth(30);

    OrvaneDeviceDriver reader;
    reader.connectToDeviceUsbCom(sim.serialPath());
    QCOMPARE(ask(reader, QStringLiteral("FREQ:CW?")).toDouble(), 1234.5e6);
    QCOMPARE(ask(reader, QStringLiteral("POWER?")).toDouble(), -7.25);
    QCOMPARE(ask(reader, QStringLiteral("AM:DEPTH?")), QStringLiteral("30.00000000\n"));
}

void tst_benchsim::powerDetectorFollowsRf()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, sim.synthAddress()));
    driver.setAmplitude(-5);
    driver.rfOff();
    QVERIFY(driver.fetchPower() < -60);
    driver.rfOn();
    QVERIFY(qAbs(driver.fetchPower() - -5.0) < 1.0);
    QCOMPARE(ask(driver, QStringLiteral("OUTPUT?")), QStringLiteral("1\n"));
    const double temperature = driver.readTemperature();
    QVERIFY(temperature > 20 && temperature < 60);
}

void tst_benchsim::unknownQueryGetsErrorLine()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, sim.synthAddress()));
    driver.setCommand(QStringLiteral("NO:SUCH:THING 5"));
    const QString answer = ask(driver, QStringLiteral("NO:SUCH:THING?"));
    QVERIFY2(answer.contains(QLatin1String("Undefined header")) && answer.endsWith(QLatin1Char('\n')),
             qPrintable(answer));
}

void tst_benchsim::lateAnswersOption()
{
    BenchSimProcess sim({QStringLiteral("--answer-delay-ms"), QStringLiteral("500")});
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, sim.synthAddress()));
    driver.setAmplitude(-3);
    driver.rfOn();
    QCOMPARE(driver.fetchPower(), qQNaN());
    QTest::qWait(400);
    // The late detector reading is dropped; the temperature query gets its own late answer,
    // which again misses the 300 ms window.
    QCOMPARE(driver.readTemperature(), qQNaN());
}

void tst_benchsim::closeAfterOption()
{
    BenchSimProcess sim({QStringLiteral("--synth-close-after"), QStringLiteral("2")});
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver driver;
    QSignalSpy disconnected(&driver, &OrvaneDeviceDriver::deviceDisconnected);
    QVERIFY(connectLan(driver, sim.synthAddress()));
    driver.rfOn();
    driver.rfOff();
    QTRY_COMPARE(disconnected.size(), 1);
}

void tst_benchsim::refusesNonLoopbackAddress()
{
    QProcess process;
    process.start(QStringLiteral(BENCHSIM_PATH),
                  {QStringLiteral("--synth-address"), QStringLiteral("0.0.0.0")});
    QVERIFY(process.waitForFinished(5000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("loopback"));
}

void tst_benchsim::powerMeterFollowsSynthesizer()
{
    BenchSimProcess sim;
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver synth;
    QVERIFY(connectLan(synth, sim.synthAddress()));
    PowerMeterDriver meter;
    QSignalSpy connected(&meter, &PowerMeterDriver::powerMeterConnected);
    meter.connectToPowerMeter(sim.powerMeterAddress());
    QVERIFY(connected.wait(3000));

    synth.setFrequency(1000);
    synth.setAmplitude(-10);
    synth.rfOn();
    meter.setFrequencyChannelA(1000);
    meter.setFrequencyChannelB(1000);
    const double a = meter.fetchChannelA();
    const double b = meter.fetchChannelB();
    QVERIFY2(a < -10.0 && a > -11.5, QByteArray::number(a));
    QVERIFY2(b < -10.0 && b > -11.5, QByteArray::number(b));
    // Cable loss grows with frequency.
    synth.setFrequency(6000);
    QVERIFY(meter.fetchChannelA() < a);
    synth.rfOff();
    const double off = meter.fetchChannelA();
    QVERIFY2(off < -65 && off > -75, QByteArray::number(off));
}

void tst_benchsim::analyzerSeesCarrierAndSpurs_data()
{
    QTest::addColumn<bool>("rohdeSchwarz");
    QTest::newRow("R&S") << true;
    QTest::newRow("KVD4471B") << false;
}

void tst_benchsim::analyzerSeesCarrierAndSpurs()
{
    QFETCH(bool, rohdeSchwarz);
    BenchSimProcess sim({QStringLiteral("--verbose"), QStringLiteral("--analyzer-model"),
                         rohdeSchwarz ? QStringLiteral("rs") : QStringLiteral("kvd")});
    QVERIFY(sim.isReady());
    OrvaneDeviceDriver synth;
    QVERIFY(connectLan(synth, sim.synthAddress()));
    SpectrumAnalyzerDriver analyzer;
    QSignalSpy connected(&analyzer, &SpectrumAnalyzerDriver::spectrumAnalyzerConnected);
    analyzer.connectToAnalyzer(sim.analyzerAddress());
    QVERIFY(connected.wait(3000));

    synth.setFrequency(1000);
    synth.setAmplitude(-10);
    synth.rfOn();
    if (rohdeSchwarz)
        analyzer.adjustAll();
    else
        analyzer.tuneImmediate();
    analyzer.markerToMaximum();
    QCOMPARE(analyzer.markerFrequency(), QList<double>{1e9});
    const QList<double> marker = analyzer.markerLevel();
    QCOMPARE(marker.size(), 1);
    QVERIFY2(qAbs(marker.first() - -10.0) < 2.0, QByteArray::number(marker.first()));

    analyzer.thresholdOn();
    QList<double> frequencies;
    QList<double> levels;
    if (rohdeSchwarz) {
        analyzer.setThreshold(marker.first() - 60);
        analyzer.sortPeakListByLevel();
        analyzer.peakListOn();
        levels = analyzer.peakListLevels();
        frequencies = analyzer.peakListFrequencies();
        // The other model's peak table is not understood.
        QVERIFY(analyzer.peakTable().isEmpty());
    } else {
        analyzer.setPeakThreshold(marker.first() - 60);
        analyzer.peakExcursionOff();
        analyzer.sortPeakTableByAmplitude();
        analyzer.peakTableOn();
        const QList<double> table = analyzer.peakTable();
        QCOMPARE(table.size() % 2, 0);
        for (int i = 0; i + 1 < table.size(); i += 2) {
            frequencies << table.at(i);
            levels << table.at(i + 1);
        }
    }
    // Carrier first, then the spurs above the threshold inside the adjusted 10 MHz window.
    QCOMPARE(frequencies.size(), 4);
    QCOMPARE(levels.size(), 4);
    QCOMPARE(frequencies.first(), 1e9);
    QVERIFY(std::is_sorted(levels.rbegin(), levels.rend()));
    QVERIFY(frequencies.contains(1002e6));
    QVERIFY(frequencies.contains(1000.4e6));
    for (double level : qAsConst(levels))
        QVERIFY(level > marker.first() - 60);

    // A window moved above the carrier finds the spurs there only.
    analyzer.setStartFrequency(1001);
    analyzer.setStopFrequency(1010);
    QCOMPARE(analyzer.markerFrequency(), QList<double>{1002e6});

    // A pass's first point: the adjustment has been read before the synthesizer moves, and
    // still centres on the carrier where it is once the adjustment ends.
    rohdeSchwarz ? analyzer.adjustAll() : analyzer.tuneImmediate();
    const QString adjustment = rohdeSchwarz ? QStringLiteral("ADJust:ALL") : QStringLiteral("sens:freq:tune:imm");
    QTRY_VERIFY(sim.receivedLines(QStringLiteral("spectrum analyzer")).contains(adjustment));
    synth.setFrequency(10000);
    QCOMPARE(ask(synth, QStringLiteral("FREQ:CW?")).toDouble(), 10e9);
    analyzer.markerToMaximum();
    QCOMPARE(analyzer.markerFrequency(), QList<double>{10e9});
}

void tst_benchsim::pathLossLowersReadings_data()
{
    QTest::addColumn<bool>("analyzer");
    QTest::addColumn<double>("signal");    // MHz: the frequency of the level read
    QTest::addColumn<double>("loss");      // the table's at the signal's own frequency, dB
    QTest::addColumn<double>("below");     // the signal's level at the unit below the output power, dB

    // The synthesizer puts out -10 dBm; the analyzer looks at a 1000 MHz carrier and at its 48 dBc
    // spur 2 MHz above, with the table's rise from 3 to 5 dB between the two.
    QTest::newRow("meter at a table point") << false << 1000.0 << 3.0 << 0.0;
    QTest::newRow("meter between points") << false << 3501.0 << 9.0 << 0.0;
    QTest::newRow("analyzer, carrier") << true << 1000.0 << 3.0 << 0.0;
    QTest::newRow("analyzer, spur") << true << 1002.0 << 5.0 << 48.0;
}

void tst_benchsim::pathLossLowersReadings()
{
    QFETCH(bool, analyzer);
    QFETCH(double, signal);
    QFETCH(double, loss);
    QFETCH(double, below);
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("path.csv"));
    const QByteArray table = "frequency_mhz,loss_db\n500,2\n1000,3\n1002,5\n6000,13\n";
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(table) == table.size());
    file.close();
    BenchSimProcess sim({QStringLiteral("--path-loss-meter"), name, QStringLiteral("--path-loss-analyzer"), name});
    QVERIFY2(sim.isReady(), qPrintable(sim.standardError()));
    OrvaneDeviceDriver synth;
    QVERIFY(connectLan(synth, sim.synthAddress()));
    synth.setFrequency(analyzer ? 1000 : signal);
    synth.setAmplitude(-10);
    synth.rfOn();
    double reading = qQNaN();
    if (analyzer) {
        SpectrumAnalyzerDriver spectrum;
        QSignalSpy connected(&spectrum, &SpectrumAnalyzerDriver::spectrumAnalyzerConnected);
        spectrum.connectToAnalyzer(sim.analyzerAddress());
        QVERIFY(connected.wait(3000));
        // The signal is the strongest in a window from 1 MHz below it.
        spectrum.setStartFrequency(signal - 1);
        spectrum.setStopFrequency(signal + 8);
        reading = spectrum.markerLevel().value(0, qQNaN());
    } else {
        PowerMeterDriver meter;
        QSignalSpy connected(&meter, &PowerMeterDriver::powerMeterConnected);
        meter.connectToPowerMeter(sim.powerMeterAddress());
        QVERIFY(connected.wait(3000));
        meter.setFrequencyChannelA(signal);
        reading = meter.fetchChannelA();
    }
    // Low by the loss at the signal's own frequency, within the simulator's noise (0.1 dB at
    // most); the table corrects it back to the level at the unit.
    const double atUnit = -10 - below;
    QVERIFY2(qAbs(reading - (atUnit - loss)) <= 0.1, QByteArray::number(reading));
    const Corrections::Parsed parsed = Corrections::parse(table, QStringLiteral("path.csv"));
    const double corrected = Corrections::corrected(reading, Corrections::lossAt(parsed.table, signal));
    QVERIFY2(qAbs(corrected - atUnit) <= 0.1, QByteArray::number(corrected));
}

QTEST_GUILESS_MAIN(tst_benchsim)
#include "tst_benchsim.moc"
