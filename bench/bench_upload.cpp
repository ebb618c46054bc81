// Shared results server benchmark, on a private PostgreSQL server over its Unix socket: the
// committed cost of one point as a measurement pays it, without and with the upload running
// beside it, and the upload's throughput in points per second.

#include "PgCluster.h"
#include "ServerUpload.h"
#include "SqliteStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int measuredPoints = 2000;
const int throughputPoints = 50000;

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values.at(std::min(values.size() - 1, size_t(double(values.size()) * share)));
}

StoredPoint pointOf(qint64 run, int i)
{
    StoredPoint point;
    point.run = run;
    point.number = quint64(i);
    point.measuredAt = QDateTime::currentDateTimeUtc();
    point.workbook = QStringLiteral("Table");
    point.pointIndex = quint64(i);
    point.values = {1e9 + i, -30.5, -5.0, 21.0};
    return point;
}

RunStart startOf()
{
    RunStart start;
    start.station = QStringLiteral("bench");
    start.user = QStringLiteral("bench");
    start.version = QStringLiteral("bench");
    start.measurement = QStringLiteral("power");
    return start;
}

// Microseconds per committed point: median and 99th percentile.
std::pair<double, double> pointCost(SqliteStore &store)
{
    const qint64 run = store.beginRun(startOf());
    std::vector<double> costs;
    for (int i = 1; i <= measuredPoints; ++i) {
        QElapsedTimer timer;
        timer.start();
        store.addPoint(pointOf(run, i));
        costs.push_back(double(timer.nsecsElapsed()) / 1000.0);
        // A measurement's pace: the upload gets its turns between points, as in a run.
        if (i % 20 == 0)
            QCoreApplication::processEvents();
    }
    store.endRun(run, QStringLiteral("finished"), QDateTime::currentDateTimeUtc());
    return {percentile(costs, 0.5), percentile(costs, 0.99)};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(quietMessages);
    const QString missing = PgCluster::missing();
    if (!missing.isEmpty()) {
        std::fprintf(stderr, "bench_upload: %s\n", qPrintable(missing));
        return 1;
    }
    PgCluster cluster;
    QString error;
    if (!cluster.start(&error)) {
        std::fprintf(stderr, "bench_upload: %s\n", qPrintable(error));
        return 1;
    }
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("admin"));
        admin.setHostName(cluster.socketFolder());
        admin.setPort(cluster.port());
        admin.setUserName(PgCluster::admin());
        admin.setDatabaseName(QStringLiteral("postgres"));
        if (!admin.open() || !QSqlQuery(admin).exec(QStringLiteral("CREATE DATABASE results"))) {
            std::fprintf(stderr, "bench_upload: the database cannot be made\n");
            return 1;
        }
        admin.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("admin"));
    QTemporaryDir folder;
    ServerUpload::Options options;
    options.server = ServerAddress::parse(cluster.address(PgCluster::admin(), QStringLiteral("results")), &error);
    options.station = QStringLiteral("bench");
    options.intervalMs = 100;

    // Alternated, twice: the disk's own pace drifts more between runs than the upload costs.
    for (int round = 1; round <= 2; ++round) {
        {
            const std::unique_ptr<SqliteStore> store = SqliteStore::open(
                folder.filePath(QStringLiteral("alone-%1.sqlite").arg(round)), SqliteStore::Mode::Write, nullptr);
            const auto alone = pointCost(*store);
            std::printf("one point, no server:              median %7.1f us, 99th percentile %7.1f us\n",
                        alone.first, alone.second);
        }
        {
            options.localPath = folder.filePath(QStringLiteral("shared-%1.sqlite").arg(round));
            options.station = QStringLiteral("bench-%1").arg(round);
            const std::unique_ptr<SqliteStore> store =
                SqliteStore::open(options.localPath, SqliteStore::Mode::Write, nullptr);
            ServerUploadThread upload(options);
            const auto shared = pointCost(*store);
            qint64 waiting = -1;
            const bool up = upload.finish(60000, &waiting);
            std::printf("one point, uploaded every 100 ms:  median %7.1f us, 99th percentile %7.1f us (all up: %s)\n",
                        shared.first, shared.second, up ? "yes" : "no");
        }
    }
    {
        options.localPath = folder.filePath(QStringLiteral("many.sqlite"));
        options.station = QStringLiteral("throughput");
        options.batchPoints = 500;
        {
            const std::unique_ptr<SqliteStore> store =
                SqliteStore::open(options.localPath, SqliteStore::Mode::Write, nullptr);
            SqliteStore::Batch batch(*store);
            const qint64 run = store->beginRun(startOf());
            for (int i = 1; i <= throughputPoints; ++i)
                store->addPoint(pointOf(run, i));
        }
        ServerUpload upload(options);
        QElapsedTimer timer;
        timer.start();
        const bool ok = upload.uploadNow();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        std::printf("upload of %d points: %.2f s, %.0f points/s%s\n", throughputPoints, seconds,
                    double(upload.pointsSent()) / seconds, ok ? "" : " (cut short)");
    }
    return 0;
}
