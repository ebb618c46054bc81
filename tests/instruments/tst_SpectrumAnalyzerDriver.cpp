#include "FakeInstrument.h"
#include "SpectrumAnalyzerDriver.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <limits>
#include <functional>

namespace {

const double noNumber = std::numeric_limits<double>::quiet_NaN();

struct CommandCase
{
    const char *tag;
    std::function<void(SpectrumAnalyzerDriver &)> send;
    QByteArray expected;
};

const QList<CommandCase> &commandCases()
{
    using D = SpectrumAnalyzerDriver;
    static const QList<CommandCase> cases{
        {"adjustAll", &D::adjustAll, "ADJust:ALL\n"},
        {"tuneImmediate", &D::tuneImmediate, "sens:freq:tune:imm\n"},
        {"setReferenceLevel -7", [](D &d) { d.setReferenceLevel(-7); }, "DISP:WIND:TRAC:Y:RLEV -7.0000 dBm\n"},
        {"setReferenceLevel -12.5", [](D &d) { d.setReferenceLevel(-12.5); },
         "DISP:WIND:TRAC:Y:RLEV -12.5000 dBm\n"},
        {"setSweepPoints", [](D &d) { d.setSweepPoints(32000); }, "SWE:POIN 32000\n"},
        {"setVideoBandwidth", [](D &d) { d.setVideoBandwidth(50); }, "BAND:VID 50 Hz\n"},
        {"setSpan", [](D &d) { d.setSpan(10); }, "Freq:Span 10 MHz\n"},
        {"setResolutionBandwidth", [](D &d) { d.setResolutionBandwidth(4000000000u); },
         "BAND 4000000000 Hz\n"},
        {"setStartFrequency", [](D &d) { d.setStartFrequency(2999.9); }, "FREQ:STAR 2999.9000 MHz\n"},
        {"setStopFrequency", [](D &d) { d.setStopFrequency(1000); }, "FREQ:STOP 1000.0000 MHz\n"},
        {"markerToMaximum", &D::markerToMaximum, "calc:mark:max\n"},
        {"setThreshold tiny", [](D &d) { d.setThreshold(0.00004); }, "calc:thr 0.0000\n"},
        {"setThreshold", [](D &d) { d.setThreshold(-85); }, "calc:thr -85.0000\n"},
        {"setPeakThreshold", [](D &d) { d.setPeakThreshold(-80.25); }, "calc:mark:peak:thr -80.2500\n"},
        {"thresholdOn", &D::thresholdOn, "calc:thr:stat on\n"},
        {"peakExcursionOff", &D::peakExcursionOff, "calc:mark:peak:exc:stat off\n"},
        {"sortPeakListByLevel", &D::sortPeakListByLevel, "calc:mark:func:fpe:sort y\n"},
        {"sortPeakTableByAmplitude", &D::sortPeakTableByAmplitude, "calc:mark:peak:sort ampl\n"},
        {"peakListOn", &D::peakListOn, "calc:mark:func:fpe:stat on\n"},
        {"peakTableOn", &D::peakTableOn, "calc:mark:peak:table:stat on\n"},
        {"markerFrequency", [](D &d) { d.markerFrequency(); }, "calc:mark:x?\n"},
        {"markerLevel", [](D &d) { d.markerLevel(); }, "calc:mark:y?\n"},
        {"peakListLevels", [](D &d) { d.peakListLevels(); }, "calc:mark:func:fpe:y?\n"},
        {"peakListFrequencies", [](D &d) { d.peakListFrequencies(); }, "calc:mark:func:fpe:x?\n"},
        {"peakTable", [](D &d) { d.peakTable(); }, "trac:math:peak?\n"},
        {"identify", [](D &d) { QCOMPARE(d.identify(), QStringLiteral("1")); }, "*IDN?\n"},
    };
    return cases;
}

FakeInstrument::Responder answerQueries(const QList<QByteArray> &pieces)
{
    return [pieces](const QByteArray &line) {
        QList<FakeInstrument::Reply> replies;
        if (line.endsWith('?'))
            for (int i = 0; i < pieces.size(); ++i)
                replies.append({pieces.at(i), i * 40});
        return replies;
    };
}

bool connectTo(SpectrumAnalyzerDriver &driver, FakeInstrument &fake)
{
    QSignalSpy connected(&driver, &SpectrumAnalyzerDriver::spectrumAnalyzerConnected);
    driver.connectToAnalyzer(fake.address());
    return connected.wait(3000);
}

} // namespace

