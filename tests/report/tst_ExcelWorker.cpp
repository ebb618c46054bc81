#include "DurableFile.h"
#include "ExcelWorker.h"
#include "RecordingExcel.h"
#include "WorkbookDump.h"
#include "XlsxApplication.h"
#include "XlsxDocument.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLockFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <limits>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Starts body in a child process whose file-size limit it may lower: a write past the limit
// then fails with EFBIG after a partial write, as on a full disk.
pid_t startChildProcess(const std::function<int()> &body)
{
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        _exit(body());
    }
    return child;
}

// The child's exit code, or -1.
int exitCodeOf(pid_t child)
{
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

int inChildProcess(const std::function<int()> &body)
{
    return exitCodeOf(startChildProcess(body));
}

const uid_t nobody = 65534;
const gid_t labGroup = 100;

// For root, whom no permission stops: acts as the user nobody (on), a member of the lab's group
// when asked, or as root again (off). The saved user ID stays root's, so that the test can mend
// the fault it made.
bool actAsNobody(bool on, bool inLabGroup = false)
{
    if (on)
        return setgroups(inLabGroup ? 1 : 0, &labGroup) == 0 && setegid(nobody) == 0 && seteuid(nobody) == 0;
    return seteuid(0) == 0 && setegid(0) == 0;
}

struct stat statusOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        status.st_mode = 0;
    return status;
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// The numbers of column A, top to bottom.
QList<double> firstColumn(const QString &path)
{
    const Cells cells = WorkbookDump::cells(WorkbookDump::dump(path), QStringLiteral("Лист 1"));
    QList<QPair<int, double>> numbers;
    for (auto it = cells.begin(); it != cells.end(); ++it) {
        if (it.key().startsWith(QLatin1Char('A')) && it.value().startsWith(QLatin1String("n:")))
            numbers.append({it.key().mid(1).toInt(), it.value().mid(2).toDouble()});
    }
    std::sort(numbers.begin(), numbers.end());
    QList<double> column;
    for (const auto &number : numbers)
        column << number.second;
    return column;
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
    void temporaryFilesOfACutSave_data();
    void temporaryFilesOfACutSave();
    void retriesOfWaitingRows_data();
    void retriesOfWaitingRows();
    void signalsLeaveTheWriterFree_data();
    void signalsLeaveTheWriterFree();
    void twoWritersOneWorkbook();
    void rowsAtEnd_data();
    void rowsAtEnd();
};

using Rows = QList<QVector<double>>;
Q_DECLARE_METATYPE(Rows)

void tst_ExcelWorker::rowsAtEnd_data()
{
    // The workbook holds three step rows of one frequency, the last two of one run; which of the
    // candidates, taken from the first, are its last rows?
    QTest::addColumn<Rows>("candidates");
    QTest::addColumn<QVector<double>>("anchor");
    QTest::addColumn<int>("found");
    const QVector<double> first{1000, -20.5, -20, qQNaN(), 38};
    const QVector<double> second{1000, -19.5, -19, -18.5, 39};
    const QVector<double> third{1000, -18.5, -18, -17.5, 40};
    const QVector<double> missing{1000, -17.5, -17, -16.5, 41};
    QTest::newRow("the last two") << Rows{second, third} << QVector<double>() << 2;
    QTest::newRow("the last, then one never saved") << Rows{third, missing} << QVector<double>() << 1;
    QTest::newRow("none saved") << Rows{missing} << QVector<double>() << 0;
    QTest::newRow("a later column differs") << Rows{QVector<double>{1000, -18.5, -18, -17.5, 99}}
                                            << QVector<double>() << 0;
    QTest::newRow("an empty cell matches no value") << Rows{first, second, third} << QVector<double>() << 3;
    QTest::newRow("anchored at the run's marked row") << Rows{third} << second << 1;
    QTest::newRow("an earlier run's equal row is not taken") << Rows{third} << first << 0;
}

void tst_ExcelWorker::rowsAtEnd()
{
    QFETCH(Rows, candidates);
    QFETCH(QVector<double>, anchor);
    QFETCH(int, found);
    const QString name = QStringLiteral("Table 1000 MHz");
    worker.startExcel();
    worker.writePowerStepRow(name, 0, 1000, -20.5, -20, qQNaN(), 38);
    worker.writePowerStepRow(name, 1, 1000, -19.5, -19, -18.5, 39);
    worker.writePowerStepRow(name, 2, 1000, -18.5, -18, -17.5, 40);
    worker.quitExcel();
    QCOMPARE(worker.rowsAtEnd(name, candidates, anchor), found);
}

void tst_ExcelWorker::initTestCase()
{
    QVERIFY(dir.isValid());
    // Open to the user nobody, whom the permission faults take as the writer when root runs them.
    QVERIFY(setMode(dir.path(), 0755));
}

void tst_ExcelWorker::init()
{
    const QFileInfoList entries =
        QDir(dir.path()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink()) {
            setMode(entry.filePath(), 0755);
            QDir(entry.filePath()).removeRecursively();
        } else {
            QFile::remove(entry.filePath());
        }
    }
    XlsxDocument::clearCache();
    worker.discardWaitingRows();
    worker.setDirectory(dir.path());
    worker.setApplicationFactory([] { return std::make_unique<XlsxApplication>(); });
    worker.setClock([] { return QDeadlineTimer::current().deadline(); });
    worker.setLockWait(3000);
}

