#include "ExcelWorker.h"
#include "RecordingExcel.h"
#include "WorkbookDump.h"
#include "XlsxApplication.h"
#include "XlsxDocument.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using Cells = QMap<QString, QString>;
Q_DECLARE_METATYPE(Cells)

namespace {

struct Peaks
{
    QList<double> frequencies;
    QList<double> levels;
};

// A carrier at 1 GHz and count - 1 spurs 2, 3, ... MHz above it, 10 dB apart.
Peaks peaks(int count)
{
    Peaks p;
    for (int i = 0; i < count; ++i) {
        p.frequencies << 1e9 + (i == 0 ? 0 : (i + 1) * 1e6);
        p.levels << -10.0 - 10 * i;
    }
    return p;
}

QString n(double value)
{
    return QStringLiteral("n:") + QString::number(value, 'g', 15);
}

QString s(const QString &text)
{
    return QStringLiteral("s:") + text;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// Runs body in a child process whose file-size limit it may lower: a write past the limit then
// fails with EFBIG after a partial write, as on a full disk. The child's exit code, or -1.
int inChildProcess(const std::function<int()> &body)
{
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool limitFileSize(rlim_t bytes)
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes == RLIM_INFINITY ? limit.rlim_max : bytes;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

} // namespace

class tst_ExcelWorker : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    ExcelWorker worker;

    QString path(const QString &name) const { return worker.workbookPath(name); }
    // The workbooks of the folder as LibreOffice reads them, a second reader beside openpyxl.
    void crossCheck()
    {
        QString errors;
        const int result = WorkbookDump::crossCheck(dir.path(), &errors);
        if (result == 77)
            qWarning("%s", qPrintable(errors.trimmed()));
        else
            QVERIFY2(result == 0, qPrintable(errors));
    }

private slots:
    void initTestCase();
    void init();
    void recordedCalls_data();
    void recordedCalls();
    void pathRule();
    void powerRows();
    void powerStepRows();
    void powerRowsContinueAnExistingFile();
    void spurRowsLayout();
    void spurRowsAfterAnExistingRun();
    void spurPeakCounts_data();
    void spurPeakCounts();
    void spurCarrierExclusion();
    void spurCountZeroWritesNothing();
    void damagedWorkbookIsNeverOverwritten();
    void foreignWorkbookKeepsItsContent();
    void foreignWorkbooks_data();
    void foreignWorkbooks();
    void storageFaultsKeepEveryRow_data();
    void storageFaultsKeepEveryRow();
};

void tst_ExcelWorker::initTestCase()
{
    QVERIFY(dir.isValid());
    worker.setDirectory(dir.path());
}

void tst_ExcelWorker::init()
{
    for (const QString &file : QDir(dir.path()).entryList(QDir::Files))
        QFile::remove(dir.filePath(file));
    XlsxDocument::clearCache();
    worker.setApplicationFactory([] { return std::make_unique<XlsxApplication>(); });
}

void tst_ExcelWorker::recordedCalls_data()
{
    QTest::addColumn<bool>("existing");
    QTest::addColumn<quint64>("pointIndex");
    QTest::addColumn<QStringList>("expected");
    const QStringList open{QStringLiteral("Application.Workbooks")};
    const QStringList second{
        QStringLiteral("Workbook.Worksheets"), QStringLiteral("Worksheets.Item(1)"),
        QStringLiteral("Worksheet.Name(Лист 1)"), QStringLiteral("Application.Workbooks"),
        QStringLiteral("Workbooks.Item(1)"), QStringLiteral("Workbook.Worksheets"),
        QStringLiteral("Worksheets.Item(1)")};
    const QStringList format{QStringLiteral("Worksheet.Cells(1,1)"), QStringLiteral("Range.RowHeight(12.75)"),
                             QStringLiteral("Range.ColumnWidth(15)")};
    const QStringList lastRow{QStringLiteral("Worksheet.Cells"), QStringLiteral("Range.SpecialCells(11)"),
                              QStringLiteral("Range.Row")};
    auto row = [](int r) {
        return QStringList{QStringLiteral("Worksheet.Cells(%1,1)").arg(r), QStringLiteral("Range.Value(100.5)"),
                           QStringLiteral("Worksheet.Cells(%1,2)").arg(r), QStringLiteral("Range.Value(-10.25)"),
                           QStringLiteral("Worksheet.Cells(%1,3)").arg(r), QStringLiteral("Range.Value(1.5)"),
                           QStringLiteral("Worksheet.Cells(%1,4)").arg(r), QStringLiteral("Range.Value(38)")};
    };
    const QStringList close{QStringLiteral("Application.DisplayAlerts(false)"), QStringLiteral("Workbook.SaveAs(@)"),
                            QStringLiteral("Workbook.Close()"), QStringLiteral("Workbooks.Close")};
    QTest::newRow("new file, first point")
        << false << quint64(0)
        << open + QStringList{QStringLiteral("Workbooks.Add"), QStringLiteral("Workbooks.Item(1)")} + second
               + format + row(1) + close;
    QTest::newRow("existing file, first point")
        << true << quint64(0)
        << open + QStringList{QStringLiteral("Workbooks.Open(@)")} + second + lastRow + format + row(8) + close;
    QTest::newRow("existing file, later point")
        << true << quint64(3)
        << open + QStringList{QStringLiteral("Workbooks.Open(@)")} + second + lastRow + row(8) + close;
    QTest::newRow("new file, later point")
        << false << quint64(3)
        << open + QStringList{QStringLiteral("Workbooks.Add"), QStringLiteral("Workbooks.Item(1)")} + second
               + lastRow + row(8) + close;
}

void tst_ExcelWorker::recordedCalls()
{
    QFETCH(bool, existing);
    QFETCH(quint64, pointIndex);
    QFETCH(QStringList, expected);
    auto log = std::make_shared<RecordingExcel::Log>();
    log->lastUsedRow = 7;
    worker.setApplicationFactory([log] { return std::make_unique<RecordingExcel>(log); });
    const QString file = path(QStringLiteral("Table -10 dBm"));
    if (existing) {
        QFile touch(file);
        QVERIFY(touch.open(QIODevice::WriteOnly));
    }
    worker.startExcel();
    worker.writeFrequencySweepRow(QStringLiteral("Table -10 dBm"), pointIndex, 100.5, -10.25, 1.5, 38);
    worker.quitExcel();
    expected.replaceInStrings(QStringLiteral("@"), file);
    expected << QStringLiteral("Application.Quit()");
    QCOMPARE(log->calls, expected);
}

void tst_ExcelWorker::pathRule()
{
    ExcelWorker plain;
    QCOMPARE(plain.workbookPath(QStringLiteral("Table spur")),
             QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/Table spur.xlsx")));
    QCOMPARE(worker.workbookPath(QStringLiteral("a/b")),
             QDir::toNativeSeparators(dir.path() + QStringLiteral("/a/b.xlsx")));
}

void tst_ExcelWorker::powerRows()
{
    worker.startExcel();
    for (quint64 i = 0; i < 3; ++i)
        worker.writeFrequencySweepRow(QStringLiteral("Table -10 dBm"), i, 100 + 10 * i, -10.5 - i,
                                      i * 0.5, 38.25);
    worker.quitExcel();
    const QJsonObject dump = WorkbookDump::dump(path(QStringLiteral("Table -10 dBm")));
    QCOMPARE(dump.value(QStringLiteral("first")).toString(), QStringLiteral("Лист 1"));
    QCOMPARE(dump.value(QStringLiteral("row1Height")).toDouble(), 12.75);
    QCOMPARE(dump.value(QStringLiteral("colAWidth")).toDouble(), 15.0);
    const Cells expected{{"A1", n(100)}, {"B1", n(-10.5)}, {"C1", n(0)},   {"D1", n(38.25)},
                         {"A2", n(110)}, {"B2", n(-11.5)}, {"C2", n(0.5)}, {"D2", n(38.25)},
                         {"A3", n(120)}, {"B3", n(-12.5)}, {"C3", n(1)},   {"D3", n(38.25)}};
    QCOMPARE(WorkbookDump::cells(dump, QStringLiteral("Лист 1")), expected);
    crossCheck();
}

void tst_ExcelWorker::powerStepRows()
{
    worker.startExcel();
    worker.writePowerStepRow(QStringLiteral("Table 1000 MHz"), 0, 1000, -20.125, -20, 0, 0);
    worker.writePowerStepRow(QStringLiteral("Table 1000 MHz"), 1, 1000, -19.125, -19, -18.5, 40);
    worker.quitExcel();
    const Cells expected{{"A1", n(1000)}, {"B1", n(-20.125)}, {"C1", n(-20)}, {"D1", n(0)},
                         {"E1", n(0)},    {"A2", n(1000)},    {"B2", n(-19.125)}, {"C2", n(-19)},
                         {"D2", n(-18.5)}, {"E2", n(40)}};
    QCOMPARE(WorkbookDump::cells(WorkbookDump::dump(path(QStringLiteral("Table 1000 MHz"))),
                                 QStringLiteral("Лист 1")),
             expected);
    crossCheck();
}

void tst_ExcelWorker::powerRowsContinueAnExistingFile()
{
    const QString file = path(QStringLiteral("Table 0 dBm"));
    QVERIFY(WorkbookDump::make({QStringLiteral("rows"), file, QStringLiteral("7"), QStringLiteral("2")}));
    worker.startExcel();
    worker.writeFrequencySweepRow(QStringLiteral("Table 0 dBm"), 0, 500, -1, 0, 0);
    worker.writeFrequencySweepRow(QStringLiteral("Table 0 dBm"), 1, 600, -2, 0, 0);
    worker.quitExcel();
    const Cells cells = WorkbookDump::cells(WorkbookDump::dump(file), QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("A7"), n(701.5));
    QCOMPARE(cells.value("A8"), n(500));
    QCOMPARE(cells.value("A9"), n(600));
    QCOMPARE(cells.value("B9"), n(-2));
    QVERIFY(!cells.contains("A10"));
}

void tst_ExcelWorker::spurRowsLayout()
{
    const Peaks p = peaks(3);
    quint32 count = 3;
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    worker.startExcel();
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 20, 50, count, p.frequencies, p.levels);
    worker.writeSpurRow(QStringLiteral("Table spur"), 1, 20, 50, count, p.frequencies, p.levels);
    worker.quitExcel();
    const QJsonObject dump = WorkbookDump::dump(path(QStringLiteral("Table spur")));
    Cells cells = WorkbookDump::cells(dump, QStringLiteral("Лист 1"));
    const QDateTime stamp =
        QDateTime::fromString(cells.take("A1").mid(2), Qt::ISODateWithMs);
    QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime().addSecs(1),
             qPrintable(stamp.toString()));
    QVERIFY(!dump.value(QStringLiteral("dateFormat")).toString().isEmpty());
    Cells expected{{"C1", s("BW 50")}, {"D1", s("SPAN 20")}, {"A4", s("Частота, ГГц")},
                   {"B4", s("Амплитуда, дБм")}};
    const char *const headerColumns = "CDEFGHIJKLMNOPQR";
    for (int i = 0; i < 16; ++i)
        expected.insert(QString(QLatin1Char(headerColumns[i])) + QLatin1Char('4'),
                        s(QString::number(i / 2 + 1) + QLatin1Char(i % 2 ? 'a' : 'f')));
    for (int row : {5, 6}) {
        const QString r = QString::number(row);
        expected.insert("A" + r, n(1));
        expected.insert("B" + r, n(-10));
        expected.insert("C" + r, n(1.002));
        expected.insert("D" + r, n(-20));
        expected.insert("E" + r, n(1.003));
        expected.insert("F" + r, n(-30));
        expected.insert("R" + r, s("10"));
    }
    QCOMPARE(cells, expected);
    crossCheck();
}