class tst_SpectrumAnalyzerDriver : public QObject
{
    Q_OBJECT

private slots:
    void commandBytes();
    void commandBytesUnderCommaLocale();
    void answers_data();
    void answers();
    void silentAnalyzerGivesEmptyListAfterOneSecond();
    void lateAnswerIsDiscarded();
    void connectionSignals();
    void nobodyListening();
};

void tst_SpectrumAnalyzerDriver::commandBytes()
{
    FakeInstrument fake(SpectrumAnalyzerDriver::lanPort);
    fake.setResponder(answerQueries({"1\n"}));
    SpectrumAnalyzerDriver driver;
    QVERIFY(connectTo(driver, fake));
    for (const CommandCase &c : commandCases()) {
        fake.clearReceived();
        c.send(driver);
        QTRY_COMPARE_WITH_TIMEOUT(fake.received(), c.expected, 2000);
    }
}

void tst_SpectrumAnalyzerDriver::commandBytesUnderCommaLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    FakeInstrument fake(SpectrumAnalyzerDriver::lanPort);
    SpectrumAnalyzerDriver driver;
    QVERIFY(connectTo(driver, fake));
    driver.setStartFrequency(2999.9);
    driver.setReferenceLevel(-7);
    driver.setSweepPoints(32000);
    QLocale::setDefault(previous);
    QTRY_COMPARE(fake.received(),
                 QByteArray("FREQ:STAR 2999.9000 MHz\nDISP:WIND:TRAC:Y:RLEV -7.0000 dBm\nSWE:POIN 32000\n"));
}

void tst_SpectrumAnalyzerDriver::answers_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<double>>("expected");
    // What the trouble of each answer quotes; empty when there is none.
    QTest::addColumn<QString>("quoted");
    QTest::newRow("two values") << QList<QByteArray>{"1.5,-2.25\n"} << QList<double>{1.5, -2.25} << QString();
    QTest::newRow("one value") << QList<QByteArray>{"-30.5\n"} << QList<double>{-30.5} << QString();
    QTest::newRow("lone LF") << QList<QByteArray>{"\n"} << QList<double>{noNumber} << R"("")";
    QTest::newRow("empty fields") << QList<QByteArray>{",,3\n"} << QList<double>{3.0} << QString();
    QTest::newRow("LF before comma") << QList<QByteArray>{"1\n,2\n"} << QList<double>{1.0, 2.0} << QString();
    QTest::newRow("CR LF") << QList<QByteArray>{"4.5\r\n"} << QList<double>{4.5} << QString();
    QTest::newRow("zero byte") << QList<QByteArray>{QByteArray("7,8\0,9\n", 7)} << QList<double>{7.0, 8.0}
                               << QString();
    QTest::newRow("split in segments") << QList<QByteArray>{"1.0E+09,", "-45.5,", "1.002E+09,-98\n"}
                                       << QList<double>{1e9, -45.5, 1.002e9, -98.0} << QString();
    QTest::newRow("overload among values") << QList<QByteArray>{"-10.5,OVER,0\n"}
                                           << QList<double>{-10.5, noNumber, 0.0} << R"("-10.5,OVER,0")";
    QTest::newRow("garbage") << QList<QByteArray>{QByteArray("#\x01garbage,,;x\xff\n", 15)}
                             << QList<double>{noNumber, noNumber} << R"("#\x01garbage,,;x\xff")";
    QTest::newRow("trailing comma") << QList<QByteArray>{"1,2,\n"} << QList<double>{1.0, 2.0, noNumber}
                                    << R"("1,2,")";
    QTest::newRow("nothing before a zero byte") << QList<QByteArray>{QByteArray("\0-5\n", 4)}
                                                << QList<double>{} << R"("\x00-5")";
}