void tst_ExcelWorker::recordedCalls_data()
{
    QTest::addColumn<bool>("existing");
    QTest::addColumn<quint64>("pointIndex");
    QTest::addColumn<QString>("kind"); // "power", "power step" or "spur"
    // A power row's values, with one more for the corrected column; a spur row's peaks, each as
    // its frequency and level.
    QTest::addColumn<QList<double>>("values");
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
    // The cells of row r, each as its column and the value's text.
    auto cells = [](int r, const QList<QPair<int, QString>> &values) {
        QStringList calls;
        for (const auto &value : values)
            calls << QStringLiteral("Worksheet.Cells(%1,%2)").arg(r).arg(value.first)
                  << QStringLiteral("Range.Value(%1)").arg(value.second);
        return calls;
    };
    auto row = [&](int r) { return cells(r, {{1, "100.5"}, {2, "-10.25"}, {3, "1.5"}, {4, "38"}}); };
    const QStringList close{QStringLiteral("Application.DisplayAlerts(false)"), QStringLiteral("Workbook.SaveAs(@)"),
                            QStringLiteral("Workbook.Close()"), QStringLiteral("Workbooks.Close")};
    const QStringList opened = open + QStringList{QStringLiteral("Workbooks.Open(@)")} + second + lastRow;
    const QList<double> sweep{100.5, -10.25, 1.5, 38};
    const QString power = QStringLiteral("power");
    QTest::newRow("new file, first point")
        << false << quint64(0) << power << sweep
        << open + QStringList{QStringLiteral("Workbooks.Add"), QStringLiteral("Workbooks.Item(1)")} + second
               + format + row(1) + close;
    QTest::newRow("existing file, first point")
        << true << quint64(0) << power << sweep
        << open + QStringList{QStringLiteral("Workbooks.Open(@)")} + second + lastRow + format + row(8) + close;
    QTest::newRow("existing file, later point") << true << quint64(3) << power << sweep << opened + row(8) + close;
    QTest::newRow("new file, later point")
        << false << quint64(3) << power << sweep
        << open + QStringList{QStringLiteral("Workbooks.Add"), QStringLiteral("Workbooks.Item(1)")} + second
               + lastRow + row(8) + close;

    // A reading that is not a number leaves its cell empty; the row keeps its place and the
    // other values their columns.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("power not a number")
        << true << quint64(3) << power << QList<double>{100.5, nan, 1.5, 38}
        << opened + cells(8, {{1, "100.5"}, {3, "1.5"}, {4, "38"}}) + close;
    QTest::newRow("power step, output power infinite, temperature not a number")
        << true << quint64(3) << QStringLiteral("power step") << QList<double>{1000, -20.5, infinity, -18.5, nan}
        << opened + cells(8, {{1, "1000"}, {2, "-20.5"}, {4, "-18.5"}}) + close;
    QTest::newRow("power, corrected")
        << true << quint64(3) << power << QList<double>{100.5, -10.25, 1.5, 38, -7.75}
        << opened + cells(8, {{1, "100.5"}, {2, "-10.25"}, {3, "1.5"}, {4, "38"}, {5, "-7.75"}}) + close;
    QTest::newRow("power step, corrected, no reading")
        << true << quint64(3) << QStringLiteral("power step") << QList<double>{1000, nan, -20, -18.5, 30, nan}
        << opened + cells(8, {{1, "1000"}, {3, "-20"}, {4, "-18.5"}, {5, "30"}}) + close;
    QTest::newRow("spur level not a number")
        << true << quint64(3) << QStringLiteral("spur") << QList<double>{1e9, -10, 1.002e9, nan, 1.003e9, -30}
        << opened + cells(8, {{1, "1"}, {2, "-10"}, {3, "1.002"}, {5, "1.003"}, {6, "-30"}}) + close;
    QTest::newRow("carrier level not a number")
        << true << quint64(3) << QStringLiteral("spur") << QList<double>{1e9, nan, 1.002e9, -20}
        << opened + cells(8, {{1, "1"}, {3, "1.002"}, {4, "-20"}}) + close;
    // Whether the spur is the carrier cannot be told: it is kept.
    QTest::newRow("carrier frequency not a number")
        << true << quint64(3) << QStringLiteral("spur") << QList<double>{nan, -10, 1.002e9, -20}
        << opened + cells(8, {{2, "-10"}, {3, "1.002"}, {4, "-20"}, {18, "\"10\""}}) + close;
}

