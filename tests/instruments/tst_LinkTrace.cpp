#include "LinkTrace.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

// What follows the time stamp on each line of the file; a line without a stamp is returned whole,
// marked, so that a comparison shows it.
QByteArrayList entries(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QByteArray("<no file>")};
    const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
    QByteArrayList found;
    QByteArray all = file.readAll();
    if (!all.isEmpty() && !all.endsWith('\n'))
        all += "<unended>";
    for (const QByteArray &line : all.split('\n')) {
        const QRegularExpressionMatch match = stamp.match(QString::fromLatin1(line));
        found << (match.hasMatch() ? line.mid(match.capturedLength()) : "<unstamped> " + line);
    }
    found.removeLast();
    return found;
}

void traceOne(char direction, const QByteArray &bytes)
{
    if (direction == '>')
        LinkTrace::sent("synthesizer", bytes);
    else if (direction == '<')
        LinkTrace::received("synthesizer", bytes);
    else
        LinkTrace::trouble("synthesizer", QString::fromUtf8(bytes));
}

} // namespace

class tst_LinkTrace : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString tracePath(const QString &name = QStringLiteral("trace.log")) const { return dir->filePath(name); }

private slots:
    void init();
    void cleanup();
    void linesAsWritten_data();
    void linesAsWritten();
    void lineReachesTheFileWithoutALaterOne_data();
    void lineReachesTheFileWithoutALaterOne();
    void stopAndStartWhileAnotherThreadWrites();
};

void tst_LinkTrace::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_LinkTrace::cleanup()
{
    LinkTrace::stop();
    dir.reset();
}

void tst_LinkTrace::linesAsWritten_data()
{
    QTest::addColumn<char>("direction");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::newRow("command") << '>' << QByteArray("FREQ:CW 1000.00000000 MHz\n")
                             << QByteArrayList{"synthesizer > FREQ:CW 1000.00000000 MHz"};
    QTest::newRow("answer with CR LF") << '<' << QByteArray("-12.5\r\n") << QByteArrayList{"synthesizer < -12.5"};
    QTest::newRow("no line end") << '>' << QByteArray("*IDN?") << QByteArrayList{"synthesizer > *IDN?"};
    QTest::newRow("two lines") << '<' << QByteArray("1\n2\n")
                               << QByteArrayList{"synthesizer < 1", "synthesizer < 2"};
    QTest::newRow("empty line") << '<' << QByteArray("\n") << QByteArrayList{"synthesizer < "};
    QTest::newRow("control bytes") << '<' << QByteArray("a\x01\tb\x1b") << QByteArrayList{"synthesizer < a\\x01\\x09b\\x1b"};
    QTest::newRow("CR inside a line") << '<' << QByteArray("a\rb\n") << QByteArrayList{"synthesizer < a\\x0db"};
    QTest::newRow("zero byte") << '<' << QByteArray("a\0b", 3) << QByteArrayList{"synthesizer < a\\x00b"};
    QTest::newRow("backslash") << '>' << QByteArray("a\\x41") << QByteArrayList{"synthesizer > a\\\\x41"};
    QTest::newRow("DEL") << '<' << QByteArray("\x7f") << QByteArrayList{"synthesizer < \\x7f"};
    QTest::newRow("tilde, the last printable") << '<' << QByteArray("~ ") << QByteArrayList{"synthesizer < ~ "};
    QTest::newRow("byte 0x80") << '<' << QByteArray("\x80") << QByteArrayList{"synthesizer < \\x80"};
    QTest::newRow("byte 0xff") << '<' << QByteArray("x\xff") << QByteArrayList{"synthesizer < x\\xff"};
    QTest::newRow("UTF-8 in an answer") << '<' << QByteArray("10 \xce\xa9\n") << QByteArrayList{"synthesizer < 10 \\xce\\xa9"};
    QTest::newRow("UTF-8 in a trouble") << '!' << QByteArray("no answer \xe2\x80\x94 timeout")
                                        << QByteArrayList{"synthesizer ! no answer \\xe2\\x80\\x94 timeout"};
}

void tst_LinkTrace::linesAsWritten()
{
    QFETCH(char, direction);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArrayList, expected);
    QVERIFY(LinkTrace::start(tracePath()));
    traceOne(direction, bytes);
    LinkTrace::stop();
    QCOMPARE(entries(tracePath()), expected);
}

void tst_LinkTrace::lineReachesTheFileWithoutALaterOne_data()
{
    QTest::addColumn<char>("direction");
    QTest::newRow("sent") << '>';
    QTest::newRow("received") << '<';
    QTest::newRow("trouble") << '!';
}

void tst_LinkTrace::lineReachesTheFileWithoutALaterOne()
{
    QFETCH(char, direction);
    QVERIFY(LinkTrace::start(tracePath()));
    // A line right before, so that the one under test follows a write within the flush interval.
    LinkTrace::sent("synthesizer", "*CLS\n");
    traceOne(direction, "LAST");
    const QByteArray last = QByteArray("synthesizer ") + direction + " LAST";
    // Bound far above the interval, for a loaded machine; without a flush of its own the line
    // stays in the buffer until the trace stops.
    QTRY_COMPARE_WITH_TIMEOUT(entries(tracePath()), (QByteArrayList{"synthesizer > *CLS", last}), 5000);
    QVERIFY(LinkTrace::isOn());
}

void tst_LinkTrace::stopAndStartWhileAnotherThreadWrites()
{
    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        while (!done) {
            LinkTrace::sent("power meter", "FETC?\n");
            LinkTrace::received("power meter", "-10.25\n");
            ++written;
        }
    });
    const int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        const QString path = tracePath(QStringLiteral("trace %1.log").arg(round));
        QVERIFY(LinkTrace::start(path));
        QCOMPARE(LinkTrace::path(), path);
        const int before = written;
        QTRY_VERIFY(written > before + 5);
        LinkTrace::stop();
        QVERIFY(!LinkTrace::isOn());
        QVERIFY(LinkTrace::path().isEmpty());
    }
    done = true;
    writer.join();
    // Every file holds whole lines only, each a query or its answer.
    for (int round = 0; round < rounds; ++round) {
        const QByteArrayList lines = entries(tracePath(QStringLiteral("trace %1.log").arg(round)));
        QVERIFY(!lines.isEmpty());
        for (const QByteArray &line : lines)
            QVERIFY2(line == "power meter > FETC?" || line == "power meter < -10.25", line.constData());
    }
}

QTEST_GUILESS_MAIN(tst_LinkTrace)
#include "tst_LinkTrace.moc"
