#include "FakeInstrument.h"
#include "PowerMeterDriver.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

const double noNumber = std::numeric_limits<double>::quiet_NaN();

bool connectTo(PowerMeterDriver &driver, FakeInstrument &fake)
{
    QSignalSpy connected(&driver, &PowerMeterDriver::powerMeterConnected);
    driver.connectToPowerMeter(fake.address());
    return connected.wait(3000);
}

} // namespace

class tst_PowerMeterDriver : public QObject
{
    Q_OBJECT

private slots:
    void commandBytes_data();
    void commandBytes();
    void readings_data();
    void readings();
    void lateReadingIsDiscarded();
    void silentMeterCostsOneTimeout();
    void unconnectedFetchIsNoReading();
    void connectionSignals();
    void nobodyListening();
    void queryRightAfterConnect();
    void floodIsCutAtOneMebibyte();
};

void tst_PowerMeterDriver::commandBytes_data()
{
    QTest::addColumn<bool>("commaLocale");
    QTest::newRow("C locale") << false;
    QTest::newRow("comma-decimal locale") << true;
}

void tst_PowerMeterDriver::commandBytes()
{
    QFETCH(bool, commaLocale);
    const QLocale previous;
    if (commaLocale)
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    FakeInstrument fake(PowerMeterDriver::lanPort);
    fake.setResponder([](const QByteArray &line) {
        return line.endsWith('?') ? QList<FakeInstrument::Reply>{{"1.0\n", 0}}
                                  : QList<FakeInstrument::Reply>{};
    });
    PowerMeterDriver driver;
    QVERIFY(connectTo(driver, fake));
    driver.setFrequencyChannelA(50);
    driver.setFrequencyChannelB(1234.56789);
    driver.setFrequencyChannelA(-0.5);
    QCOMPARE(driver.fetchChannelA(), 1.0);
    QCOMPARE(driver.fetchChannelB(), 1.0);
    QCOMPARE(driver.identify(), QStringLiteral("1.0"));
    QLocale::setDefault(previous);
    QTRY_COMPARE(fake.received(), QByteArray("SENS1:FREQ 50.0000 MHz\n"
                                             "SENS2:FREQ 1234.5679 MHz\n"
                                             "SENS1:FREQ -0.5000 MHz\n"
                                             "FETC?\n"
                                             "FETC2?\n"
                                             "*IDN?\n"));
}

void tst_PowerMeterDriver::readings_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<double>("expected");
    // The trouble each fetch reports, %1 standing for its query; empty when there is none.
    QTest::addColumn<QString>("trouble");
    QTest::newRow("LF") << QList<QByteArray>{"-23.5\n"} << -23.5 << QString();
    QTest::newRow("CR LF") << QList<QByteArray>{"-23.5\r\n"} << -23.5 << QString();
    QTest::newRow("exponent") << QList<QByteArray>{"-2.35E+01\n"} << -23.5 << QString();
    QTest::newRow("split") << QList<QByteArray>{"-2", "3.", "5\n"} << -23.5 << QString();
    QTest::newRow("zero") << QList<QByteArray>{"0\n"} << 0.0 << QString();
    QTest::newRow("garbage") << QList<QByteArray>{"abc\n"} << noNumber << R"(answer to %1 is not a number: "abc")";
    QTest::newRow("NaN") << QList<QByteArray>{"NaN\n"} << noNumber << R"(answer to %1 is not a number: "NaN")";
    QTest::newRow("lone LF") << QList<QByteArray>{"\n"} << noNumber << R"(answer to %1 is not a number: "")";
    QTest::newRow("overload") << QList<QByteArray>{"OVER", "LOAD\r\n"} << noNumber
                              << R"(answer to %1 is not a number: "OVERLOAD")";
    QTest::newRow("binary") << QList<QByteArray>{"\x01\xff-\n"} << noNumber
                            << R"(answer to %1 is not a number: "\x01\xff-")";
    QTest::newRow("cut line") << QList<QByteArray>{"-23."} << noNumber << "answer to %1 cut short";
}

void tst_PowerMeterDriver::readings()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(double, expected);
    QFETCH(QString, trouble);
    FakeInstrument fake(PowerMeterDriver::lanPort);
    fake.setResponder([pieces](const QByteArray &) {
        QList<FakeInstrument::Reply> replies;
        for (int i = 0; i < pieces.size(); ++i)
            replies.append({pieces.at(i), i * 40});
        return replies;
    });
    PowerMeterDriver driver;
    QVERIFY(connectTo(driver, fake));
    QSignalSpy troubles(&driver, &PowerMeterDriver::linkTrouble);
    QCOMPARE(driver.fetchChannelA(), expected);
    QCOMPARE(driver.fetchChannelB(), expected);
    QStringList reported;
    for (const QList<QVariant> &arguments : qAsConst(troubles))
        reported << arguments.at(0).toString();
    const QStringList expectedTroubles =
        trouble.isEmpty() ? QStringList() : QStringList{trouble.arg("FETC?"), trouble.arg("FETC2?")};
    QCOMPARE(reported, expectedTroubles);
}

