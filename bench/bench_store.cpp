// Results store benchmark: builds a store of 1,000 runs of 1,000 points each (a spur run in
// every ten, with eight peaks a point) and times opening it, its check of the whole file, listing
// its runs as the window and "rfbench runs" do, one run's points, and the committed cost of one
// point as a measurement pays it.

#include "SqliteStore.h"
#include "StoreCheck.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const int runCount = 1000;
const int pointsPerRun = 1000;
const int repeats = 15;

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values.at(values.size() / 2);
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values.at(std::min(values.size() - 1, size_t(double(values.size()) * share)));
}

template <typename Work> double medianMs(Work work)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return median(times);
}

StoredPoint pointOf(qint64 run, bool spur, int n)
{
    StoredPoint point;
    point.run = run;
    point.pass = 1 + n / 500;
    point.number = quint64(n % 500 + 1);
    point.measuredAt = QDateTime::currentDateTime();
    point.workbook = spur ? QStringLiteral("Table spur") : QStringLiteral("Table %1 dBm").arg(-10 + point.pass * 5);
    point.pointIndex = point.number - 1;
    if (spur) {
        point.row = StoredPoint::Row::Spur;
        point.values = {20, 50};
        for (int i = 0; i < 8; ++i) {
            point.peakFrequencies << 1e9 + i * 1.5e6 + n;
            point.peakLevels << -10.5 - 8 * i;
        }
    } else {
        point.values = {1000 + n * 0.5, -10.123 - n * 1e-4, -9.87, 41.5};
    }
    point.inWorkbook = true;
    return point;
}

RunStart startOf(int i)
{
    RunStart start;
    start.station = QStringLiteral("bench-%1").arg(i % 3 + 1);
    start.user = QStringLiteral("ann");
    start.version = QStringLiteral("0.1");
    start.started = QDateTime(QDate(2026, 1, 1), QTime(8, 0), Qt::UTC).addSecs(qint64(i) * 3600);
    start.measurement = i % 10 == 0 ? QStringLiteral("spur") : QStringLiteral("power");
    start.setup = QByteArray("{\n  \"format\": 1,\n  \"synthesizer\": {\"transport\": \"lan\", "
                             "\"address\": \"10.0.0.7\"},\n  \"measurements\": [{\"kind\": \"power\", "
                             "\"start\": 1000, \"stop\": 1500, \"points\": ")
                  + QByteArray::number(i) + " }]\n}\n";
    start.instruments = QStringLiteral("synthesizer: lan 10.0.0.7\npower meter: gpib 13");
    return start;
}

