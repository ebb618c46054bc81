// Test report benchmark: a power run of 10,000 points (two passes of 5,000, with limits, a
// correction table and a failing stretch) in a results store, and the time its report takes,
// read from the store and written as PDF and as HTML. The target: under 2 s for each.

#include "SqliteStore.h"
#include "TestReport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const int points = 10000;
const int perPass = 5000;
const int repeats = 5;

const QByteArray setup = R"({
  "format": 1,
  "synthesizer": {"transport": "lan", "address": "10.0.0.7"},
  "powerMeter": {"address": "10.0.0.8", "channel": "A"},
  "kind": "power", "start": 100, "stop": 5098, "points": 5000, "power": -5, "delay": 0, "cycle": true,
  "powerStep": 5, "fetchValues": false,
  "limits": {"upper": [[100, 0], [5098, 0]], "lower": [[100, -15], [5098, -15]], "margin": 0.5}
}
)";

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    {
        auto store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
        RunStart start;
        start.station = QStringLiteral("bench-1");
        start.version = QStringLiteral("0.1");
        start.started = QDateTime::currentDateTimeUtc();
        start.measurement = QStringLiteral("power");
        start.setup = setup;
        start.instruments = QStringLiteral("synthesizer: lan 10.0.0.7\npower meter: lan 10.0.0.8, channel A");
        start.unit = QStringLiteral("SN0042");
        start.operatorName = QStringLiteral("ann");
        const qint64 run = store->beginRun(start);
        store->addPass(run, 1, -5, start.started);
        store->addPass(run, 2, 0, start.started);
        for (int n = 0; n < points; ++n) {
            StoredPoint point;
            point.run = run;
            point.pass = 1 + n / perPass;
            point.number = quint64(n % perPass + 1);
            point.measuredAt = start.started;
            point.workbook = QStringLiteral("Table %1 dBm").arg(point.pass == 1 ? -5 : 0);
            point.pointIndex = quint64(n % perPass);
            const double reading = -10 + 0.002 * (n % perPass) - (n % 997 == 0 ? 8 : 0);
            point.values = {100.0 + (n % perPass), reading - 1.5, -5.0 + 5 * (point.pass - 1), 30};
            point.correction = 1.5;
            point.verdict = reading < -15 ? QStringLiteral("FAIL") : reading > -0.5 ? QStringLiteral("MARGINAL")
                                                                                     : QStringLiteral("PASS");
            point.limitUpper = 0;
            point.limitLower = -15;
            point.limitMargin = std::min(-reading, reading + 15);
            store->addPoint(point);
        }
        store->setVerdict(run, RunVerdict{QStringLiteral("FAIL"), 11, 0, 0});
        store->endRun(run, QStringLiteral("finished"), QDateTime::currentDateTimeUtc());
    }
    const QString madeBy = QStringLiteral("rfbench bench");
    std::vector<double> reading, pdf, html;
    qint64 pdfSize = 0, htmlSize = 0;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        const std::unique_ptr<RunHistory> history = RunHistory::open(path);
        ReportContent::Report report;
        QString why;
        bool unknown = false;
        if (!TestReport::read(*history, {1}, &report, &why, &unknown)) {
            std::fprintf(stderr, "bench_testreport: %s\n", qPrintable(why));
            return 1;
        }
        reading.push_back(double(timer.nsecsElapsed()) / 1e6);
        const qint64 read = timer.nsecsElapsed();
        const QString pdfPath = folder.filePath(QStringLiteral("report.pdf"));
        QString trouble = TestReport::write(report, pdfPath, TestReport::Format::Pdf, madeBy);
        pdf.push_back(double(timer.nsecsElapsed() - read) / 1e6 + reading.back());
        const qint64 pdfDone = timer.nsecsElapsed();
        const QString htmlPath = folder.filePath(QStringLiteral("report.html"));
        if (trouble.isEmpty())
            trouble = TestReport::write(report, htmlPath, TestReport::Format::Html, madeBy);
        html.push_back(double(timer.nsecsElapsed() - pdfDone) / 1e6 + reading.back());
        if (!trouble.isEmpty()) {
            std::fprintf(stderr, "bench_testreport: %s\n", qPrintable(trouble));
            return 1;
        }
        pdfSize = QFileInfo(pdfPath).size();
        htmlSize = QFileInfo(htmlPath).size();
    }
    std::printf("report of a %d-point run, median of %d (read from the store included):\n", points, repeats);
    std::printf("  read from the store   %8.1f ms\n", median(reading));
    std::printf("  PDF                   %8.1f ms  (%lld KiB)\n", median(pdf), pdfSize / 1024);
    std::printf("  HTML                  %8.1f ms  (%lld KiB)\n", median(html), htmlSize / 1024);
    const bool met = median(pdf) < 2000 && median(html) < 2000;
    std::printf("target under 2000 ms each: %s\n", met ? "met" : "NOT met");
    return met ? 0 : 1;
}