void tst_SpectrumAnalyzerDriver::answers()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<double>, expected);
    QFETCH(QString, quoted);
    FakeInstrument fake(SpectrumAnalyzerDriver::lanPort);
    fake.setResponder(answerQueries(pieces));
    SpectrumAnalyzerDriver driver;
    QVERIFY(connectTo(driver, fake));
    QSignalSpy troubles(&driver, &SpectrumAnalyzerDriver::linkTrouble);
    for (const QList<double> &values : {driver.markerLevel(), driver.peakTable()}) {
        QCOMPARE(values.size(), expected.size());
        for (int i = 0; i < values.size(); ++i)
            QCOMPARE(values.at(i), expected.at(i));
    }
    QStringList reported;
    for (const QList<QVariant> &arguments : qAsConst(troubles))
        reported << arguments.at(0).toString();
    const QString trouble = QStringLiteral("answer to %1 is not a list of numbers: ") + quoted;
    const QStringList expectedTroubles =
        quoted.isEmpty() ? QStringList() : QStringList{trouble.arg("calc:mark:y?"), trouble.arg("trac:math:peak?")};
    QCOMPARE(reported, expectedTroubles);
}

void tst_SpectrumAnalyzerDriver::silentAnalyzerGivesEmptyListAfterOneSecond()
{
    FakeInstrument fake(SpectrumAnalyzerDriver::lanPort);
    SpectrumAnalyzerDriver driver;
    QVERIFY(connectTo(driver, fake));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(driver.markerFrequency().isEmpty());
    QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));
}

void tst_SpectrumAnalyzerDriver::lateAnswerIsDiscarded()
{
    FakeInstrument fake(SpectrumAnalyzerDriver::lanPort);
    int query = 0;
    fake.setResponder([&query](const QByteArray &) {
        ++query;
        return query == 1 ? QList<FakeInstrument::Reply>{{"1,2,3,4\n", 1200}}
                          : QList<FakeInstrument::Reply>{{"-20.5\n", 0}};
    });
    SpectrumAnalyzerDriver driver;
    QVERIFY(connectTo(driver, fake));
    QVERIFY(driver.peakTable().isEmpty());
    QTest::qWait(400);
    QCOMPARE(driver.markerLevel(), QList<double>{-20.5});
}

void tst_SpectrumAnalyzerDriver::connectionSignals()
{
    FakeInstrument fake(SpectrumAnalyzerDriver::lanPort);
    SpectrumAnalyzerDriver driver;
    QSignalSpy disconnected(&driver, &SpectrumAnalyzerDriver::spectrumAnalyzerDisconnected);
    driver.disconnectFromAnalyzer();
    QVERIFY(disconnected.isEmpty());
    QVERIFY(connectTo(driver, fake));
    driver.disconnectFromAnalyzer();
    QTRY_COMPARE(disconnected.size(), 1);
}

void tst_SpectrumAnalyzerDriver::nobodyListening()
{
    SpectrumAnalyzerDriver driver;
    QSignalSpy connected(&driver, &SpectrumAnalyzerDriver::spectrumAnalyzerConnected);
    QSignalSpy disconnected(&driver, &SpectrumAnalyzerDriver::spectrumAnalyzerDisconnected);
    QElapsedTimer timer;
    timer.start();
    driver.connectToAnalyzer(QStringLiteral("127.254.254.251"));
    QVERIFY(timer.elapsed() < 100);
    QVERIFY(driver.markerLevel().isEmpty());
    QTest::qWait(200);
    QVERIFY(connected.isEmpty());
    QVERIFY(disconnected.isEmpty());
}

QTEST_GUILESS_MAIN(tst_SpectrumAnalyzerDriver)
#include "tst_SpectrumAnalyzerDriver.moc"