void tst_PowerMeterDriver::lateReadingIsDiscarded()
{
    FakeInstrument fake(PowerMeterDriver::lanPort);
    int query = 0;
    fake.setResponder([&query](const QByteArray &) {
        ++query;
        return query == 1 ? QList<FakeInstrument::Reply>{{"-11.0\n", 1200}}
                          : QList<FakeInstrument::Reply>{{"-22.0\n", 0}};
    });
    PowerMeterDriver driver;
    QVERIFY(connectTo(driver, fake));
    QCOMPARE(driver.fetchChannelA(), noNumber);
    QTest::qWait(400);
    QCOMPARE(driver.fetchChannelA(), -22.0);
}

void tst_PowerMeterDriver::silentMeterCostsOneTimeout()
{
    FakeInstrument fake(PowerMeterDriver::lanPort);
    PowerMeterDriver driver;
    QVERIFY(connectTo(driver, fake));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(driver.fetchChannelB(), noNumber);
    QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));
}

void tst_PowerMeterDriver::unconnectedFetchIsNoReading()
{
    PowerMeterDriver driver;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(driver.fetchChannelA(), noNumber);
    QVERIFY(timer.elapsed() < 500);
}

void tst_PowerMeterDriver::connectionSignals()
{
    FakeInstrument fake(PowerMeterDriver::lanPort);
    PowerMeterDriver driver;
    QSignalSpy disconnected(&driver, &PowerMeterDriver::powerMeterDisconnected);
    QSignalSpy troubles(&driver, &PowerMeterDriver::linkTrouble);
    driver.disconnectFromPowerMeter();
    QVERIFY(disconnected.isEmpty());
    QVERIFY(connectTo(driver, fake));
    driver.disconnectFromPowerMeter();
    QTRY_COMPARE(disconnected.size(), 1);
    // A disconnect that was asked for is no trouble; one the instrument makes is.
    QVERIFY(troubles.isEmpty());
    {
        FakeInstrument leaving(PowerMeterDriver::lanPort);
        QVERIFY(connectTo(driver, leaving));
    }
    QTRY_COMPARE(disconnected.size(), 2);
    QCOMPARE(troubles.size(), 1);
    QCOMPARE(troubles.at(0).at(0).toString(), QStringLiteral("connection lost"));
}

void tst_PowerMeterDriver::nobodyListening()
{
    PowerMeterDriver driver;
    QSignalSpy connected(&driver, &PowerMeterDriver::powerMeterConnected);
    QSignalSpy disconnected(&driver, &PowerMeterDriver::powerMeterDisconnected);
    QElapsedTimer timer;
    timer.start();
    driver.connectToPowerMeter(QStringLiteral("127.254.254.252"));
    QVERIFY(timer.elapsed() < 100);
    QTest::qWait(200);
    QVERIFY(connected.isEmpty());
    QVERIFY(disconnected.isEmpty());
}

void tst_PowerMeterDriver::queryRightAfterConnect()
{
    // A measurement may start while the connection is still being made.
    FakeInstrument fake(PowerMeterDriver::lanPort);
    fake.setResponder([](const QByteArray &line) {
        return line.startsWith("FETC") ? QList<FakeInstrument::Reply>{{"-7.5\n", 0}}
                                       : QList<FakeInstrument::Reply>{};
    });
    PowerMeterDriver driver;
    driver.connectToPowerMeter(fake.address());
    driver.setFrequencyChannelA(50);
    QCOMPARE(driver.fetchChannelA(), -7.5);
    QCOMPARE(driver.fetchChannelB(), -7.5);
    QTRY_COMPARE(fake.received(), QByteArray("SENS1:FREQ 50.0000 MHz\nFETC?\nFETC2?\n"));
}

void tst_PowerMeterDriver::floodIsCutAtOneMebibyte()
{
    // An instrument that floods the line: three mebibytes without a line end.
    FakeInstrument fake(PowerMeterDriver::lanPort);
    int query = 0;
    fake.setResponder([&query](const QByteArray &) {
        return ++query == 1 ? QList<FakeInstrument::Reply>{{QByteArray(3 * 1024 * 1024, '7'), 0}}
                            : QList<FakeInstrument::Reply>{{"-4.5\n", 0}};
    });
    PowerMeterDriver driver;
    QVERIFY(connectTo(driver, fake));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(driver.fetchChannelA(), noNumber);
    QVERIFY(timer.elapsed() < 3000);
    QCOMPARE(driver.fetchChannelA(), -4.5);
}

QTEST_GUILESS_MAIN(tst_PowerMeterDriver)
#include "tst_PowerMeterDriver.moc"