void tst_ExcelWorker::spurRowsAfterAnExistingRun()
{
    const QString file = path(QStringLiteral("Table spur"));
    QVERIFY(WorkbookDump::make({QStringLiteral("rows"), file, QStringLiteral("12"), QStringLiteral("3")}));
    const Peaks p = peaks(2);
    quint32 count = 2;
    worker.startExcel();
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 10, 50, count, p.frequencies, p.levels);
    worker.writeSpurRow(QStringLiteral("Table spur"), 1, 10, 50, count, p.frequencies, p.levels);
    // A second run: two empty rows, then its own title.
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 10, 50, count, p.frequencies, p.levels);
    worker.quitExcel();
    const Cells cells = WorkbookDump::cells(WorkbookDump::dump(file), QStringLiteral("Лист 1"));
    QVERIFY(cells.value("A15").startsWith("d:"));
    QCOMPARE(cells.value("C15"), s("BW 50"));
    QCOMPARE(cells.value("A18"), s("Частота, ГГц"));
    QCOMPARE(cells.value("A19"), n(1));
    QCOMPARE(cells.value("A20"), n(1));
    QVERIFY(cells.value("A23").startsWith("d:"));
    QCOMPARE(cells.value("R27"), s("10"));
    for (int empty : {13, 14, 16, 17, 21, 22, 24, 25})
        for (const char *column : {"A", "B", "C", "D"})
            QVERIFY2(!cells.contains(column + QString::number(empty)), qPrintable(QString::number(empty)));
    crossCheck();
}

