#include "FakeInstrument.h"
#include "OrvaneDeviceDriver.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const double noNumber = std::numeric_limits<double>::quiet_NaN();

// The troubles a spy recorded, as texts.
QStringList troubleTexts(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts << arguments.at(0).toString();
    return texts;
}

// The troubles of a detector fetch and a temperature read whose answers are quoted, if quoted.
QStringList expectedTroubles(const QString &quoted)
{
    if (quoted.isEmpty())
        return {};
    return {"answer to FETCH:POW:AC? is not a number: " + quoted, "answer to DIAG:INFO:TEMP? is not a number: " + quoted};
}

struct CommandCase
{
    const char *tag;
    std::function<void(OrvaneDeviceDriver &)> send;
    QByteArray expected;
};

const QList<CommandCase> &commandCases()
{
    using D = OrvaneDeviceDriver;
    static const QList<CommandCase> cases{
        {"rfOn", &D::rfOn, "OUTPUT ON\n"},
        {"rfOff", &D::rfOff, "OUTPUT OFF\n"},
        {"alcOn", &D::alcOn, "OUTP:ALC ON\n"},
        {"alcOff", &D::alcOff, "OUTP:ALC OFF\n"},
        {"freqModeList", &D::freqModeList, "FREQ:MODE LIST\n"},
        {"freqModeCw", &D::freqModeCw, "FREQ:MODE CW\n"},
        {"listTypeStep", &D::listTypeStep, "LIST:TYPE STEP\n"},
        {"listModeAuto", &D::listModeAuto, "LIST:MODE AUTO\n"},
        {"sweepTimeAutoOff", &D::sweepTimeAutoOff, "SWE:TIME:AUTO OFF\n"},
        {"sweepTimeAutoOn", &D::sweepTimeAutoOn, "SWE:TIME:AUTO ON\n"},
        {"triggerSourceBus", &D::triggerSourceBus, "TRIG:SOUR BUS\n"},
        {"initContinuousOn", &D::initContinuousOn, "INIT:CONT ON\n"},
        {"initContinuousOff", &D::initContinuousOff, "INIT:CONT OFF\n"},
        {"initiate", &D::initiate, "INIT\n"},
        {"triggerBus", &D::triggerBus, "*TRG\n"},
        {"abortSweep", &D::abortSweep, "ABORT\n"},
        {"powerModeList", &D::powerModeList, "POW:MODE LIST\n"},
        {"powerModeFix", &D::powerModeFix, "POW:MODE FIX\n"},
        {"amSourceInternal", &D::amSourceInternal, "AM:SOURce:INTernal\n"},
        {"modulationOn", &D::modulationOn, "OUTPUT:MODULATION ON\n"},
        {"modulationOff", &D::modulationOff, "OUTPUT:MODULATION OFF\n"},
        {"pulseSourceInternal", &D::pulseSourceInternal, "PULM:SOUR:INTernal\n"},
        {"setFrequency 1000", [](D &d) { d.setFrequency(1000); }, "FREQ:CW 1000.00000000 MHz\n"},
        {"setFrequency 0.1", [](D &d) { d.setFrequency(0.1); }, "FREQ:CW 0.10000000 MHz\n"},
        {"setFrequency 12345.678901234",
         [](D &d) { d.setFrequency(12345.678901234); }, "FREQ:CW 12345.67890123 MHz\n"},
        {"setAmplitude -10", [](D &d) { d.setAmplitude(-10); }, "POWER -10.00 DBM\n"},
        {"setAmplitude -0.5", [](D &d) { d.setAmplitude(-0.5); }, "POWER -0.50 DBM\n"},
        {"setFreqStart", [](D &d) { d.setFreqStart(100); }, "FREQ:START 100.00000000 MHz\n"},
        {"setFreqStop", [](D &d) { d.setFreqStop(2000.5); }, "FREQ:STOP 2000.50000000 MHz\n"},
        {"setFreqStep", [](D &d) { d.setFreqStep(0.001); }, "FREQ:STEP 0.00100000 MHz\n"},
        {"setSweepTime 20", [](D &d) { d.setSweepTime(20); }, "SWE:TIME 20.0000 ms\n"},
        {"setPowerStart -10", [](D &d) { d.setPowerStart(-10); }, "POW:START -10.0000 DBM\n"},
        {"setPowerStop", [](D &d) { d.setPowerStop(3.5); }, "POW:STOP 3.5000 DBM\n"},
        {"setPowerStep", [](D &d) { d.setPowerStep(-0.25); }, "POW:STEP -0.2500 DBM\n"},
        {"setAmFrequencyHz", [](D &d) { d.setAmFrequencyHz(400); },
         "AM:INTernal:FREQuency 400.00000000 Hz\n"},
        {"setAmFrequencyKhz", [](D &d) { d.setAmFrequencyKhz(1.5); },
         "AM:INTernal:FREQuency 1.50000000 kHz\n"},
        {"setAmDepth 30", [](D &d) { d.setAmDepth(30); }, "AM:DEPTH 30.00000000\n"},
        {"setAmShape Sine", [](D &d) { d.setAmShape(QStringLiteral("Sine")); },
         "AM:INTernal:FUNCtion:SHAPE Sine\n"},
        {"setAmShape empty", [](D &d) { d.setAmShape(QString()); }, "AM:INTernal:FUNCtion:SHAPE \n"},
        {"setPulseWidth 1 US", [](D &d) { d.setPulseWidth(1, QStringLiteral("US")); },
         "PULM:INT:PWID 1.00000000 US\n"},
        {"setPulseWidth empty unit", [](D &d) { d.setPulseWidth(2.5, QString()); },
         "PULM:INT:PWID 2.50000000 \n"},
        {"setPulsePeriod", [](D &d) { d.setPulsePeriod(10, QStringLiteral("MS")); },
         "PULM:INT:PER 10.00000000 MS\n"},
        {"setCommand text", [](D &d) { d.setCommand(QStringLiteral("OUTP:ALC ON")); },
         "OUTP:ALC ON\n"},
        {"setCommand empty", [](D &d) { d.setCommand(QString()); }, "\n"},
        {"setCommand with line end", [](D &d) { d.setCommand(QStringLiteral("INIT\n")); },
         "INIT\n\n"},
    };
    return cases;
}