void tst_ExcelWorker::recordedCalls()
{
    QFETCH(bool, existing);
    QFETCH(quint64, pointIndex);
    QFETCH(QString, kind);
    QFETCH(QList<double>, values);
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
    const QString name = QStringLiteral("Table -10 dBm");
    if (kind == QLatin1String("power")) {
        worker.writeFrequencySweepRow(name, pointIndex, values.at(0), values.at(1), values.at(2), values.at(3), 0,
                                      values.size() > 4 ? std::optional<double>(values.at(4)) : std::nullopt);
    } else if (kind == QLatin1String("power step")) {
        worker.writePowerStepRow(name, pointIndex, values.at(0), values.at(1), values.at(2), values.at(3),
                                 values.at(4), 0, values.size() > 5 ? std::optional<double>(values.at(5)) : std::nullopt);
    } else {
        QList<double> frequencies;
        QList<double> levels;
        for (int i = 0; i + 1 < values.size(); i += 2) {
            frequencies << values.at(i);
            levels << values.at(i + 1);
        }
        quint32 count = quint32(frequencies.size());
        worker.writeSpurRow(name, pointIndex, 10, 50, count, frequencies, levels);
    }
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
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason"); // why the rows wait; empty when they are saved at once
    // 0: the first row of a new workbook; 3: a workbook smaller than a save's write buffer;
    // 3000: one larger than it.
    for (const bool spur : {false, true})
        for (const int earlier : {0, 3, 3000})
            QTest::addRow("full disk, %s, %d rows before", spur ? "spur" : "power", earlier)
                << spur << earlier << QStringLiteral("full disk") << QStringLiteral("disk full");
    const QString noPermission = QStringLiteral("no permission");
    for (const char *fault : {"read-only workbook", "workbook of another user", "read-only folder",
                              "link to a read-only workbook"})
        QTest::newRow(fault) << false << 3 << QString::fromLatin1(fault) << noPermission;
    QTest::newRow("missing folder") << false << 3 << QStringLiteral("missing folder")
                                    << QStringLiteral("folder not found");
    QTest::newRow("busy") << true << 3 << QStringLiteral("busy")
                          << QStringLiteral("busy: another program is writing it");
    QTest::newRow("empty lock file of a writer killed as it made it")
        << false << 3 << QStringLiteral("empty lock") << QString();
    QTest::newRow("empty lock file of a writer still making it")
        << false << 3 << QStringLiteral("empty lock, held") << QStringLiteral("busy: another program is writing it");
    QTest::newRow("link") << true << 3 << QStringLiteral("link") << QString();
    QTest::newRow("link, first row") << false << 0 << QStringLiteral("link") << QString();
    QTest::newRow("set-ID bits, another owner")
        << false << 3 << QStringLiteral("set-ID bits, another owner") << QString();
    QTest::newRow("lab group, written by a member") << false << 3 << QStringLiteral("lab group") << QString();
}