void tst_ExcelWorker::spurPeakCounts_data()
{
    QTest::addColumn<int>("peakCount");
    QTest::addColumn<quint32>("countAfter");
    QTest::addColumn<QString>("lastSpurColumn");
    QTest::newRow("1") << 1 << 1u << QString();
    QTest::newRow("8") << 8 << 8u << QStringLiteral("P");
    QTest::newRow("9") << 9 << 8u << QStringLiteral("P");
    QTest::newRow("10") << 10 << 8u << QStringLiteral("P");
    QTest::newRow("11") << 11 << 8u << QStringLiteral("P");
}

void tst_ExcelWorker::spurPeakCounts()
{
    QFETCH(int, peakCount);
    QFETCH(quint32, countAfter);
    QFETCH(QString, lastSpurColumn);
    const Peaks p = peaks(peakCount);
    quint32 count = quint32(peakCount);
    worker.startExcel();
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 10, 50, count, p.frequencies, p.levels);
    worker.quitExcel();
    QCOMPARE(count, countAfter);
    const Cells cells =
        WorkbookDump::cells(WorkbookDump::dump(path(QStringLiteral("Table spur"))), QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("A5"), n(1));
    QCOMPARE(cells.value("B5"), n(-10));
    if (lastSpurColumn.isEmpty()) {
        QVERIFY(!cells.contains("C5"));
        QVERIFY(!cells.contains("R5"));
        return;
    }
    QCOMPARE(cells.value(lastSpurColumn + "5"), n(-80));
    QCOMPARE(cells.value("O5"), n(1.008));
    QVERIFY(!cells.contains("Q5"));
    QVERIFY(!cells.contains("S5"));
    QCOMPARE(cells.value("R5"), s("10"));
}

