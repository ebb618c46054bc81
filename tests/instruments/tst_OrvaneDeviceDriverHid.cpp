#include "FakeHidapi.h"
#include "OrvaneDeviceDriver.h"

#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

const double noNumber = std::numeric_limits<double>::quiet_NaN();

QList<QByteArray> answer(const QByteArray &payload)
{
    return {payload};
}

QByteArray reportFor(const QByteArray &text)
{
    QByteArray report(64, '\0');
    report[0] = '\x01';
    report.replace(1, text.size(), text);
    return report;
}

} // namespace

class tst_OrvaneDeviceDriverHid : public QObject
{
    Q_OBJECT

private:
    // A driver holding the open fake device "Gen 42".
    void openGenerator(OrvaneDeviceDriver &driver)
    {
        FakeHidapi::setDevices({{"/dev/hidraw3", true, QStringLiteral("Gen"), true, QStringLiteral("42")}});
        driver.searchUsbHidDevices();
        driver.connectToDeviceUsbHid(QStringLiteral("Gen 42"));
    }

private slots:
    void init() { FakeHidapi::reset(); }
    void enumerationNames();
    void connectByName();
    void connectUnknownName();
    void reportLayout();
    void longCommandIsCut();
    void pendingAnswerRule_data();
    void pendingAnswerRule();
    void textAnswer();
    void numericAnswer_data();
    void numericAnswer();
    void staleReportIsDiscardedBeforeQuery();
    void disconnectClosesDevice();
};

void tst_OrvaneDeviceDriverHid::enumerationNames()
{
    FakeHidapi::setDevices({
        {"p1", true, QStringLiteral("Gen"), true, QStringLiteral("42")},
        {"p2", false, QString(), true, QStringLiteral("7")},
        {"p3", true, QStringLiteral("Box"), false, QString()},
        {"p4", true, QStringLiteral("Gen"), true, QStringLiteral("42")},
        {"p5", true, QString(), true, QString()},
    });
    OrvaneDeviceDriver driver;
    QSignalSpy names(&driver, &OrvaneDeviceDriver::addItemComboBoxUsbHid);
    driver.searchUsbHidDevices();
    QStringList listed;
    for (const QList<QVariant> &args : qAsConst(names))
        listed << args.at(0).toString();
    QCOMPARE(listed, (QStringList{QStringLiteral("Gen 42"), QString(), QStringLiteral("Box "),
                                  QStringLiteral("Gen 42"), QStringLiteral(" ")}));
    QCOMPARE(FakeHidapi::calls(),
             (QStringList{QStringLiteral("hid_enumerate"), QStringLiteral("hid_free_enumeration")}));

    // Equal names share one entry: the later device wins.
    driver.connectToDeviceUsbHid(QStringLiteral("Gen 42"));
    QCOMPARE(FakeHidapi::openedPaths(), QList<QByteArray>{"p4"});
}

void tst_OrvaneDeviceDriverHid::connectByName()
{
    OrvaneDeviceDriver driver;
    QSignalSpy opened(&driver, &OrvaneDeviceDriver::textIsOpenPort);
    openGenerator(driver);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.at(0).at(0).toString(), QStringLiteral("Gen 42connect"));
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::UsbHid);
    QCOMPARE(FakeHidapi::openedPaths(), QList<QByteArray>{"/dev/hidraw3"});
}

void tst_OrvaneDeviceDriverHid::connectUnknownName()
{
    OrvaneDeviceDriver driver;
    QSignalSpy closed(&driver, &OrvaneDeviceDriver::textIsClosePort);
    FakeHidapi::setDevices({{"p1", true, QStringLiteral("Gen"), true, QStringLiteral("42")}});
    driver.searchUsbHidDevices();
    driver.connectToDeviceUsbHid(QStringLiteral("Other 1"));
    QCOMPARE(closed.size(), 1);
    QCOMPARE(closed.at(0).at(0).toString(), QStringLiteral("Other 1not connect"));
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::NoConnection);
    QCOMPARE(FakeHidapi::openedPaths(), QList<QByteArray>{QByteArray()});
    QCOMPARE(FakeHidapi::openHandles(), 0);
    driver.rfOn();
    QVERIFY(FakeHidapi::writtenReports().isEmpty());
}

void tst_OrvaneDeviceDriverHid::reportLayout()
{
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    driver.setFrequency(1000);
    driver.rfOn();
    QCOMPARE(FakeHidapi::writtenReports(),
             (QList<QByteArray>{reportFor("FREQ:CW 1000.00000000 MHz\n"), reportFor("OUTPUT ON\n")}));
}

void tst_OrvaneDeviceDriverHid::longCommandIsCut()
{
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    const QString text = QString(69, QLatin1Char('A'));
    driver.setCommand(text);
    const QList<QByteArray> reports = FakeHidapi::writtenReports();
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.at(0).size(), 64);
    QCOMPARE(reports.at(0).at(0), '\x01');
    QCOMPARE(reports.at(0).mid(1), QByteArray(63, 'A'));
}

void tst_OrvaneDeviceDriverHid::pendingAnswerRule_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("pending");
    QTest::newRow("question mark and LF") << QStringLiteral("*IDN?\n") << true;
    QTest::newRow("question mark only") << QStringLiteral("*IDN?") << false;
    QTest::newRow("question mark CR LF") << QStringLiteral("*IDN?\r\n") << false;
    QTest::newRow("setting") << QStringLiteral("OUTPUT ON\n") << false;
}