void tst_ExcelWorker::storageFaultsKeepEveryRow()
{
    QFETCH(bool, spur);
    QFETCH(int, earlierRows);
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    const bool root = geteuid() == 0;
    if ((fault == QLatin1String("workbook of another user") || fault == QLatin1String("lab group")) && !root)
        QSKIP("only root can give the workbook to another user or group");
    // Root passes every permission check of the folder and the file: it writes as nobody here.
    const bool asNobody = root
                          && (fault == QLatin1String("workbook of another user")
                              || fault == QLatin1String("read-only folder") || fault == QLatin1String("lab group"));
    const bool link = fault.startsWith(QLatin1String("link"));
    const QString books = dir.filePath(QStringLiteral("books"));
    const QString away = dir.filePath(QStringLiteral("books away"));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(books) && QDir().mkpath(elsewhere));
    worker.setDirectory(books);
    // One instant throughout: rows that wait are tried again only when the run ends.
    worker.setClock([] { return qint64(0); });
    worker.setLockWait(0);

    const QString name = spur ? QStringLiteral("Table spur") : QStringLiteral("Table -10 dBm");
    const QString file = path(name);
    // The file that holds the rows: the workbook, or the target of the link that is the workbook.
    const QString stored = link ? elsewhere + QLatin1Char('/') + name + QStringLiteral(".xlsx") : file;
    if (link)
        QVERIFY(QFile::link(QStringLiteral("../elsewhere/") + name + QStringLiteral(".xlsx"), file));
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
    const QByteArray before = contentOf(stored);
    if (earlierRows == 3000)
        QVERIFY(before.size() > 16 * 1024);

    // What the file must keep through every save: its permission bits without the set-ID ones,
    // and, for root, its owner and group.
    if (fault == QLatin1String("set-ID bits, another owner")) {
        QVERIFY(setMode(stored, 06664));
        if (root)
            QVERIFY(::chown(QFile::encodeName(stored).constData(), nobody, nobody) == 0);
    }
    // A member of the group may write the workbook and keeps it the group's; it becomes its
    // writer's.
    uid_t owner = statusOf(stored).st_uid;
    if (fault == QLatin1String("lab group")) {
        QVERIFY(::chown(QFile::encodeName(stored).constData(), 0, labGroup) == 0);
        QVERIFY(setMode(stored, 0664) && setMode(books, 0777));
        owner = nobody;
    }
    if (fault == QLatin1String("read-only folder"))
        QVERIFY(setMode(stored, 0666));
    const struct stat kept = statusOf(stored);

    if (fault == QLatin1String("read-only workbook") || fault == QLatin1String("link to a read-only workbook"))
        QVERIFY(setMode(stored, 0444));
    if (fault == QLatin1String("workbook of another user"))
        QVERIFY(setMode(books, 0777));
    if (fault == QLatin1String("read-only folder"))
        QVERIFY(setMode(books, 0555));

    const int failures = inChildProcess([&] {
        int failed = 0;
        QLockFile otherWriter(DurableFile::lockPath(file));
        // Empty and old; held, as a writer stalled between making it and writing its name holds it.
        QFile emptyLock(DurableFile::lockPath(file));
        const auto leftEmpty = [&emptyLock](bool held) {
            return emptyLock.open(QIODevice::WriteOnly)
                && (!held || ::flock(emptyLock.handle(), LOCK_EX | LOCK_NB) == 0)
                && emptyLock.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-2), QFileDevice::FileModificationTime);
        };
        if ((asNobody && !actAsNobody(true, fault == QLatin1String("lab group")))
            || (fault.startsWith(QLatin1String("empty lock")) && !leftEmpty(fault.endsWith(QLatin1String("held"))))
            || (fault == QLatin1String("full disk") && !limitFileSize(512))
            || (fault == QLatin1String("busy") && !otherWriter.tryLock(0))
            || (fault == QLatin1String("missing folder") && !QDir().rename(books, away)))
            return 64;
        append(quint64(earlierRows));
        append(quint64(earlierRows) + 1);
        for (const QString &folder : {books, elsewhere}) {
            QStringList strays =
                QDir(folder).entryList({QStringLiteral("*.xlsx.*")}, QDir::AllEntries | QDir::Hidden);
            strays.removeOne(QFileInfo(DurableFile::lockPath(file)).fileName());
            if (!strays.isEmpty())
                failed |= 4;
        }
        const QList<ExcelWorker::WaitingRows> waiting = worker.waitingRows();
        if (reason.isEmpty() ? !waiting.isEmpty()
                             : (waiting.size() != 1 || waiting.at(0).workbook != name || waiting.at(0).rows != 2
                                || waiting.at(0).reason != reason))
            failed |= 8;

        // The fault mended.
        if (asNobody)
            actAsNobody(false);
        limitFileSize(RLIM_INFINITY);
        otherWriter.unlock();
        if (fault == QLatin1String("empty lock, held"))
            emptyLock.remove();
        if (fault == QLatin1String("missing folder"))
            QDir().rename(away, books);
        if (fault.contains(QLatin1String("read-only")))
            setMode(fault == QLatin1String("read-only folder") ? books : stored,
                    fault == QLatin1String("read-only folder") ? 0755 : kept.st_mode & 0777);
        if (!reason.isEmpty() && contentOf(stored) != before)
            failed |= 1;
        if (QFile::exists(path(name + QStringLiteral(" (recovered)"))))
            failed |= 2;
        QSignalSpy saved(&worker, &ExcelWorker::rowsSaved);
        append(quint64(earlierRows) + 2);
        worker.quitExcel();
        if (!worker.waitingRows().isEmpty() || saved.size() != (reason.isEmpty() ? 0 : 1)
            || (!saved.isEmpty() && saved.at(0).at(1).toInt() != 3))
            failed |= 16;
        return failed;
    });
    worker.quitExcel();
    QVERIFY2(failures == 0, qPrintable(QStringLiteral("child failures %1 (1 file changed, 2 recovered "
                                                      "file, 4 temporary file, 8 not waiting as told, 16 not "
                                                      "saved)")
                                           .arg(failures)));
    const QList<double> column = firstColumn(file);
    QList<double> expected;
    for (int i = 0; i < earlierRows + 3; ++i)
        expected << (spur ? (100 + i) * 1e6 / 1e9 : 100 + i);
    QCOMPARE(column, expected);

    if (link) {
        QVERIFY(QFileInfo(file).isSymLink());
        QCOMPARE(QFileInfo(file).symLinkTarget(), stored);
    }
    if (earlierRows > 0) {
        const struct stat now = statusOf(stored);
        QCOMPARE(QString::number(now.st_mode & 07777, 8), QString::number(kept.st_mode & 0777, 8));
        QCOMPARE(now.st_uid, owner);
        QCOMPARE(now.st_gid, kept.st_gid);
    }
}