void tst_ExcelWorker::spurCarrierExclusion()
{
    // 10 kHz and exactly 16 kHz from the carrier are not spurs; 16.5 kHz and 2 MHz are.
    const QList<double> frequencies{1e9, 1e9 - 10e3, 1e9 + 16e3, 1e9 + 16.5e3, 1e9 + 2e6};
    const QList<double> levels{-10, -40, -45, -50, -55};
    quint32 count = 5;
    worker.startExcel();
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 10, 50, count, frequencies, levels);
    worker.quitExcel();
    const Cells cells =
        WorkbookDump::cells(WorkbookDump::dump(path(QStringLiteral("Table spur"))), QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("C5"), n(1.0000165));
    QCOMPARE(cells.value("D5"), n(-50));
    QCOMPARE(cells.value("E5"), n(1.002));
    QCOMPARE(cells.value("F5"), n(-55));
    QVERIFY(!cells.contains("G5"));
    // The level difference uses the second peak even though it was skipped.
    QCOMPARE(cells.value("R5"), s("30"));
}

void tst_ExcelWorker::spurCountZeroWritesNothing()
{
    const Peaks p = peaks(3);
    quint32 count = 0;
    worker.startExcel();
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 10, 50, count, p.frequencies, p.levels);
    worker.quitExcel();
    const QJsonObject dump = WorkbookDump::dump(path(QStringLiteral("Table spur")));
    QCOMPARE(dump.value(QStringLiteral("first")).toString(), QStringLiteral("Лист 1"));
    QVERIFY(WorkbookDump::cells(dump, QStringLiteral("Лист 1")).isEmpty());
}

