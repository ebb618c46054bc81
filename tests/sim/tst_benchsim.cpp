#include "BenchSimProcess.h"
#include "OrvaneDeviceDriver.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

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
    QCOMPARE(driver.fetchPower(), 0.0);
    QTest::qWait(400);
    // The late detector reading is dropped; the temperature query gets its own late answer,
    // which again misses the 300 ms window.
    QCOMPARE(driver.readTemperature(), 0.0);
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

QTEST_GUILESS_MAIN(tst_benchsim)
#include "tst_benchsim.moc"