void tst_ExcelWorker::temporaryFilesOfACutSave_data()
{
    QTest::addColumn<QString>("entry"); // beside the workbook; @ stands for its file name
    QTest::addColumn<QString>("kind");  // "file", "folder", "link", or empty: the name alone is checked
    // The name is one of the workbook's temporary files; as a plain file it is removed at the
    // workbook's next save.
    QTest::addColumn<bool>("temporary");
    const QString file = QStringLiteral("file");
    QTest::newRow("temporary file") << QStringLiteral("@.~k3j9a0") << file << true;
    QTest::newRow("all digits") << QStringLiteral("@.~000000") << file << true;
    QTest::newRow("all letters") << QStringLiteral("@.~zzzzzz") << file << true;
    QTest::newRow("five") << QStringLiteral("@.~k3j9a") << file << false;
    QTest::newRow("seven") << QStringLiteral("@.~k3j9a0b") << file << false;
    QTest::newRow("capitals") << QStringLiteral("@.~K3J9A0") << file << false;
    QTest::newRow("other sign") << QStringLiteral("@.~k3j-a0") << file << false;
    QTest::newRow("no tilde") << QStringLiteral("@.k3j9a0") << file << false;
    QTest::newRow("operator's copy .bak") << QStringLiteral("@.bak") << file << false;
    QTest::newRow("operator's copy .1") << QStringLiteral("@.1") << file << false;
    QTest::newRow("another workbook's") << QStringLiteral("Table -20 dBm.xlsx.~k3j9a0") << file << false;
    QTest::newRow("folder") << QStringLiteral("@.~k3j9a1") << QStringLiteral("folder") << true;
    QTest::newRow("link") << QStringLiteral("@.~k3j9a2") << QStringLiteral("link") << true;
    QTest::newRow("lock file") << DurableFile::lockPath(QStringLiteral("@")) << QString() << false;
}