void tst_ExcelWorker::damagedWorkbookIsNeverOverwritten()
{
    const QString file = path(QStringLiteral("Table -10 dBm"));
    QFile damaged(file);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    const QByteArray garbage("PK\x03\x04 this is not a workbook any more");
    damaged.write(garbage);
    damaged.close();
    worker.startExcel();
    worker.writeFrequencySweepRow(QStringLiteral("Table -10 dBm"), 0, 100, -10, 0, 0);
    worker.writeFrequencySweepRow(QStringLiteral("Table -10 dBm"), 1, 200, -11, 0, 0);
    worker.quitExcel();
    QVERIFY(damaged.open(QIODevice::ReadOnly));
    QCOMPARE(damaged.readAll(), garbage);
    const Cells cells = WorkbookDump::cells(
        WorkbookDump::dump(path(QStringLiteral("Table -10 dBm (recovered)"))), QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("A1"), n(100));
    QCOMPARE(cells.value("A2"), n(200));
}

void tst_ExcelWorker::foreignWorkbookKeepsItsContent()
{
    const QString file = path(QStringLiteral("Table spur"));
    QVERIFY(WorkbookDump::make({QStringLiteral("styled"), file}));
    const QJsonObject before = WorkbookDump::dump(file);
    QCOMPARE(before.value(QStringLiteral("first")).toString(), QStringLiteral("Data"));
    const Peaks p = peaks(2);
    quint32 count = 2;
    worker.startExcel();
    worker.writeSpurRow(QStringLiteral("Table spur"), 0, 10, 50, count, p.frequencies, p.levels);
    worker.quitExcel();
    const QJsonObject after = WorkbookDump::dump(file);
    QCOMPARE(after.value(QStringLiteral("sheets")).toArray().size(), 3);
    QCOMPARE(after.value(QStringLiteral("first")).toString(), QStringLiteral("Лист 1"));
    QCOMPARE(WorkbookDump::cells(after, QStringLiteral("Notes")),
             WorkbookDump::cells(before, QStringLiteral("Notes")));
    QCOMPARE(WorkbookDump::cells(after, QStringLiteral("Third")),
             WorkbookDump::cells(before, QStringLiteral("Third")));
    const Cells cells = WorkbookDump::cells(after, QStringLiteral("Лист 1"));
    const Cells old = WorkbookDump::cells(before, QStringLiteral("Data"));
    QCOMPARE(cells.value("A1"), old.value("A1"));
    QCOMPARE(cells.value("B1"), old.value("B1"));
    QCOMPARE(cells.value("A2"), old.value("A2"));
    QVERIFY(cells.value("A5").startsWith("d:"));
    QCOMPARE(cells.value("A8"), s("Частота, ГГц"));
    QCOMPARE(cells.value("A9"), n(1));
    crossCheck();
}

void tst_ExcelWorker::foreignWorkbooks_data()
{
    QTest::addColumn<QStringList>("source");
    for (const char *file : {"type-me.xlsx", "deaths.xlsx", "loadPivotTables.xlsx", "namedRegions2.xlsx",
                             "namedRegions3.xlsx", "groupTest.xlsx"})
        QTest::newRow(file) << QStringList{QStringLiteral(FIXTURES_DIR "/") + QLatin1String(file)};
    for (const char *kind : {"references", "quoted", "taken", "chartsheet", "1904"}) {
        QTest::addRow("%s, openpyxl", kind) << QStringList{QStringLiteral("foreign"), QLatin1String(kind)};
        QTest::addRow("%s, LibreOffice", kind)
            << QStringList{QStringLiteral("foreign"), QLatin1String(kind), QStringLiteral("libreoffice")};
    }
}

