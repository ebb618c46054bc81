// Report benchmark: the median time of one full open, write, save and close cycle when a row is
// appended to workbooks that already hold 100, 1,000 and 10,000 rows; and the time of one row
// while the disk is full and 1,000 rows already wait in memory.

#include "ExcelWorker.h"
#include "XlsxDocument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {

const int appendsPerCase = 60;

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

QList<double> spurFrequencies()
{
    return {1e9, 1.002e9, 1.0045e9, 0.9975e9, 1.0075e9, 1.0004e9, 1.009e9, 0.999e9};
}

QList<double> spurLevels()
{
    return {-11.5, -59.5, -63.25, -66.5, -70.125, -71, -75.5, -80};
}

// A workbook of the given layout holding rows rows, written in one go.
bool prepare(const QString &path, bool spur, int rows)
{
    std::unique_ptr<XlsxDocument> document = XlsxDocument::create();
    XlsxSheet &sheet = document->sheet();
    const QList<double> f = spurFrequencies();
    const QList<double> l = spurLevels();
    for (int row = 1; row <= rows; ++row) {
        if (spur) {
            for (int i = 0; i < 8; ++i) {
                sheet.setNumber(row, 2 * i + 1, f.at(i) / 1e9 + row * 1e-6);
                sheet.setNumber(row, 2 * i + 2, l.at(i) - row * 1e-4);
            }
            sheet.setText(row, 18, QStringLiteral("48.0001"));
        } else {
            sheet.setNumber(row, 1, 100 + row * 0.25);
            sheet.setNumber(row, 2, -10.123 - row * 1e-4);
            sheet.setNumber(row, 3, -9.87);
            sheet.setNumber(row, 4, 41.5);
        }
    }
    return document->save(path).ok();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Every write past the limit fails with EFBIG, as on a full disk.
void limitFileSize(bool low)
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = low ? 512 : limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Rows appended to a workbook of 100 rows while no write reaches the disk and 1,000 rows wait:
// the median and the slowest append, and one retry of every waiting row; 1 when the rows were
// not all saved once the disk had room.
int fullDisk(ExcelWorker &worker)
{
    const QString name = QStringLiteral("power full disk");
    if (!prepare(worker.workbookPath(name), false, 100))
        return 1;
    XlsxDocument::clearCache();
    std::signal(SIGXFSZ, SIG_IGN);
    limitFileSize(true);
    const int waiting = 1000;
    for (int i = 0; i < waiting; ++i)
        worker.writeFrequencySweepRow(name, quint64(i + 1), 1000 + i, -10.5, -9.9, 40.5);
    std::vector<double> times;
    for (int i = 0; i < appendsPerCase; ++i) {
        QElapsedTimer timer;
        timer.start();
        worker.writeFrequencySweepRow(name, quint64(waiting + i + 1), 2000 + i, -10.5, -9.9, 40.5);
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    // What a retry of every waiting row costs, paid at most once a second.
    QElapsedTimer retry;
    retry.start();
    worker.retryWaitingRows();
    const double retryMs = retry.nsecsElapsed() / 1e6;
    limitFileSize(false);
    std::printf("power full disk, rows waiting=%d ms=%.1f slowest=%.1f retry=%.1f\n", waiting,
                median(times), *std::max_element(times.begin(), times.end()), retryMs);
    worker.quitExcel();
    return worker.waitingRows().isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietMessages);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    ExcelWorker worker;
    worker.setDirectory(dir.path());
    worker.startExcel();
    for (const bool spur : {false, true}) {
        for (const int rows : {100, 1000, 10000}) {
            const QString name = QStringLiteral("%1 %2").arg(spur ? "spur" : "power").arg(rows);
            if (!prepare(worker.workbookPath(name), spur, rows))
                return 1;
            XlsxDocument::clearCache();
            std::vector<double> times;
            double first = 0;
            QList<double> f = spurFrequencies();
            QList<double> l = spurLevels();
            for (int i = 0; i < appendsPerCase; ++i) {
                QElapsedTimer timer;
                timer.start();
                if (spur) {
                    quint32 count = 8;
                    worker.writeSpurRow(name, quint64(i + 1), 10, 50, count, f, l);
                } else {
                    worker.writeFrequencySweepRow(name, quint64(i + 1), 1000 + i, -10.5, -9.9, 40.5);
                }
                const double ms = timer.nsecsElapsed() / 1e6;
                if (i == 0)
                    first = ms;
                else
                    times.push_back(ms);
            }
            std::printf("%s rows=%d ms=%.1f\n", spur ? "spur" : "power", rows, median(times));
            std::fprintf(stderr, "  (first append after a fresh read: %.1f ms)\n", first);
        }
    }
    worker.quitExcel();
    worker.startExcel();
    return fullDisk(worker);
}