void tst_ExcelWorker::temporaryFilesOfACutSave()
{
    QFETCH(QString, entry);
    QFETCH(QString, kind);
    QFETCH(bool, temporary);
    const QString name = QStringLiteral("Table -10 dBm");
    const QString fileName = name + QStringLiteral(".xlsx");
    entry.replace(QLatin1Char('@'), fileName);
    QCOMPARE(DurableFile::isTemporaryName(fileName, entry), temporary);
    if (kind.isEmpty())
        return;
    const QString stray = dir.filePath(entry);
    worker.writeFrequencySweepRow(name, 0, 100, -10, 0, 0);
    if (kind == QLatin1String("file")) {
        QFile cut(stray);
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write("PK\x03\x04 cut short");
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(stray));
    } else {
        QVERIFY(QFile::link(fileName, stray));
    }
    worker.writeFrequencySweepRow(name, 1, 200, -11, 0, 0);
    worker.quitExcel();
    QCOMPARE(QFileInfo(stray).exists() || QFileInfo(stray).isSymLink(), !temporary || kind != QLatin1String("file"));
    QCOMPARE(firstColumn(path(name)), (QList<double>{100, 200}));
}

void tst_ExcelWorker::retriesOfWaitingRows_data()
{
    QTest::addColumn<QList<int>>("times"); // when each new row comes, in milliseconds
    // For each new row: 'x' it tried to save the rows, '.' it only joined the waiting ones.
    QTest::addColumn<QString>("tries");
    QTest::newRow("a row every 0.2 s")
        << QList<int>{0, 200, 400, 600, 800, 1000, 1200, 2000, 2100} << QStringLiteral("x....x.x.");
    QTest::newRow("a row every 1.5 s") << QList<int>{0, 1500, 3000} << QStringLiteral("xxx");
    QTest::newRow("just under a second") << QList<int>{0, 999, 1998, 2000} << QStringLiteral("x.x.");
}

void tst_ExcelWorker::retriesOfWaitingRows()
{
    QFETCH(QList<int>, times);
    QFETCH(QString, tries);
    auto log = std::make_shared<RecordingExcel::Log>();
    log->lastUsedRow = 7;
    log->saveFailure = QStringLiteral("disk full");
    worker.setApplicationFactory([log] { return std::make_unique<RecordingExcel>(log); });
    qint64 now = 0;
    worker.setClock([&now] { return now; });
    QSignalSpy waiting(&worker, &ExcelWorker::rowsWaiting);
    QSignalSpy saved(&worker, &ExcelWorker::rowsSaved);
    const QString name = QStringLiteral("Table -10 dBm");
    worker.startExcel();
    QString seen;
    for (int i = 0; i < times.size(); ++i) {
        now = times.at(i);
        log->calls.clear();
        worker.writeFrequencySweepRow(name, quint64(i + 1), 100 + i, -10, 0, 0);
        const int saves = log->calls.filter(QStringLiteral("Workbook.SaveAs")).size();
        if (saves == 0) {
            // Nothing is built for a row that only joins the waiting ones.
            QCOMPARE(log->calls, QStringList());
            seen += QLatin1Char('.');
        } else {
            // One workbook built with every waiting row; no "(recovered)" neighbour, which the
            // full disk would refuse as well.
            QCOMPARE(saves, 1);
            QCOMPARE(log->calls.filter(QStringLiteral("Range.Value")).size(), 4 * (i + 1));
            seen += QLatin1Char('x');
        }
        // The window is told of every row that waits.
        QCOMPARE(waiting.size(), i + 1);
        QCOMPARE(waiting.last().at(1).toInt(), i + 1);
        QCOMPARE(waiting.last().at(2).toString(), QStringLiteral("disk full"));
    }
    QCOMPARE(seen, tries);

    // The end of the run tries once more, however soon after the last try.
    log->saveFailure.clear();
    log->calls.clear();
    worker.quitExcel();
    QCOMPARE(log->calls.filter(QStringLiteral("Workbook.SaveAs")).size(), 1);
    QCOMPARE(log->calls.filter(QStringLiteral("Range.Value")).size(), 4 * times.size());
    QCOMPARE(saved.size(), 1);
    QCOMPARE(saved.at(0).at(1).toInt(), times.size());
    QVERIFY(worker.waitingRows().isEmpty());
}