// The far end of a pseudo-terminal, served from a thread of its own because the driver blocks
// the test thread while it waits for an answer.
class PtyPeer
{
public:
    using Responder = std::function<QList<QByteArray>(const QByteArray &line)>;

    PtyPeer()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios settings{};
        ::tcgetattr(slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
        path = QString::fromLocal8Bit(::ttyname(slave));
        reader = std::thread([this] { run(); });
    }
    ~PtyPeer()
    {
        stop = true;
        if (reader.joinable())
            reader.join();
        ::close(master);
        ::close(slave);
    }
    void setResponder(Responder r)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        responder = std::move(r);
    }
    QByteArray received()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }
    void send(const QByteArray &out) { [[maybe_unused]] auto n = ::write(master, out.constData(), size_t(out.size())); }

    QString path;

private:
    void run()
    {
        QByteArray partial;
        while (!stop) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0 || !(fd.revents & POLLIN))
                continue;
            char buffer[1024];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            Responder respond;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                bytes.append(buffer, int(n));
                respond = responder;
            }
            partial.append(buffer, int(n));
            int end;
            while ((end = partial.indexOf('\n')) >= 0) {
                const QByteArray line = partial.left(end);
                partial.remove(0, end + 1);
                if (respond)
                    for (const QByteArray &piece : respond(line)) {
                        if (piece.startsWith("@pause"))
                            QThread::msleep(piece.mid(6).toUInt());
                        else
                            send(piece);
                    }
            }
        }
    }

    int master = -1;
    int slave = -1;
    std::atomic<bool> stop{false};
    std::thread reader;
    std::mutex mutex;
    QByteArray bytes;
    Responder responder;
};

FakeInstrument::Responder answerQueries(const QByteArray &answer, int delayMs = 0)
{
    return [answer, delayMs](const QByteArray &line) {
        QList<FakeInstrument::Reply> replies;
        if (line.endsWith('?'))
            replies.append({answer, delayMs});
        return replies;
    };
}

} // namespace

class tst_OrvaneDeviceDriver : public QObject
{
    Q_OBJECT

private:
    // One connection serves every row of the command table.
    std::unique_ptr<FakeInstrument> tableFake;
    std::unique_ptr<OrvaneDeviceDriver> tableDriver;