void tst_ExcelWorker::foreignWorkbooks()
{
    QFETCH(QStringList, source);
    const QString file = path(QStringLiteral("Table spur"));
    if (source.size() == 1) {
        QVERIFY(QFile::copy(source.at(0), file));
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    } else {
        QString errors;
        const int made = WorkbookDump::check({source.at(0), source.at(1), file, source.value(2)}, &errors);
        if (made == 77)
            QSKIP("LibreOffice is not installed: no workbook re-saved by it");
        QVERIFY2(made == 0, qPrintable(errors));
    }
    QTemporaryDir beforeDir;
    const QString before = beforeDir.filePath(QStringLiteral("before.xlsx"));
    QVERIFY(QFile::copy(file, before));
    const Peaks p = peaks(3);
    for (quint64 point = 0; point < 2; ++point) {
        quint32 count = 3;
        worker.writeSpurRow(QStringLiteral("Table spur"), point, 10, 50, count, p.frequencies, p.levels);
    }
    worker.quitExcel();
    QString errors;
    const int result = WorkbookDump::check({QStringLiteral("check-appended"), before, file}, &errors);
    if (result == 77)
        QSKIP(qPrintable(errors.trimmed()));
    QVERIFY2(result == 0, qPrintable(errors));
}

void tst_ExcelWorker::storageFaultsKeepEveryRow_data()
{
    QTest::addColumn<bool>("spur");
    QTest::addColumn<int>("earlierRows");
    // 0: the first row of a new workbook; 3: a workbook smaller than a save's write buffer;
    // 3000: one larger than it.
    for (const bool spur : {false, true})
        for (const int earlier : {0, 3, 3000})
            QTest::addRow("%s, %d rows before", spur ? "spur" : "power", earlier) << spur << earlier;
}

void tst_ExcelWorker::storageFaultsKeepEveryRow()
{
    QFETCH(bool, spur);
    QFETCH(int, earlierRows);
    const QString name = spur ? QStringLiteral("Table spur") : QStringLiteral("Table -10 dBm");
    auto append = [&](quint64 index) {
        const double value = 100 + double(index);
        if (spur) {
            quint32 count = 2;
            worker.writeSpurRow(name, index, 10, 50, count, {value * 1e6, value * 1e6 + 5e6}, {-10, -60});
        } else {
            worker.writeFrequencySweepRow(name, index, value, -10, 0, 0);
        }
    };
    worker.startExcel();
    for (int i = 0; i < earlierRows; ++i)
        append(quint64(i));
    const QByteArray before = contentOf(path(name));
    if (earlierRows == 3000)
        QVERIFY(before.size() > 16 * 1024);

    const int failures = inChildProcess([&] {
        int failed = 0;
        if (!limitFileSize(512))
            return 64;
        append(quint64(earlierRows));
        append(quint64(earlierRows) + 1);
        if (contentOf(path(name)) != before)
            failed |= 1;
        if (QFile::exists(path(name + QStringLiteral(" (recovered)"))))
            failed |= 2;
        if (!QDir(dir.path()).entryList({QStringLiteral("*.xlsx.*")}, QDir::Files | QDir::Hidden).isEmpty())
            failed |= 4;
        const QList<ExcelWorker::WaitingRows> waiting = worker.waitingRows();
        if (waiting.size() != 1 || waiting.at(0).workbook != name || waiting.at(0).rows != 2
            || waiting.at(0).reason != QLatin1String("disk full"))
            failed |= 8;
        QSignalSpy saved(&worker, &ExcelWorker::rowsSaved);
        limitFileSize(RLIM_INFINITY);
        append(quint64(earlierRows) + 2);
        worker.quitExcel();
        if (!worker.waitingRows().isEmpty() || saved.size() != 1 || saved.at(0).at(1).toInt() != 3)
            failed |= 16;
        return failed;
    });
    worker.quitExcel();
    QVERIFY2(failures == 0, qPrintable(QStringLiteral("child failures %1 (1 file changed, 2 recovered "
                                                      "file, 4 temporary file, 8 not waiting, 16 not saved)")
                                           .arg(failures)));
    const Cells cells = WorkbookDump::cells(WorkbookDump::dump(path(name)), QStringLiteral("Лист 1"));
    QList<QString> column;
    for (int row = 1; cells.contains(QStringLiteral("A%1").arg(row)) || row < 8; ++row) {
        const QString value = cells.value(QStringLiteral("A%1").arg(row));
        if (value.startsWith(QLatin1String("n:")))
            column << value;
    }
    QList<QString> expected;
    for (int i = 0; i < earlierRows + 3; ++i)
        expected << n(spur ? (100 + i) * 1e6 / 1e9 : 100 + i);
    QCOMPARE(column, expected);
}

QTEST_GUILESS_MAIN(tst_ExcelWorker)
#include "tst_ExcelWorker.moc"