void tst_ExcelWorker::signalsLeaveTheWriterFree_data()
{
    QTest::addColumn<QString>("signal");
    for (const char *signal : {"rowsWaiting", "rowsSaved", "rowsRecovered"})
        QTest::newRow(signal) << QString::fromLatin1(signal);
}

void tst_ExcelWorker::signalsLeaveTheWriterFree()
{
    QFETCH(QString, signal);
    // A workbook of its own: the worker tells of a recovered workbook once in its life.
    const QString name = QStringLiteral("Table ") + signal;
    auto log = std::make_shared<RecordingExcel::Log>();
    log->saveFailure = QStringLiteral("disk full");
    if (signal == QLatin1String("rowsRecovered")) {
        QFile damaged(path(name));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("PK\x03\x04 not a workbook");
    } else {
        worker.setApplicationFactory([log] { return std::make_unique<RecordingExcel>(log); });
    }
    worker.startExcel();
    if (signal == QLatin1String("rowsSaved"))
        worker.writeFrequencySweepRow(name, 1, 100, -10, 0, 0);

    // A slot that asks the writer from another thread, as the window's thread may while the
    // slot waits for it.
    int emitted = 0;
    bool answered = true;
    std::vector<std::unique_ptr<QThread>> askers;
    auto ask = [&] {
        ++emitted;
        askers.emplace_back(QThread::create([this] { worker.waitingRows(); }));
        askers.back()->start();
        answered = askers.back()->wait(QDeadlineTimer(10000)) && answered;
    };
    QMetaObject::Connection connection;
    if (signal == QLatin1String("rowsWaiting"))
        connection = connect(&worker, &ExcelWorker::rowsWaiting, ask);
    else if (signal == QLatin1String("rowsSaved"))
        connection = connect(&worker, &ExcelWorker::rowsSaved, ask);
    else
        connection = connect(&worker, &ExcelWorker::rowsRecovered, ask);
    if (signal == QLatin1String("rowsSaved")) {
        log->saveFailure.clear();
        worker.retryWaitingRows();
    } else {
        worker.writeFrequencySweepRow(name, 1, 100, -10, 0, 0);
    }
    disconnect(connection);
    for (const auto &asker : askers)
        asker->wait();
    worker.quitExcel();
    QCOMPARE(emitted, 1);
    QVERIFY2(answered, "the writer was still locked while it emitted");
}

void tst_ExcelWorker::twoWritersOneWorkbook()
{
    // Two programs appending to one workbook at the same time, rows of each in turn.
    const QString name = QStringLiteral("Table -10 dBm");
    const int rows = 300;
    auto writer = [&](double first) {
        return [&, first] {
            ExcelWorker own;
            own.setDirectory(dir.path());
            own.startExcel();
            for (int i = 0; i < rows; ++i)
                own.writeFrequencySweepRow(name, quint64(i + 1), first + i, -10, 0, 0);
            own.quitExcel();
            // Rows that waited for the other writer longer than the lock's wait are saved now.
            for (int retry = 0; retry < 10 && !own.retryWaitingRows(); ++retry) {
            }
            return own.waitingRows().isEmpty() ? 0 : 1;
        };
    };
    const pid_t one = startChildProcess(writer(1000));
    const pid_t two = startChildProcess(writer(5000));
    QCOMPARE(exitCodeOf(one), 0);
    QCOMPARE(exitCodeOf(two), 0);
    QVERIFY(!QFile::exists(DurableFile::lockPath(path(name))));

    const QList<double> column = firstColumn(path(name));
    QList<double> ofOne;
    QList<double> ofTwo;
    for (const double value : column)
        (value < 5000 ? ofOne : ofTwo) << value;
    QList<double> expectedOne;
    QList<double> expectedTwo;
    for (int i = 0; i < rows; ++i) {
        expectedOne << 1000 + i;
        expectedTwo << 5000 + i;
    }
    QCOMPARE(column.size(), 2 * rows);
    QCOMPARE(ofOne, expectedOne);
    QCOMPARE(ofTwo, expectedTwo);
}

QTEST_GUILESS_MAIN(tst_ExcelWorker)
#include "tst_ExcelWorker.moc"