    // Connects the driver over LAN to the fake and waits until the connection stands.
    bool connectLan(OrvaneDeviceDriver &driver, FakeInstrument &fake)
    {
        QSignalSpy connected(&driver, &OrvaneDeviceDriver::deviceConnected);
        driver.connectToDevice(fake.address());
        driver.readAnswer();
        return !connected.isEmpty() || connected.wait(3000);
    }

private slots:
    void commandBytes_data();
    void commandBytes();
    void commandBytesUnderCommaLocale();
    void numericAnswerOverLan_data();
    void numericAnswerOverLan();
    void numericQueriesSendTheirLines();
    void splitAnswerIsReadWhole();
    void lateAnswerNeverLandsUnderNextQuery();
    void silentDeviceCostsOneTimeout();
    void textQueryAnswerReachesLabel();
    void lanConnectAndDisconnectSignals();
    void refusedConnectionIsSilent();
    void withoutTransportNothingHappens();
    void serialSettingsAndBytes();
    void serialOpenFailure();
    void serialDisconnectAlwaysSignals();
    void serialNumericAnswers_data();
    void serialNumericAnswers();
    void serialTextAnswerArrivesOnce();
    void serialUnaskedAnswerArrivesWhole();
};

void tst_OrvaneDeviceDriver::commandBytes_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < commandCases().size(); ++i)
        QTest::newRow(commandCases().at(i).tag) << i;
}

void tst_OrvaneDeviceDriver::commandBytes()
{
    QFETCH(int, index);
    if (!tableDriver) {
        tableFake = std::make_unique<FakeInstrument>(OrvaneDeviceDriver::lanPort);
        QVERIFY(tableFake->isListening());
        tableDriver = std::make_unique<OrvaneDeviceDriver>();
        QVERIFY(connectLan(*tableDriver, *tableFake));
    }
    tableFake->clearReceived();
    const CommandCase &c = commandCases().at(index);
    c.send(*tableDriver);
    QTRY_COMPARE(tableFake->received(), c.expected);
}

void tst_OrvaneDeviceDriver::commandBytesUnderCommaLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    QByteArray expected;
    for (const CommandCase &c : commandCases()) {
        c.send(driver);
        expected += c.expected;
    }
    QLocale::setDefault(previous);
    QTRY_COMPARE(fake.received(), expected);
}

void tst_OrvaneDeviceDriver::numericAnswerOverLan_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<double>("expected");
    // What the trouble of each answer quotes; empty when there is none.
    QTest::addColumn<QString>("quoted");
    QTest::newRow("CR LF") << QByteArray("12.5\r\n") << 12.5 << QString();
    QTest::newRow("LF") << QByteArray("-3.25\n") << -3.25 << QString();
    QTest::newRow("exponent") << QByteArray("1e3\n") << 1000.0 << QString();
    QTest::newRow("spaces") << QByteArray("  7 \n") << 7.0 << QString();
    QTest::newRow("zero") << QByteArray("0\n") << 0.0 << QString();
    QTest::newRow("garbage") << QByteArray("garbage\n") << noNumber << R"("garbage")";
    QTest::newRow("NaN") << QByteArray("NaN\n") << noNumber << R"("NaN")";
    QTest::newRow("error text") << QByteArray("-113,\"Undefined header\"\n") << noNumber
                                << R"("-113,\"Undefined header\"")";
    QTest::newRow("zero bytes") << QByteArray("\0\0\n", 3) << noNumber << R"("\x00\x00")";
    QTest::newRow("empty line") << QByteArray("\r\n") << noNumber << R"("")";
}

void tst_OrvaneDeviceDriver::numericAnswerOverLan()
{
    QFETCH(QByteArray, answer);
    QFETCH(double, expected);
    QFETCH(QString, quoted);
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    fake.setResponder(answerQueries(answer));
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    QSignalSpy troubles(&driver, &OrvaneDeviceDriver::linkTrouble);
    QCOMPARE(driver.fetchPower(), expected);
    QCOMPARE(driver.readTemperature(), expected);
    QVERIFY(labels.isEmpty());
    QCOMPARE(troubleTexts(troubles), expectedTroubles(quoted));
}

void tst_OrvaneDeviceDriver::numericQueriesSendTheirLines()
{
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    fake.setResponder(answerQueries("1\n"));
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    driver.fetchPower();
    driver.readTemperature();
    QTRY_COMPARE(fake.received(), QByteArray("FETCH:POW:AC?\nDIAG:INFO:TEMP?\n"));
}