void tst_OrvaneDeviceDriverHid::pendingAnswerRule()
{
    QFETCH(QString, line);
    QFETCH(bool, pending);
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    FakeHidapi::setResponder([](const QByteArray &) { return answer("Orvane,SG\n"); });
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    driver.writeCommand(line);
    const int readsBefore = FakeHidapi::reads().size();
    driver.readAnswer();
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.at(0).at(0).toString(), pending ? QStringLiteral("Orvane,SG\n") : QString());
    QCOMPARE(FakeHidapi::reads().size() - readsBefore, pending ? 1 : 0);
    // The pending answer is used up by its read.
    driver.readAnswer();
    QCOMPARE(labels.at(1).at(0).toString(), QString());
}

void tst_OrvaneDeviceDriverHid::textAnswer()
{
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    FakeHidapi::setResponder([](const QByteArray &) {
        return answer(QByteArray("38.5\n\0junk", 10));
    });
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    driver.setCommand(QStringLiteral("DIAG:INFO:TEMP?"));
    driver.readAnswer();
    QCOMPARE(labels.at(0).at(0).toString(), QStringLiteral("38.5\n"));
    const FakeHidapi::Read read = FakeHidapi::reads().constLast();
    QCOMPARE(read.length, 64);
    QCOMPARE(read.timeoutMs, 300);
    // An identity asked for: to no label, and none from an answer that may be cut short.
    QCOMPARE(driver.identify(), QStringLiteral("38.5"));
    QCOMPARE(FakeHidapi::writtenReports().constLast(), reportFor("*IDN?\n"));
    FakeHidapi::setResponder([](const QByteArray &) { return answer("Gen,42"); });
    QCOMPARE(driver.identify(), QString());
    QCOMPARE(labels.size(), 1);
}

void tst_OrvaneDeviceDriverHid::numericAnswer_data()
{
    QTest::addColumn<QList<QByteArray>>("reports");
    QTest::addColumn<double>("expected");
    QTest::addColumn<QString>("trouble");
    QTest::newRow("LF") << QList<QByteArray>{"12.5\n"} << 12.5 << QString();
    QTest::newRow("CR LF") << QList<QByteArray>{"12.5\r\n"} << 12.5 << QString();
    QTest::newRow("text after LF") << QList<QByteArray>{"-7.25\nxyz"} << -7.25 << QString();
    QTest::newRow("zero") << QList<QByteArray>{"0\n"} << 0.0 << QString();
    QTest::newRow("no LF") << QList<QByteArray>{"12.5"} << noNumber << "answer to FETCH:POW:AC? cut short";
    QTest::newRow("in two reports") << QList<QByteArray>{"12", ".5\n"} << 12.5 << QString();
    QTest::newRow("no answer") << QList<QByteArray>{} << noNumber << "no answer to FETCH:POW:AC?";
    QTest::newRow("garbage") << QList<QByteArray>{"??\n"} << noNumber << R"(answer to FETCH:POW:AC? is not a number: "??")";
    QTest::newRow("overload") << QList<QByteArray>{"OVERLOAD\r\n"} << noNumber
                              << R"(answer to FETCH:POW:AC? is not a number: "OVERLOAD")";
    QTest::newRow("empty line") << QList<QByteArray>{"\n"} << noNumber << R"(answer to FETCH:POW:AC? is not a number: "")";
}

void tst_OrvaneDeviceDriverHid::numericAnswer()
{
    QFETCH(QList<QByteArray>, reports);
    QFETCH(double, expected);
    QFETCH(QString, trouble);
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    FakeHidapi::setResponder([reports](const QByteArray &) { return reports; });
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    QSignalSpy troubles(&driver, &OrvaneDeviceDriver::linkTrouble);
    QCOMPARE(driver.fetchPower(), expected);
    QCOMPARE(troubles.size(), trouble.isEmpty() ? 0 : 1);
    if (!trouble.isEmpty())
        QCOMPARE(troubles.at(0).at(0).toString(), trouble);
    QCOMPARE(FakeHidapi::writtenReports().constLast(), reportFor("FETCH:POW:AC?\n"));
    QVERIFY(!FakeHidapi::reads().isEmpty());
    QCOMPARE(FakeHidapi::reads().constLast().length, 64);
    QVERIFY(FakeHidapi::reads().constFirst().timeoutMs <= 300);
    QVERIFY(labels.isEmpty());
}

void tst_OrvaneDeviceDriverHid::staleReportIsDiscardedBeforeQuery()
{
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    FakeHidapi::queueInput("99.0\n");
    FakeHidapi::setResponder([](const QByteArray &) { return answer("12.5\n"); });
    QCOMPARE(driver.fetchPower(), 12.5);
    QCOMPARE(driver.readTemperature(), 12.5);
}

void tst_OrvaneDeviceDriverHid::disconnectClosesDevice()
{
    OrvaneDeviceDriver driver;
    openGenerator(driver);
    QSignalSpy disconnected(&driver, &OrvaneDeviceDriver::deviceDisconnected);
    driver.disconnectFromDeviceUsbHid();
    QCOMPARE(disconnected.size(), 1);
    QCOMPARE(FakeHidapi::openHandles(), 0);
    const int written = FakeHidapi::writtenReports().size();
    driver.rfOn();
    QCOMPARE(FakeHidapi::writtenReports().size(), written);
    QCOMPARE(driver.fetchPower(), noNumber);
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::UsbHid);
}

QTEST_GUILESS_MAIN(tst_OrvaneDeviceDriverHid)
#include "tst_OrvaneDeviceDriverHid.moc"