// The committed cost of one point, in microseconds: median and 99th percentile.
void timeAddPoint(SqliteStore &store, const char *what)
{
    const qint64 run = store.beginRun(startOf(7));
    std::vector<double> times;
    for (int n = 0; n < 500; ++n) {
        const StoredPoint point = pointOf(run, false, n);
        QElapsedTimer timer;
        timer.start();
        if (store.addPoint(point) == 0) {
            std::printf("addPoint failed: %s\n", qPrintable(store.problem()));
            return;
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e3);
    }
    store.endRun(run, QStringLiteral("finished"), QDateTime::currentDateTime());
    std::printf("addPoint, committed (%s): median %.0f us, 99th percentile %.0f us\n", what, median(times),
                percentile(times, 0.99));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(quietMessages);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rfbench.sqlite"));

    {
        auto fresh = SqliteStore::open(dir.filePath(QStringLiteral("fresh.sqlite")), SqliteStore::Mode::Write, nullptr);
        timeAddPoint(*fresh, "empty store");
    }

    QElapsedTimer build;
    build.start();
    {
        auto store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
        for (int i = 0; i < runCount; ++i) {
            // One transaction a run: the store fills in reasonable time.
            SqliteStore::Batch batch(*store);
            const qint64 run = store->beginRun(startOf(i));
            const bool spur = i % 10 == 0;
            store->addPass(run, 1, -10, QDateTime::currentDateTime());
            store->addPass(run, 2, -5, QDateTime::currentDateTime());
            for (int n = 0; n < pointsPerRun; ++n)
                store->addPoint(pointOf(run, spur, n));
            if (i % 50 == 0)
                store->addTrouble(run, RunTrouble{QDateTime::currentDateTime(), QStringLiteral("Power meter"),
                                                  QStringLiteral("no answer")});
            store->endRun(run, QStringLiteral("finished"), QDateTime::currentDateTime());
        }
        if (!store->problem().isEmpty()) {
            std::printf("the store could not be built: %s\n", qPrintable(store->problem()));
            return 1;
        }
    }
    std::printf("built %d runs of %d points in %.1f s: %.0f MB\n", runCount, pointsPerRun,
                double(build.elapsed()) / 1e3, double(QFileInfo(path).size()) / 1e6);

    // The check of the whole file that the new store began is on record: opening reads its edges.
    std::printf("open and close for writing, the file checked today: %.1f ms\n", medianMs([&] {
                    SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
                }));
    {
        // Its record of the checks cleared: each opening begins a check, which its closing stops.
        QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
        raw.setDatabaseName(path);
        if (raw.open())
            QSqlQuery(raw).exec(QStringLiteral("PRAGMA user_version = 0"));
        raw.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    std::printf("open and close for writing, a check of the whole file due: %.1f ms\n", medianMs([&] {
                    SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
                }));
    {
        QElapsedTimer checking;
        checking.start();
        auto checked = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
        const bool sound = checked->wholeFileCheck() && checked->wholeFileCheck()->wait(600000) == StoreCheck::Result::Sound;
        std::printf("the check of the whole file, in the background: %.0f ms (%s)\n",
                    double(checking.nsecsElapsed()) / 1e6, sound ? "sound" : "not sound");
    }
    std::printf("open for reading: %.1f ms\n", medianMs([&] {
                    SqliteStore::open(path, SqliteStore::Mode::Read, nullptr);
                }));

    auto reader = SqliteStore::open(path, SqliteStore::Mode::Read, nullptr);
    int listed = 0;
    std::printf("runs(): all %d runs: %.1f ms\n", runCount,
                medianMs([&] { listed = reader->runs(RunFilter()).size(); }));
    if (listed != runCount)
        std::printf("  but %d runs were listed\n", listed);
    RunFilter newest;
    newest.limit = 50;
    std::printf("runs(): the newest 50: %.1f ms\n", medianMs([&] { reader->runs(newest); }));
    RunFilter matching;
    matching.text = QStringLiteral("\"points\": 77 ");
    std::printf("runs(): text found in one setup: %.1f ms\n",
                medianMs([&] { listed = reader->runs(matching).size(); }));
    RunFilter since;
    since.since = QDateTime(QDate(2026, 2, 1), QTime(0, 0), Qt::UTC);
    std::printf("runs(): since a date: %.1f ms\n", medianMs([&] { reader->runs(since); }));
    std::printf("run(id): %.2f ms\n", medianMs([&] { reader->run(500); }));
    std::printf("points(run), 1,000 points: %.1f ms\n", medianMs([&] { reader->points(500); }));
    std::printf("points(run), 1,000 spur points with 8 peaks: %.1f ms\n", medianMs([&] { reader->points(501); }));
    std::printf("pointsNotInWorkbook(): %.1f ms\n", medianMs([&] { reader->pointsNotInWorkbook(); }));
    reader.reset();

#ifdef RFBENCH_PATH
    // The whole command, a process from start to end.
    for (const QStringList &arguments : {QStringList{"runs"}, QStringList{"runs", "--json"},
                                         QStringList{"runs", "--limit", "20"}, QStringList{"runs", "show", "500"}}) {
        const double ms = medianMs([&] {
            QProcess process;
            process.start(QStringLiteral(RFBENCH_PATH), arguments + QStringList{"--store", path});
            process.waitForFinished(60000);
        });
        std::printf("rfbench %s: %.0f ms\n", qPrintable(arguments.join(QLatin1Char(' '))), ms);
    }
#endif

    auto store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
    timeAddPoint(*store, "store of 1,000,000 points");
    return 0;
}