void tst_OrvaneDeviceDriver::splitAnswerIsReadWhole()
{
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    fake.setResponder([](const QByteArray &) {
        return QList<FakeInstrument::Reply>{{"12.", 0}, {"7", 40}, {"5\n", 80}};
    });
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    QCOMPARE(driver.fetchPower(), 12.75);
    QCOMPARE(driver.fetchPower(), 12.75);
}

void tst_OrvaneDeviceDriver::lateAnswerNeverLandsUnderNextQuery()
{
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    int query = 0;
    fake.setResponder([&query](const QByteArray &) {
        ++query;
        return query == 1 ? QList<FakeInstrument::Reply>{{"11.0\n", 450}}
                          : QList<FakeInstrument::Reply>{{"22.0\n", 0}};
    });
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    QCOMPARE(driver.fetchPower(), noNumber);
    // Let the late answer reach the driver's side before the next query goes out.
    QTest::qWait(350);
    QCOMPARE(driver.fetchPower(), 22.0);
}

void tst_OrvaneDeviceDriver::silentDeviceCostsOneTimeout()
{
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(driver.fetchPower(), noNumber);
    const qint64 numericMs = timer.restart();
    driver.setCommand(QStringLiteral("*IDN?"));
    driver.readAnswer();
    const qint64 textMs = timer.elapsed();
    QVERIFY2(numericMs >= 250 && numericMs < 1000, QByteArray::number(numericMs));
    // After a time-out the next query first gives the missing answer two more time-outs.
    QVERIFY2(textMs >= 850 && textMs < 1500, QByteArray::number(textMs));
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.at(0).at(0).toString(), QString());
}

void tst_OrvaneDeviceDriver::textQueryAnswerReachesLabel()
{
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    fake.setResponder([](const QByteArray &) {
        return QList<FakeInstrument::Reply>{{"Fake,", 0}, {"Synth\n", 60}};
    });
    OrvaneDeviceDriver driver;
    QVERIFY(connectLan(driver, fake));
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    driver.setCommand(QStringLiteral("*IDN?"));
    driver.readAnswer();
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.at(0).at(0).toString(), QStringLiteral("Fake,Synth\n"));
}

void tst_OrvaneDeviceDriver::lanConnectAndDisconnectSignals()
{
    FakeInstrument fake(OrvaneDeviceDriver::lanPort);
    OrvaneDeviceDriver driver;
    QSignalSpy connected(&driver, &OrvaneDeviceDriver::deviceConnected);
    QSignalSpy disconnected(&driver, &OrvaneDeviceDriver::deviceDisconnected);
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    driver.connectToDevice(fake.address());
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::Lan);
    driver.readAnswer();
    QTRY_COMPARE(connected.size(), 1);
    QCOMPARE(labels.size(), 1);
    driver.disconnectFromDevice();
    QTRY_COMPARE(disconnected.size(), 1);
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::Lan);
}

void tst_OrvaneDeviceDriver::refusedConnectionIsSilent()
{
    OrvaneDeviceDriver driver;
    QSignalSpy connected(&driver, &OrvaneDeviceDriver::deviceConnected);
    QSignalSpy disconnected(&driver, &OrvaneDeviceDriver::deviceDisconnected);
    QElapsedTimer timer;
    timer.start();
    // Nothing listens on this loopback address.
    driver.connectToDevice(QStringLiteral("127.254.254.253"));
    driver.readAnswer();
    driver.rfOn();
    QCOMPARE(driver.fetchPower(), noNumber);
    QVERIFY(timer.elapsed() < 1500);
    QTest::qWait(100);
    QVERIFY(connected.isEmpty());
    QVERIFY(disconnected.isEmpty());
}

void tst_OrvaneDeviceDriver::withoutTransportNothingHappens()
{
    OrvaneDeviceDriver driver;
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::NoConnection);
    driver.rfOn();
    QCOMPARE(driver.fetchPower(), noNumber);
    QCOMPARE(driver.readAnswer(), 0.0);
    QVERIFY(labels.isEmpty());
}

void tst_OrvaneDeviceDriver::serialSettingsAndBytes()
{
    PtyPeer peer;
    QVERIFY(!peer.path.isEmpty());
    OrvaneDeviceDriver driver;
    QSignalSpy opened(&driver, &OrvaneDeviceDriver::textIsOpenPort);
    driver.connectToDeviceUsbCom(peer.path);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.at(0).at(0).toString(), QStringLiteral("ComPort open"));
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::UsbCom);

    termios settings{};
    const int fd = ::open(peer.path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    ::tcgetattr(fd, &settings);
    ::close(fd);
    QCOMPARE(::cfgetospeed(&settings), speed_t(B19200));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(!(settings.c_cflag & PARENB));
    QVERIFY(!(settings.c_cflag & CSTOPB));
    QVERIFY(!(settings.c_cflag & CRTSCTS));

    driver.setFrequency(0.1);
    driver.setAmplitude(-10);
    QTRY_COMPARE(peer.received(), QByteArray("FREQ:CW 0.10000000 MHz\nPOWER -10.00 DBM\n"));
}

void tst_OrvaneDeviceDriver::serialOpenFailure()
{
    OrvaneDeviceDriver driver;
    QSignalSpy closed(&driver, &OrvaneDeviceDriver::textIsClosePort);
    driver.connectToDeviceUsbCom(QStringLiteral("/dev/no-such-port-here"));
    QCOMPARE(closed.size(), 1);
    QCOMPARE(closed.at(0).at(0).toString(), QStringLiteral("ComPort close"));
    QCOMPARE(driver.activeConnection(), OrvaneDeviceDriver::NoConnection);
}

void tst_OrvaneDeviceDriver::serialDisconnectAlwaysSignals()
{
    OrvaneDeviceDriver driver;
    QSignalSpy disconnected(&driver, &OrvaneDeviceDriver::deviceDisconnected);
    driver.disconnectFromDeviceUsbCom();
    QCOMPARE(disconnected.size(), 1);
}

void tst_OrvaneDeviceDriver::serialNumericAnswers_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<double>("expected");
    // What the trouble of each answer quotes; empty when there is none.
    QTest::addColumn<QString>("quoted");
    QTest::newRow("CR LF") << QList<QByteArray>{"12.5\r\n"} << 12.5 << QString();
    QTest::newRow("split") << QList<QByteArray>{"-4", "@pause40", "2.2", "@pause40", "5\n"} << -42.25
                           << QString();
    QTest::newRow("garbage") << QList<QByteArray>{"%%\n"} << noNumber << R"("%%")";
    QTest::newRow("overload") << QList<QByteArray>{"OVER", "@pause40", "LOAD\r\n"} << noNumber << R"("OVERLOAD")";
}

void tst_OrvaneDeviceDriver::serialNumericAnswers()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(double, expected);
    QFETCH(QString, quoted);
    PtyPeer peer;
    peer.setResponder([pieces](const QByteArray &) { return pieces; });
    OrvaneDeviceDriver driver;
    driver.connectToDeviceUsbCom(peer.path);
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    QSignalSpy troubles(&driver, &OrvaneDeviceDriver::linkTrouble);
    QCOMPARE(driver.fetchPower(), expected);
    QCOMPARE(driver.readTemperature(), expected);
    QTest::qWait(50);
    QVERIFY(labels.isEmpty());
    QCOMPARE(troubleTexts(troubles), expectedTroubles(quoted));
}

void tst_OrvaneDeviceDriver::serialTextAnswerArrivesOnce()
{
    PtyPeer peer;
    peer.setResponder([](const QByteArray &) {
        return QList<QByteArray>{"Orvane,", "@pause30", "SG\n"};
    });
    OrvaneDeviceDriver driver;
    driver.connectToDeviceUsbCom(peer.path);
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    driver.setCommand(QStringLiteral("*IDN?"));
    driver.readAnswer();
    // Asked for the run's record, the answer goes to no label.
    QCOMPARE(driver.identify(), QStringLiteral("Orvane,SG"));
    QTest::qWait(100);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.at(0).at(0).toString(), QStringLiteral("Orvane,SG\n"));
    QCOMPARE(peer.received(), QByteArray("*IDN?\n*IDN?\n"));
}

void tst_OrvaneDeviceDriver::serialUnaskedAnswerArrivesWhole()
{
    PtyPeer peer;
    OrvaneDeviceDriver driver;
    driver.connectToDeviceUsbCom(peer.path);
    QSignalSpy labels(&driver, &OrvaneDeviceDriver::labelAnswerFromDevice);
    peer.send("late ");
    QThread::msleep(30);
    peer.send("answer\n");
    QTRY_COMPARE(labels.size(), 1);
    QTest::qWait(50);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.at(0).at(0).toString(), QStringLiteral("late answer\n"));
}

QTEST_GUILESS_MAIN(tst_OrvaneDeviceDriver)
#include "tst_OrvaneDeviceDriver.moc"
