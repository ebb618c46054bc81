#include "BenchSimProcess.h"
#include "PgCluster.h"
#include "RunHistory.h"
#include "ServerAddress.h"
#include "ServerSchema.h"
#include "ServerUpload.h"
#include "SqliteStore.h"
#include "TestAddresses.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSettings>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <limits>
#include <memory>

// The upload to a shared results server, against a real PostgreSQL server of the test's own:
// every point of the local store on the server once, in order, whatever happens to the server or
// the uploading process on the way.
class tst_ServerUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void addresses_data();
    void addresses();
    void upload_data();
    void upload();
    void killDuringUpload();
    void serverStoppedDuringUpload();
    void refused_data();
    void refused();
    void stations_data();
    void stations();
    void listsAsTheLocalStores_data();
    void listsAsTheLocalStores();
    void olderServerIsUpgraded();
    void storeMadeAfreshUnderTheUploader();
    void storeLockedByAnotherUploader_data();
    void storeLockedByAnotherUploader();
    void stalledServer_data();
    void stalledServer();
    void loginsHeldToTheirStation_data();
    void loginsHeldToTheirStation();
    void resumeTakesTheServersNumber_data();
    void resumeTakesTheServersNumber();

private:
    bool serverNeeded();
    QString address(const QString &user = QStringLiteral("station")) const
    {
        return cluster->address(user, QStringLiteral("results"));
    }

    std::unique_ptr<PgCluster> cluster;
    QString missing;
};

namespace {

const double noValue = std::numeric_limits<double>::quiet_NaN();

using Rows = QList<QVariantList>;

// The test's own connection as the cluster's superuser.
class Admin
{
public:
    Admin(const PgCluster &cluster, const QString &database, const QString &login = PgCluster::admin())
        : name(QStringLiteral("admin-%1").arg(quintptr(this), 0, 16))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(cluster.socketFolder());
        db.setPort(cluster.port());
        db.setUserName(login);
        db.setDatabaseName(database);
        db.open();
    }
    ~Admin()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    Admin(const Admin &) = delete;
    Admin &operator=(const Admin &) = delete;

    QString exec(const QString &sql)
    {
        QSqlQuery query = run(sql);
        return query.lastError().isValid() ? query.lastError().text() : QString();
    }
    Rows rows(const QString &sql)
    {
        QSqlQuery query = run(sql);
        Rows rows;
        if (query.lastError().isValid())
            return {{QStringLiteral("error: ") + query.lastError().text()}};
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            rows << row;
        }
        return rows;
    }
    // Each value as text: what the server has, whatever type the driver gives it.
    QStringList texts(const QString &sql)
    {
        QStringList texts;
        for (const QVariantList &row : rows(sql)) {
            QStringList values;
            for (const QVariant &value : row)
                values << (value.isNull() ? QStringLiteral("NULL") : value.toString());
            texts << values.join(QLatin1Char('|'));
        }
        return texts;
    }
    qint64 number(const QString &sql) { return rows(sql).value(0).value(0).toLongLong(); }

private:
    // Once more on a new connection when the server restarted since the last.
    QSqlQuery run(const QString &sql)
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        QSqlQuery query(db);
        if (query.exec(sql))
            return query;
        db.close();
        db.open();
        QSqlQuery again(db);
        again.exec(sql);
        return again;
    }

    const QString name;
};

RunStart runStart(const QString &setup)
{
    RunStart start;
    start.station = QStringLiteral("bench-a");
    start.user = QStringLiteral("tester");
    start.version = QStringLiteral("9.9");
    start.started = QDateTime::fromMSecsSinceEpoch(1796000000123, Qt::UTC);
    start.measurement = QStringLiteral("power");
    start.setup = setup.toUtf8();
    start.instruments = QStringLiteral("lan 127.0.0.1:5023");
    start.identities = QStringLiteral("SIM,1");
    return start;
}

// The correction tables of a run: one a file with bytes that are not UTF-8 and a due date, one inline.
QList<RecordedTable> tablesOfRun()
{
    QList<RecordedTable> tables;
    for (const QByteArray &text : {QByteArray("frequency_mhz,loss_db\r\n# valid until 2027-03-01 \xff\r\n10,0.5\r\n"),
                                   QByteArray("frequency_mhz,loss_db\n100,1\n200,2\n")}) {
        RecordedTable table;
        table.path = tables.isEmpty() ? QStringLiteral("powerMeter.A") : QStringLiteral("analyzer");
        table.source = tables.isEmpty() ? QStringLiteral("cables/A.csv") : QStringLiteral("inline");
        table.text = text;
        table.sha256 = QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
        table.due = tables.isEmpty() ? QDate(2027, 3, 1) : QDate();
        table.interpolation = tables.isEmpty() ? QStringLiteral("linear") : QStringLiteral("log");
        table.beyond = tables.isEmpty() ? QStringLiteral("refuse") : QStringLiteral("hold");
        tables << table;
    }
    return tables;
}

// Adds points to a run of the local store: sweep points with exact values and holes, every fifth
// a spur point with its peaks; corrected, some not.
void addPoints(SqliteStore &store, qint64 run, int from, int count, qint64 laterMs = 0)
{
    for (int i = from; i < from + count; ++i) {
        StoredPoint point;
        point.run = run;
        point.number = quint64(i);
        point.measuredAt = QDateTime::fromMSecsSinceEpoch(1796000001000 + i * 7 + laterMs, Qt::UTC);
        point.workbook = QStringLiteral("Table %1").arg(run);
        point.pointIndex = quint64(i - 1);
        if (i % 5 == 0) {
            point.row = StoredPoint::Row::Spur;
            point.values = {1e6, 1e3};
            point.peakFrequencies = {1e9 + i, 2e9 + i};
            point.peakLevels = {-10.25, -61.0 - i / 1000.0};
            point.peakCorrections = {i % 2 == 0 ? noValue : 0.5, 1.0 + i / 100.0};
        } else {
            point.values = {1e9 + i * 1e6, -30.0 + i / 3.0, i % 7 == 0 ? noValue : -5.0, 21.5};
            point.correction = i % 4 == 0 ? noValue : i / 8.0;
        }
        // Judged, every third failing; a spur point against its spur limit alone.
        point.verdict = i % 3 == 0 ? QStringLiteral("FAIL") : QStringLiteral("PASS");
        point.limitMargin = (i % 3 == 0 ? -1 : 1) * i / 8.0;
        (point.row == StoredPoint::Row::Spur ? point.limitSpur : point.limitUpper) = -20.0 + i;
        QVERIFY(store.addPoint(point) > 0);
    }
}

// A store of one run of count points, filled in one transaction; ended as finished if asked.
void fillStore(const QString &path, int count, bool finished)
{
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
    SqliteStore::Batch batch(*store);
    const qint64 run = store->beginRun(runStart(QStringLiteral("{}")));
    addPoints(*store, run, 1, count);
    if (finished)
        store->endRun(run, QStringLiteral("finished"), QDateTime::fromMSecsSinceEpoch(1796000500000, Qt::UTC));
}

// What a store holds, as the server's tables should hold it: points, peaks, passes, troubles,
// workbooks and each run's outcome, in local id order.
Rows localPoints(const QString &path)
{
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Read, nullptr);
    Rows rows;
    for (const RunSummary &run : store->runs({})) {
        for (const StoredPoint &point : store->points(run.id)) {
            QVariantList row{point.id, point.run, point.pass, qint64(point.number)};
            for (double value : point.values)
                row << (qIsNaN(value) ? QVariant() : QVariant(value));
            for (int i = 0; i < point.peakLevels.size(); ++i)
                row << point.peakFrequencies.at(i) << point.peakLevels.at(i);
            rows << row;
        }
    }
    std::sort(rows.begin(), rows.end(),
              [](const QVariantList &a, const QVariantList &b) { return a.first().toLongLong() < b.first().toLongLong(); });
    return rows;
}

Rows serverPoints(Admin &admin, const QString &station)
{
    Rows rows;
    const Rows points = admin.rows(QStringLiteral(
        "SELECT local_id, run, pass, number, row_kind, frequency, reading, output_power, synthesizer_power,"
        " temperature, span, bandwidth FROM points WHERE station = '%1' ORDER BY local_id").arg(station));
    for (const QVariantList &point : points) {
        if (point.size() < 12)
            return points; // the server's error
        QVariantList row{point.at(0).toLongLong(), point.at(1).toLongLong(), point.at(2).toInt(), point.at(3).toLongLong()};
        const Rows peaks = admin.rows(QStringLiteral("SELECT frequency, level FROM peaks WHERE station = '%1'"
                                                     " AND point = %2 ORDER BY number")
                                          .arg(station)
                                          .arg(point.at(0).toLongLong()));
        if (point.at(4).toString() == QLatin1String("spur")) {
            row << point.at(10) << point.at(11);
        } else {
            for (int column : {5, 6, 8, 9})
                row << (point.at(column).isNull() ? QVariant() : QVariant(point.at(column).toDouble()));
        }
        for (const QVariantList &peak : peaks)
            row << peak.at(0).toDouble() << peak.at(1).toDouble();
        rows << row;
    }
    return rows;
}

QString differences(const Rows &local, const Rows &server)
{
    if (local.size() != server.size())
        return QStringLiteral("%1 points locally, %2 on the server").arg(local.size()).arg(server.size());
    for (int i = 0; i < local.size(); ++i)
        if (local.at(i) != server.at(i))
            return QStringLiteral("point %1 differs").arg(local.at(i).value(0).toLongLong());
    return QString();
}

ServerUpload::Options uploadOptions(const QString &address, const QString &local, const QString &station,
                                    int batch = 40)
{
    ServerUpload::Options options;
    QString error;
    options.server = ServerAddress::parse(address, &error);
    options.localPath = local;
    options.station = station;
    options.batchPoints = batch;
    return options;
}

} // namespace

bool tst_ServerUpload::serverNeeded()
{
    if (cluster)
        return true;
    if (qEnvironmentVariableIsSet("CI"))
        qFatal("no PostgreSQL server for the test: %s", qPrintable(missing));
    return false;
}

void tst_ServerUpload::initTestCase()
{
    qputenv("PGPASSWORD", "station secret");
    missing = PgCluster::missing();
    if (!missing.isEmpty()) {
        QVERIFY2(!qEnvironmentVariableIsSet("CI"), qPrintable(missing));
        qWarning("server tests skipped: %s", qPrintable(missing));
        return;
    }
    cluster = std::make_unique<PgCluster>();
    QString error;
    QVERIFY2(cluster->start(&error), qPrintable(error));
    Admin admin(*cluster, QStringLiteral("postgres"));
    QCOMPARE(admin.exec(QStringLiteral("CREATE DATABASE results")), QString());
    QCOMPARE(admin.exec(QStringLiteral("CREATE ROLE station LOGIN PASSWORD 'station secret'")), QString());
    QCOMPARE(admin.exec(QStringLiteral("CREATE DATABASE empty")), QString());
    // The layout is made by the database's owner, as the README tells; stations only insert and select.
    QTemporaryDir folder;
    ServerUpload owner(uploadOptions(address(PgCluster::admin()), folder.filePath(QStringLiteral("none.sqlite")),
                                     QStringLiteral("owner")));
    Admin results(*cluster, QStringLiteral("results"));
    QVERIFY(owner.uploadNow());
    QCOMPARE(results.number(QStringLiteral("SELECT count(*) FROM schema_version")), qint64(0));
    // With a local store to send, the owner connects and makes the layout.
    {
        const std::unique_ptr<SqliteStore> store =
            SqliteStore::open(folder.filePath(QStringLiteral("none.sqlite")), SqliteStore::Mode::Write, nullptr);
        QVERIFY(store->beginRun(runStart(QStringLiteral("{}"))) > 0);
    }
    QVERIFY2(owner.uploadNow(), qPrintable(owner.problem()));
    QCOMPARE(results.number(QStringLiteral("SELECT max(version) FROM schema_version")), qint64(ServerSchema::current));
    owner.close();
    QCOMPARE(results.exec(QStringLiteral("GRANT SELECT, INSERT ON ALL TABLES IN SCHEMA public TO station")), QString());
    QCOMPARE(results.exec(QStringLiteral("GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO station")), QString());
}

void tst_ServerUpload::init()
{
    if (!cluster)
        return;
    Admin admin(*cluster, QStringLiteral("results"));
    QCOMPARE(admin.exec(QStringLiteral("TRUNCATE runs, run_outcomes, passes, points, peaks, troubles, run_workbooks, run_tables")),
             QString());
    QCOMPARE(admin.exec(QStringLiteral("DELETE FROM schema_version WHERE version > %1").arg(ServerSchema::current)),
             QString());
}

void tst_ServerUpload::cleanupTestCase()
{
    cluster.reset();
}

void tst_ServerUpload::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown"); // empty: refused
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("why");

    QTest::newRow("full") << "postgresql://station@lab-db.example:6543/results"
                          << "postgresql://station@lab-db.example:6543/results" << "lab-db.example" << 6543
                          << QStringList() << QString();
    QTest::newRow("short scheme, no user, no port")
        << "postgres://lab-db/results" << "postgresql://lab-db/results" << "lab-db" << -1 << QStringList() << QString();
    QTest::newRow("socket folder as the host")
        << "postgresql://station@%2Fvar%2Frun%2Fpostgresql/results"
        << "postgresql://station@%2Fvar%2Frun%2Fpostgresql/results" << "/var/run/postgresql" << -1 << QStringList()
        << QString();
    QTest::newRow("IPv6 and TLS") << "postgresql://st@[::1]:5432/r?sslmode=verify-full&sslrootcert=/etc/ca.pem"
                                  << "postgresql://st@[::1]:5432/r?sslmode=verify-full&sslrootcert=/etc/ca.pem"
                                  << "::1" << 5432 << QStringList{"sslmode=verify-full", "sslrootcert=/etc/ca.pem"}
                                  << QString();
    QTest::newRow("its own connect timeout") << "postgresql://st@db/r?connect_timeout=60"
                                             << "postgresql://st@db/r?connect_timeout=60" << "db" << -1
                                             << QStringList{"connect_timeout=60"} << QString();
    QTest::newRow("password in the address") << "postgresql://st:hunter2@db/r" << QString() << QString() << -1
                                             << QStringList() << "~/.pgpass or PGPASSWORD";
    QTest::newRow("password as a setting") << "postgresql://st@db/r?password=hunter2" << QString() << QString() << -1
                                           << QStringList() << "~/.pgpass or PGPASSWORD";
    QTest::newRow("unknown TLS mode") << "postgresql://st@db/r?sslmode=always" << QString() << QString() << -1
                                      << QStringList() << "sslmode is one of";
    QTest::newRow("no database") << "postgresql://st@db" << QString() << QString() << -1 << QStringList()
                                 << "names no database";
    QTest::newRow("bad port") << "postgresql://st@db:99999/r" << QString() << QString() << -1 << QStringList()
                              << "port must be a number";
    QTest::newRow("an option that could carry another") << "postgresql://st@db/r?application_name=a%20password=x"
                                                         << QString() << QString() << -1 << QStringList()
                                                         << "may not hold";
}

void tst_ServerUpload::addresses()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QStringList, options);
    QFETCH(QString, why);

    QVERIFY(ServerAddress::isServerAddress(text));
    QString error;
    const ServerAddress address = ServerAddress::parse(text, &error);
    if (shown.isEmpty()) {
        QVERIFY2(error.contains(why), qPrintable(error));
        QVERIFY(address.database.isEmpty());
        QVERIFY(!error.contains(QLatin1String("hunter2")));
        return;
    }
    QCOMPARE(error, QString());
    QCOMPARE(address.shown(), shown);
    QCOMPARE(address.host, host);
    QCOMPARE(address.port, port);
    QCOMPARE(address.options, options);
    QVERIFY(!ServerAddress::isServerAddress(QStringLiteral("/data/postgresql/rfbench.sqlite")));
    // As the upload connects: the address's settings once, one connect timeout, and what ends a
    // call on a server or a network gone silent.
    const QString connect = ServerConnection::connectOptions(address, ServerUpload::Options().timeouts);
    const QStringList settings = connect.split(QLatin1Char(';'));
    for (const QString &option : options)
        QCOMPARE(settings.count(option), 1);
    QCOMPARE(settings.filter(QRegularExpression(QStringLiteral("^connect_timeout="))).size(), 1);
    for (const char *guard : {"keepalives_idle=", "tcp_user_timeout=", "statement_timeout=", "lock_timeout="})
        QVERIFY2(connect.contains(QLatin1String(guard)), qPrintable(connect));
}

void tst_ServerUpload::upload_data()
{
    QTest::addColumn<QString>("interruption");
    QTest::addColumn<int>("batch");
    QTest::addColumn<int>("waiting"); // while the server is away
    // The upload's notices in order, each by its start; none where two uploaders race.
    QTest::addColumn<QStringList>("notices");

    const QString up = QStringLiteral("results server: every point is up");
    const QString away = QStringLiteral("results server unreachable: %1 points waiting to upload (");
    // The earlier run waits when the upload begins: its being up is said too.
    QTest::newRow("server up throughout") << "none" << 40 << -1 << QStringList{up};
    QTest::newRow("one point a batch") << "none" << 1 << -1 << QStringList{up};
    QTest::newRow("server stopped mid-run and started again")
        << "server stopped" << 40 << 70 << QStringList{up, away.arg(70), up};
    QTest::newRow("server away before the first upload")
        << "server away from the start" << 40 << 150 << QStringList{away.arg(150), up};
    QTest::newRow("server away before the first upload, the earlier run sent by an earlier one")
        << "server away, the earlier run sent before" << 40 << 120 << QStringList{away.arg(120), up};
    QTest::newRow("two uploaders of one store at once") << "two uploaders" << 7 << -1 << QStringList();
    QTest::newRow("two uploaders of one store under two names") << "two names" << 7 << -1 << QStringList();
    QTest::newRow("run stopped, resumed and finished") << "resumed" << 40 << -1 << QStringList{up};
}

void tst_ServerUpload::upload()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QString, interruption);
    QFETCH(int, batch);
    QFETCH(int, waiting);
    QFETCH(QStringList, notices);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    // A file of another program where the upload keeps what the server has: left as it is.
    const QByteArray foreign = "kept by hand\n";
    if (batch == 1) {
        QFile other(path + QStringLiteral("-uploaded"));
        QVERIFY(other.open(QIODevice::WriteOnly) && other.write(foreign) == foreign.size());
    }
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
    ServerUpload upload(uploadOptions(address(), path, QStringLiteral("bench-a"), batch));
    QStringList said;
    connect(&upload, &ServerUpload::notice, this, [&said](const QString &text) { said << text; });
    Admin admin(*cluster, QStringLiteral("results"));
    QString error;

    // An earlier run, already on the server.
    const qint64 earlier = store->beginRun(runStart(QStringLiteral("{\"earlier\": true}")));
    addPoints(*store, earlier, 1, 30);
    store->endRun(earlier, QStringLiteral("finished"), QDateTime::fromMSecsSinceEpoch(1796000100000, Qt::UTC));
    // Two uploaders under two names race for a store the server does not have yet.
    if (interruption.startsWith(QLatin1String("server away"))) {
        if (interruption.endsWith(QLatin1String("sent before"))) {
            ServerUpload before(uploadOptions(address(), path, QStringLiteral("bench-a"), batch));
            QVERIFY(before.uploadNow());
        }
        QVERIFY(cluster->stop());
    } else if (interruption != QLatin1String("two names")) {
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    }

    RunStart start = runStart(QStringLiteral("{\"run\": \"µ\"}"));
    start.unit = QStringLiteral("SN 7/µ");
    start.operatorName = QStringLiteral("Zoë");
    start.tables = tablesOfRun();
    const qint64 run = store->beginRun(start);
    store->addPass(run, 1, -5.0, QDateTime::fromMSecsSinceEpoch(1796000200000, Qt::UTC));
    addPoints(*store, run, 1, 50);
    // Its verdict as it stands after these points; it changes with the later ones.
    store->setVerdict(run, RunVerdict{QStringLiteral("MARGINAL"), 0, 2, 0});
    if (interruption == QLatin1String("server stopped")) {
        QVERIFY(upload.uploadNow());
        QVERIFY(cluster->stop());
    }
    store->addTrouble(run, RunTrouble{QDateTime::fromMSecsSinceEpoch(1796000300000, Qt::UTC),
                                      QStringLiteral("power meter"), QStringLiteral("no answer")});
    addPoints(*store, run, 51, 70);
    store->setVerdict(run, RunVerdict{QStringLiteral("FAIL"), 40, 2, 1});
    if (interruption == QLatin1String("resumed")) {
        store->endRun(run, QStringLiteral("stopped"), QDateTime::fromMSecsSinceEpoch(1796000400000, Qt::UTC));
        QVERIFY(upload.uploadNow());
        QCOMPARE(admin.rows(QStringLiteral("SELECT outcome FROM run_list WHERE local_id = %1").arg(run)),
                 Rows{{QStringLiteral("stopped")}});
        store->reopenRun(run);
        QVERIFY(upload.uploadNow());
        addPoints(*store, run, 121, 10);
    }
    store->endRun(run, QStringLiteral("finished"), QDateTime::fromMSecsSinceEpoch(1796000500000, Qt::UTC));

    if (waiting >= 0) {
        const bool sentAway = upload.uploadNow();
        QVERIFY2(cluster->start(&error), qPrintable(error));
        QVERIFY(!sentAway);
        QCOMPARE(upload.state(), ServerUpload::State::Unreachable);
        // Counted from what the server was last seen to have, by this upload or an earlier one.
        QCOMPARE(upload.waiting(), qint64(waiting));
    }
    if (interruption.startsWith(QLatin1String("two "))) {
        // A second uploader of the same store sends the same batches at the same moments; named
        // apart, the store goes up under one of the names alone and the other is refused.
        const bool twoNames = interruption == QLatin1String("two names");
        QThread other;
        auto *twin = new ServerUpload(uploadOptions(
            address(), path, interruption == QLatin1String("two names") ? QStringLiteral("bench-b") : QStringLiteral("bench-a"),
            batch));
        twin->moveToThread(&other);
        bool twinDone = false;
        connect(&other, &QThread::started, twin, [twin, &twinDone] {
            twinDone = twin->uploadNow();
            twin->close();
        });
        other.start();
        const bool done = upload.uploadNow();
        QMetaObject::invokeMethod(twin, [&other] { other.quit(); });
        QVERIFY(other.wait(60000));
        const QString twinProblem = twin->problem();
        delete twin;
        if (twoNames) {
            QVERIFY2(done != twinDone, qPrintable(upload.problem() + twinProblem));
            QVERIFY((done ? twinProblem : upload.problem()).contains(QLatin1String("a store keeps one station name")));
        } else {
            QVERIFY2(done && twinDone, qPrintable(upload.problem() + twinProblem));
        }
    } else {
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    }
    if (interruption != QLatin1String("two names"))
        QCOMPARE(upload.waiting(), qint64(0));
    if (!notices.isEmpty()) {
        bool same = said.size() == notices.size();
        for (int i = 0; same && i < said.size(); ++i)
            same = said.at(i).startsWith(notices.at(i));
        QVERIFY2(same, qPrintable(said.join(QLatin1Char('\n'))));
    }

    const QStringList names = admin.texts(QStringLiteral("SELECT DISTINCT station FROM points"));
    QCOMPARE(names.size(), 1);
    QCOMPARE(differences(localPoints(path), serverPoints(admin, names.first())), QString());
    const QString points = QString::number(interruption == QLatin1String("resumed") ? 130 : 120);
    QCOMPARE(admin.texts(QStringLiteral("SELECT local_id, outcome, to_char(ended AT TIME ZONE 'UTC', 'HH24:MI:SS'),"
                                        " point_count, pass_count, trouble_count, convert_from(setup, 'UTF8'), unit,"
                                        " operator, verdict, failed_points, marginal_points, unread_points"
                                        " FROM run_list ORDER BY local_id")),
             (QStringList{QStringLiteral("%1|finished|00:55:00|30|0|0|{\"earlier\": true}||||0|0|0").arg(earlier),
                          QStringLiteral("%1|finished|01:01:40|%2|1|1|{\"run\": \"µ\"}|SN 7/µ|Zoë|FAIL|40|2|1")
                              .arg(run)
                              .arg(points)}));
    // A verdict written after its run's outcome went up follows it alone.
    if (interruption != QLatin1String("two names")) {
        store->setVerdict(run, RunVerdict{QStringLiteral("FAIL"), 41, 2, 1});
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
        QCOMPARE(admin.number(QStringLiteral("SELECT failed_points FROM run_list WHERE local_id = %1").arg(run)),
                 qint64(41));
    }
    QCOMPARE(admin.texts(QStringLiteral("SELECT run, instrument, text FROM troubles")),
             QStringList{QStringLiteral("%1|power meter|no answer").arg(run)});
    QCOMPARE(admin.texts(QStringLiteral("SELECT run, workbook FROM run_workbooks ORDER BY local_id")),
             (QStringList{QStringLiteral("%1|Table %1").arg(earlier), QStringLiteral("%1|Table %1").arg(run)}));

    // Read back as the lists read it: the same run, points, passes and troubles as the local store.
    const std::unique_ptr<RunHistory> server = RunHistory::open(address());
    QCOMPARE(server->problem(), QString());
    RunFilter filter;
    filter.unit = QStringLiteral("SN 7/µ");
    filter.verdict = QStringLiteral("FAIL");
    const QList<RunSummary> found = server->runs(filter);
    QCOMPARE(found.size(), 1);
    const RunSummary there = found.first();
    const RunSummary here = store->run(run);
    QCOMPARE(there.localId, run);
    QCOMPARE(there.store, store->identity());
    QCOMPARE(there.setup, here.setup);
    QCOMPARE(there.started, here.started);
    QCOMPARE(there.ended, here.ended);
    QCOMPARE(there.outcome, here.outcome);
    QCOMPARE(there.points, here.points);
    QCOMPARE(there.workbooks, here.workbooks);
    QCOMPARE(there.unit, here.unit);
    QCOMPARE(there.operatorName, here.operatorName);
    QCOMPARE(there.verdict.verdict, here.verdict.verdict);
    QCOMPARE(there.verdict.failed, here.verdict.failed);
    QCOMPARE(there.verdict.marginal, here.verdict.marginal);
    QCOMPARE(there.verdict.unread, here.verdict.unread);
    const QList<StoredPoint> serverList = server->points(there.id);
    const QList<StoredPoint> localList = store->points(run);
    QCOMPARE(serverList.size(), localList.size());
    for (int i = 0; i < localList.size(); ++i) {
        const StoredPoint &a = serverList.at(i), &b = localList.at(i);
        QVERIFY2(a.number == b.number && a.measuredAt == b.measuredAt && a.row == b.row && a.workbook == b.workbook
                     && a.pointIndex == b.pointIndex && a.peakLevels == b.peakLevels
                     && a.peakFrequencies == b.peakFrequencies && a.values.size() == b.values.size(),
                 qPrintable(QStringLiteral("point %1").arg(b.number)));
        const QVector<double> judgedThere{a.limitMargin, a.limitUpper, a.limitLower, a.limitSpur},
            judgedHere{b.limitMargin, b.limitUpper, b.limitLower, b.limitSpur};
        QCOMPARE(a.verdict, b.verdict);
        for (int v = 0; v < 4; ++v)
            QVERIFY(judgedThere.at(v) == judgedHere.at(v) || (qIsNaN(judgedThere.at(v)) && qIsNaN(judgedHere.at(v))));
        for (int v = 0; v < a.values.size(); ++v)
            QVERIFY(a.values.at(v) == b.values.at(v) || (qIsNaN(a.values.at(v)) && qIsNaN(b.values.at(v))));
        QVERIFY2(a.correction == b.correction || (qIsNaN(a.correction) && qIsNaN(b.correction)),
                 qPrintable(QStringLiteral("point %1").arg(b.number)));
        QCOMPARE(a.peakCorrections.size(), b.peakCorrections.size());
        for (int v = 0; v < a.peakCorrections.size(); ++v)
            QVERIFY(a.peakCorrections.at(v) == b.peakCorrections.at(v)
                    || (qIsNaN(a.peakCorrections.at(v)) && qIsNaN(b.peakCorrections.at(v))));
    }
    // Its tables, whole and once, though its run went up in several batches (and rounds).
    const auto fieldsOf = [](const QList<RecordedTable> &tables) {
        QStringList fields;
        for (const RecordedTable &t : tables)
            fields << QStringList{t.path, t.source, QString::fromLatin1(t.text.toHex()), t.sha256,
                                  t.due.toString(Qt::ISODate), t.interpolation, t.beyond}.join(QLatin1Char('|'));
        fields.sort();
        return fields;
    };
    QCOMPARE(fieldsOf(server->run(there.id).tables), fieldsOf(tablesOfRun()));
    QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM run_tables")), qint64(2));
    QVERIFY(server->run(server->runs({}).last().id).tables.isEmpty());
    QCOMPARE(server->troubles(there.id).size(), 1);
    QCOMPARE(server->passes(there.id).size(), store->passes(run).size());
    if (batch == 1) {
        QFile other(path + QStringLiteral("-uploaded"));
        QVERIFY(other.open(QIODevice::ReadOnly));
        QCOMPARE(other.readAll(), foreign);
    }
}

void tst_ServerUpload::killDuringUpload()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    const int total = 6000;
    fillStore(path, total, true);
    Admin admin(*cluster, QStringLiteral("results"));
    const QString countSql = QStringLiteral("SELECT count(*) FROM points WHERE station = 'killed'");

    // This program again, as an uploader only (see main), killed while batches go up.
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TST_UPLOAD_LOCAL"), path);
    environment.insert(QStringLiteral("TST_UPLOAD_SERVER"), address());
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForStarted());
    QElapsedTimer waited;
    waited.start();
    qint64 before = 0;
    while ((before = admin.number(countSql)) < 200 && waited.elapsed() < 60000)
        QThread::msleep(5);
    ::kill(pid_t(child.processId()), SIGKILL);
    QVERIFY(child.waitForFinished());
    QVERIFY2(before > 0 && before < total, qPrintable(QStringLiteral("%1 points up before the kill").arg(before)));
    // The run ended before its upload began; on the server it runs until its last point is there.
    const QStringList cut = admin.texts(QStringLiteral("SELECT outcome, ended IS NULL, point_count FROM run_list"
                                                       " WHERE station = 'killed'"));
    QCOMPARE(cut.size(), 1);
    if (cut.first().section(QLatin1Char('|'), 2).toLongLong() < total)
        QCOMPARE(cut.first().section(QLatin1Char('|'), 0, 1), QStringLiteral("running|true"));

    ServerUpload again(uploadOptions(address(), path, QStringLiteral("killed"), 1000));
    QVERIFY2(again.uploadNow(), qPrintable(again.problem()));
    QCOMPARE(admin.rows(QStringLiteral("SELECT count(*), count(DISTINCT local_id), min(local_id), max(local_id),"
                                       " count(DISTINCT number) FROM points WHERE station = 'killed'")),
             (Rows{{total, total, 1, total, total}}));
    QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM peaks WHERE station = 'killed'")), qint64(total / 5 * 2));
    QVERIFY(again.pointsSent() < total);
    QCOMPARE(admin.texts(QStringLiteral("SELECT outcome FROM run_list WHERE station = 'killed'")),
             QStringList{QStringLiteral("finished")});
}

void tst_ServerUpload::serverStoppedDuringUpload()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    const int total = 6000;
    fillStore(path, total, false);
    const QString countSql = QStringLiteral("SELECT count(*) FROM points WHERE station = 'restarted'");
    // The upload in a thread of its own; the server restarts while its batches go up.
    QThread thread;
    auto *upload = new ServerUpload(uploadOptions(address(), path, QStringLiteral("restarted"), 20));
    upload->moveToThread(&thread);
    std::atomic<int> first{-1};
    connect(&thread, &QThread::started, upload, [upload, &first] { first = upload->uploadNow() ? 1 : 0; });
    thread.start();
    qint64 before = 0;
    {
        Admin admin(*cluster, QStringLiteral("results"));
        QElapsedTimer waited;
        waited.start();
        while ((before = admin.number(countSql)) < 200 && waited.elapsed() < 60000)
            QThread::msleep(5);
    }
    QVERIFY(cluster->stop());
    QElapsedTimer waited;
    waited.start();
    while (first < 0 && waited.elapsed() < 60000)
        QThread::msleep(5);
    QCOMPARE(int(first), 0);
    QCOMPARE(upload->state(), ServerUpload::State::Unreachable);
    QString error;
    QVERIFY2(cluster->start(&error), qPrintable(error));
    bool second = false;
    QMetaObject::invokeMethod(upload, [upload, &second] {
        second = upload->uploadNow();
        upload->close();
    }, Qt::BlockingQueuedConnection);
    thread.quit();
    QVERIFY(thread.wait(60000));
    const qint64 waitingAfter = upload->waiting();
    delete upload;
    QVERIFY(second);
    QCOMPARE(waitingAfter, qint64(0));
    Admin admin(*cluster, QStringLiteral("results"));
    QVERIFY2(before > 0 && before < total, qPrintable(QStringLiteral("%1 points up before the stop").arg(before)));
    QCOMPARE(admin.texts(QStringLiteral("SELECT count(*), count(DISTINCT local_id), min(local_id), max(local_id)"
                                        " FROM points WHERE station = 'restarted'")),
             QStringList{QStringLiteral("%1|%1|1|%1").arg(total)});
}

void tst_ServerUpload::refused_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<int>("state");

    QTest::newRow("newer server schema")
        << "newer" << QStringLiteral("has schema %1, newer than this rfbench knows (%2): runs stay in the local store")
                          .arg(ServerSchema::current + 1)
                          .arg(ServerSchema::current)
        << int(ServerUpload::State::Refused);
    QTest::newRow("wrong password") << "password" << "refused the login: password authentication failed for user \"station\" (the password comes from"
                                    << int(ServerUpload::State::LoginRefused);
    QTest::newRow("station role on a database without the tables")
        << "empty" << "has no rfbench tables yet and this station cannot make the rest"
        << int(ServerUpload::State::Refused);
    QTest::newRow("a new local store under a station name the server knows")
        << "new store" << QString() << int(ServerUpload::State::Up);
    QTest::newRow("an older copy of the store put back")
        << "older copy" << "went apart: it is an older copy put back" << int(ServerUpload::State::Refused);
    QTest::newRow("this store sent before under another station name")
        << "renamed" << "has this store's runs as station \"bench-z\", not \"bench-a\": a store keeps one station name"
        << int(ServerUpload::State::Refused);
    QTest::newRow("a copy of a store whose runs went on apart")
        << "copy" << "went apart: it is an older copy put back, or a copy" << int(ServerUpload::State::Refused);
    QTest::newRow("a copy that differs in its newest trouble alone")
        << "copy trouble" << "went apart: it is an older copy put back, or a copy" << int(ServerUpload::State::Refused);
    QTest::newRow("a copy taken in the middle of a run")
        << "copy mid-run" << "went apart: it is an older copy put back, or a copy" << int(ServerUpload::State::Refused);
    QTest::newRow("local store unreadable") << "local unreadable" << "results server upload waits: the local results store"
                                            << int(ServerUpload::State::LocalUnreadable);
    QTest::newRow("server refuses a table while outcomes are read")
        << "outcomes refused" << "results server unreachable: 12 points waiting to upload (ERROR:  permission denied for table run_outcomes)"
        << int(ServerUpload::State::Unreachable);
    QTest::newRow("station role may not change what is there")
        << "update" << QString() << int(ServerUpload::State::Up);
}

void tst_ServerUpload::refused()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QString, situation);
    QFETCH(QString, notice);
    QFETCH(int, state);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
    const qint64 run = store->beginRun(runStart(QStringLiteral("{}")));
    addPoints(*store, run, 1, 12);
    Admin admin(*cluster, QStringLiteral("results"));
    if (situation == QLatin1String("newer"))
        QCOMPARE(admin.exec(QStringLiteral("INSERT INTO schema_version (version, program) VALUES (%1, 'rfbench 99')")
                                .arg(ServerSchema::current + 1)),
                 QString());
    if (situation == QLatin1String("password"))
        qputenv("PGPASSWORD", "not the secret");
    QTemporaryDir otherFolder;
    const QString other = otherFolder.filePath(QStringLiteral("rfbench.sqlite"));
    if (situation == QLatin1String("new store") || situation == QLatin1String("older copy")) {
        // new store: the station's earlier store, with more points than this one, went up before.
        // older copy: this store went up with more points than the copy of it put back holds.
        {
            const std::unique_ptr<SqliteStore> old = SqliteStore::open(other, SqliteStore::Mode::Write, nullptr);
            addPoints(*old, old->beginRun(runStart(QStringLiteral("{}"))), 1, 40);
        }
        if (situation == QLatin1String("older copy")) {
            QVERIFY(QFile::copy(other, other + QStringLiteral(".copy")));
            const std::unique_ptr<SqliteStore> newer = SqliteStore::open(other, SqliteStore::Mode::Write, nullptr);
            addPoints(*newer, 1, 41, 5);
        }
        ServerUpload before(uploadOptions(address(), other, QStringLiteral("bench-a")));
        QVERIFY(before.uploadNow());
        if (situation == QLatin1String("older copy")) {
            before.close();
            QVERIFY(QFile::remove(other) && QFile::rename(other + QStringLiteral(".copy"), other));
        }
    }
    if (situation == QLatin1String("local unreadable")) {
        QFile garbage(other);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(8192, 'x'));
    }
    if (situation == QLatin1String("outcomes refused"))
        QCOMPARE(admin.exec(QStringLiteral("REVOKE SELECT ON run_outcomes FROM station")), QString());
    if (situation == QLatin1String("renamed")) {
        ServerUpload before(uploadOptions(address(), path, QStringLiteral("bench-z")));
        QVERIFY(before.uploadNow());
        addPoints(*store, run, 13, 3);
    }
    if (situation.startsWith(QLatin1String("copy"))) {
        // Copied to another bench after it went up, whole, with its identity.
        ServerUpload first(uploadOptions(address(), path, QStringLiteral("bench-a")));
        QVERIFY(first.uploadNow());
        {
            QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("copy"));
            raw.setDatabaseName(path);
            QVERIFY(raw.open());
            QVERIFY(QSqlQuery(raw).exec(QStringLiteral("VACUUM INTO '%1'").arg(other)));
            raw.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("copy"));
    }
    if (situation == QLatin1String("copy trouble")) {
        // Each bench noted a trouble of its own in the run, and measured no more.
        ServerUpload first(uploadOptions(address(), path, QStringLiteral("bench-a")));
        store->addTrouble(run, RunTrouble{QDateTime::fromMSecsSinceEpoch(1796000300000, Qt::UTC),
                                          QStringLiteral("power meter"), QStringLiteral("here")});
        QVERIFY(first.uploadNow());
        const std::unique_ptr<SqliteStore> copy = SqliteStore::open(other, SqliteStore::Mode::Write, nullptr);
        copy->addTrouble(run, RunTrouble{QDateTime::fromMSecsSinceEpoch(1796000300000, Qt::UTC),
                                         QStringLiteral("power meter"), QStringLiteral("there")});
    }
    if (situation == QLatin1String("copy mid-run")) {
        // Each copy went on with the run at its own bench.
        ServerUpload first(uploadOptions(address(), path, QStringLiteral("bench-a")));
        addPoints(*store, run, 13, 8);
        QVERIFY(first.uploadNow());
        const std::unique_ptr<SqliteStore> copy = SqliteStore::open(other, SqliteStore::Mode::Write, nullptr);
        addPoints(*copy, run, 13, 15, 3);
    }
    if (situation == QLatin1String("copy")) {
        // Each bench measured a run of its own.
        ServerUpload first(uploadOptions(address(), path, QStringLiteral("bench-a")));
        RunStart here = runStart(QStringLiteral("{}"));
        here.started = here.started.addSecs(60);
        addPoints(*store, store->beginRun(here), 13, 4);
        QVERIFY(first.uploadNow());
        const std::unique_ptr<SqliteStore> copy = SqliteStore::open(other, SqliteStore::Mode::Write, nullptr);
        RunStart there = runStart(QStringLiteral("{}"));
        there.started = here.started.addSecs(30);
        addPoints(*copy, copy->beginRun(there), 13, 7);
    }
    const bool otherStore = situation == QLatin1String("older copy") || situation == QLatin1String("local unreadable")
                         || situation.startsWith(QLatin1String("copy"));
    const QString used = cluster->address(QStringLiteral("station"), situation == QLatin1String("empty")
                                                                          ? QStringLiteral("empty")
                                                                          : QStringLiteral("results"));
    ServerUpload upload(uploadOptions(used, otherStore ? other : path, QStringLiteral("bench-a")));
    QStringList notices;
    connect(&upload, &ServerUpload::notice, this, [&notices](const QString &text) { notices << text; });
    const bool sent = upload.uploadNow();
    qputenv("PGPASSWORD", "station secret");
    QCOMPARE(admin.exec(QStringLiteral("GRANT SELECT ON run_outcomes TO station")), QString());
    QCOMPARE(int(upload.state()), state);
    if (situation == QLatin1String("new store")) {
        // Beside the earlier store's rows, under the same station, each with its own server id.
        QVERIFY2(sent, qPrintable(upload.problem()));
        QCOMPARE(admin.texts(QStringLiteral("SELECT count(*), count(DISTINCT store) FROM points WHERE station = 'bench-a'")),
                 QStringList{QStringLiteral("52|2")});
        QCOMPARE(admin.number(QStringLiteral("SELECT count(DISTINCT id) FROM runs WHERE station = 'bench-a'")), qint64(2));
        return;
    }
    if (situation == QLatin1String("update")) {
        QVERIFY(sent);
        // The station's own login may insert and select, nothing else.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("as-station"));
        db.setHostName(cluster->socketFolder());
        db.setPort(cluster->port());
        db.setUserName(QStringLiteral("station"));
        db.setDatabaseName(QStringLiteral("results"));
        QVERIFY(db.open());
        {
            QSqlQuery query(db);
            for (const QString &sql : {QStringLiteral("UPDATE points SET reading = 0"),
                                       QStringLiteral("DELETE FROM runs"), QStringLiteral("TRUNCATE peaks")})
                QVERIFY2(!query.exec(sql) && query.lastError().text().contains(QLatin1String("permission denied")),
                         qPrintable(sql));
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("as-station"));
        QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM points")), qint64(12));
        return;
    }
    QVERIFY(!sent);
    // What the server lacks of the store: all of an unreadable one, the points after the last it has.
    // What the server lacks of the store, and what it has: all of it, the store's, or the other's.
    const QMap<QString, QPair<int, int>> counts{{QStringLiteral("older copy"), {0, 45}},
                                                {QStringLiteral("copy"), {3, 16}},
                                                {QStringLiteral("copy trouble"), {0, 12}},
                                                {QStringLiteral("copy mid-run"), {7, 20}},
                                                {QStringLiteral("renamed"), {15, 12}}};
    const qint64 waiting = counts.value(situation, {12, 0}).first;
    const qint64 onServer = counts.value(situation, {12, 0}).second;
    if (situation != QLatin1String("local unreadable"))
        QCOMPARE(upload.waiting(), waiting);
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices.first().contains(notice), qPrintable(notices.first()));
    QCOMPARE(notices.first().contains(QLatin1String("local results store")) && notices.first().contains(QLatin1String("cannot be read")),
             situation == QLatin1String("local unreadable"));
    if (situation != QLatin1String("local unreadable") && situation != QLatin1String("outcomes refused"))
        QVERIFY2(notices.first().endsWith(QStringLiteral("%1 points waiting to upload").arg(waiting)),
                 qPrintable(notices.first()));
    QVERIFY(!notices.first().contains(QLatin1String("secret")));
    if (notices.first().contains(QLatin1String("postgresql://")))
        QVERIFY2(notices.first().contains(ServerAddress::parse(used, nullptr).shown()), qPrintable(notices.first()));
    QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM points")), onServer);
    // The run goes on locally.
    const int before = store->points(run).size();
    addPoints(*store, run, 30, 3);
    QCOMPARE(store->points(run).size(), before + 3);
}

void tst_ServerUpload::stations_data()
{
    QTest::addColumn<QStringList>("stations");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("message"); // on standard error

    QTest::newRow("two stations at once") << QStringList{"bench-a", "bench-b"} << QByteArray("station secret")
                                          << QString();
    QTest::newRow("wrong password: the run goes on locally")
        << QStringList{"bench-c"} << QByteArray("wrong")
        << "refused the login: password authentication failed for user \"station\"";
}

void tst_ServerUpload::stations()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QStringList, stations);
    QFETCH(QByteArray, password);
    QFETCH(QString, message);

    const int points = 25;
    // Each station a process of its own, with its own simulated bench and data folder.
    std::vector<std::unique_ptr<BenchSimProcess>> benches;
    std::vector<std::unique_ptr<QTemporaryDir>> folders;
    std::vector<std::unique_ptr<QProcess>> runs;
    for (const QString &station : stations) {
        benches.push_back(std::make_unique<BenchSimProcess>());
        QVERIFY(benches.back()->isReady());
        folders.push_back(std::make_unique<QTemporaryDir>());
        QFile setup(folders.back()->filePath(QStringLiteral("setup.json")));
        QVERIFY(setup.open(QIODevice::WriteOnly));
        setup.write(QStringLiteral("{\"format\": 1,\n\"synthesizer\": {\"transport\": \"lan\", \"address\": \"%1\"},\n"
                                   "\"powerMeter\": {\"address\": \"%2\", \"channel\": \"A\"},\n"
                                   "\"analyzer\": {\"address\": \"%3\", \"model\": \"rs\"},\n"
                                   "\"kind\": \"power\", \"start\": 1000, \"stop\": 1100, \"points\": %4, "
                                   "\"power\": -5, \"delay\": 10, \"fetchValues\": false,\n"
                                   "\"limits\": {\"upper\": [[1000, 0], [1100, 0]], \"lower\": [[1000, -100], [1100, -100]]}}\n")
                        .arg(benches.back()->synthAddress(), benches.back()->powerMeterAddress(),
                             benches.back()->analyzerAddress(), QString::number(points))
                        .toUtf8());
        setup.close();
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("none-at-all"));
        environment.insert(QStringLiteral("PGPASSWORD"), QString::fromUtf8(password));
        process->setProcessEnvironment(environment);
        // The first station named with --station, the others as the window names the bench, in the
        // data folder's settings.
        QStringList arguments{QStringLiteral("run"), setup.fileName(), QStringLiteral("--data-dir"),
                              folders.back()->path(), QStringLiteral("--store"), address()};
        if (station == stations.first())
            arguments << QStringLiteral("--station") << station;
        else
            QSettings(folders.back()->filePath(QStringLiteral("settings.ini")), QSettings::IniFormat)
                .setValue(QStringLiteral("Store/station"), station);
        process->start(QStringLiteral(RFBENCH_PATH), arguments);
        runs.push_back(std::move(process));
    }
    Admin admin(*cluster, QStringLiteral("results"));
    for (size_t i = 0; i < runs.size(); ++i) {
        QProcess &run = *runs[i];
        QVERIFY(run.waitForFinished(120000));
        const QByteArray errors = run.readAllStandardError();
        QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, errors.constData());
        QVERIFY2(errors.contains(message.toUtf8()), errors.constData());
        QVERIFY(!errors.contains(password));
        const QString path = folders[i]->filePath(QStringLiteral("rfbench.sqlite"));
        const Rows local = localPoints(path);
        QCOMPARE(local.size(), points);
        const QString name = stations.at(int(i));
        // The local record names the station as the server does.
        QCOMPARE(SqliteStore::open(path, SqliteStore::Mode::Read, nullptr)->runs({}).value(0).station, name);
        if (message.isEmpty()) {
            QCOMPARE(differences(local, serverPoints(admin, name)), QString());
            QCOMPARE(admin.texts(QStringLiteral("SELECT outcome, point_count FROM run_list WHERE station = '%1'").arg(name)),
                     QStringList{QStringLiteral("finished|%1").arg(points)});
        } else {
            QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM points WHERE station = '%1'").arg(name)), qint64(0));
        }
    }
    // "rfbench runs" reads every station's runs from the server, one station's with --station.
    auto listRuns = [this](const QStringList &arguments, int *code) {
        QProcess list;
        list.start(QStringLiteral(RFBENCH_PATH), QStringList{QStringLiteral("runs")} + arguments
                                                     + QStringList{QStringLiteral("--store"), address()});
        list.waitForFinished(60000);
        *code = list.exitCode();
        return QString::fromUtf8(list.readAllStandardOutput() + list.readAllStandardError());
    };
    int code = -1;
    const QString listed = listRuns({}, &code);
    QCOMPARE(code, 0);
    for (const QString &name : stations)
        QCOMPARE(listed.contains(name), message.isEmpty());
    if (message.isEmpty()) {
        const QString one = listRuns({QStringLiteral("--station"), stations.last()}, &code);
        QVERIFY2(code == 0 && one.contains(stations.last()) && !one.contains(stations.first()), qPrintable(one));
        const qint64 id = admin.number(QStringLiteral("SELECT id FROM runs WHERE station = '%1'").arg(stations.last()));
        const QString csv = listRuns({QStringLiteral("export"), QString::number(id), QStringLiteral("--csv"), QStringLiteral("-")},
                                 &code);
        QCOMPARE(code, 0);
        QCOMPARE(csv.count(QLatin1Char('\n')), 1 + points);
        // A report read from the server is the one read from the station's own store.
        const auto report = [](const QStringList &arguments) {
            QProcess process;
            process.start(QStringLiteral(RFBENCH_PATH), QStringList{QStringLiteral("report")} + arguments);
            return process.waitForFinished(60000) && process.exitCode() == 0;
        };
        const QString fromServer = folders.back()->filePath(QStringLiteral("server.html"));
        const QString fromStore = folders.back()->filePath(QStringLiteral("local.html"));
        QVERIFY(report({QString::number(id), QStringLiteral("--html"), fromServer, QStringLiteral("--store"), address()}));
        QVERIFY(report({QStringLiteral("1"), QStringLiteral("--html"), fromStore, QStringLiteral("--store"),
                        folders.back()->filePath(QStringLiteral("rfbench.sqlite"))}));
        QFile server(fromServer), local(fromStore);
        QVERIFY(server.open(QIODevice::ReadOnly) && local.open(QIODevice::ReadOnly));
        const QByteArray html = server.readAll();
        QVERIFY(html.contains(stations.last().toUtf8()) && html.contains(">PASS<") && html.contains("<svg"));
        QCOMPARE(html, local.readAll());
        const QString shown = listRuns({QStringLiteral("show"), QString::number(id)}, &code);
        QVERIFY2(code == 0 && shown.contains(QStringLiteral("Station:      %1 (its run 1)").arg(stations.last()))
                     && shown.contains(QStringLiteral("Points:       %1\n").arg(points)),
                 qPrintable(shown));
    }
    // Ids unique across stations: each station's run has a server id of its own.
    QCOMPARE(admin.number(QStringLiteral("SELECT count(DISTINCT id) FROM runs")), qint64(message.isEmpty() ? stations.size() : 0));
}

void tst_ServerUpload::listsAsTheLocalStores_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("sinceDay"); // of January 2026; 0: any
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("station");

    QTest::newRow("all") << QString() << 0 << 0 << QString();
    QTest::newRow("letters of any case") << "SPUR" << 0 << 0 << QString();
    QTest::newRow("in the setup") << "\"power\": -7" << 0 << 0 << QString();
    QTest::newRow("in a workbook, percent sign no wildcard") << "10%" << 0 << 0 << QString();
    QTest::newRow("underscore no wildcard") << "a_b" << 0 << 0 << QString();
    QTest::newRow("backslash a letter") << "c:\\d" << 0 << 0 << QString();
    // A station named with a capital is found by a text in small letters, as in a local store.
    QTest::newRow("station, as text") << "bench-1" << 0 << 0 << QString();
    QTest::newRow("one station") << QString() << 0 << 0 << "bench-2";
    QTest::newRow("station and text") << "10" << 0 << 0 << "Bench-1";
    QTest::newRow("since and limit") << QString() << 2 << 2 << QString();
    QTest::newRow("case of other letters kept") << "überlast" << 0 << 0 << QString();
}

void tst_ServerUpload::listsAsTheLocalStores()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QString, text);
    QFETCH(int, sinceDay);
    QFETCH(int, limit);
    QFETCH(QString, station);

    // Two benches' stores, sent up; the server's list is the two lists merged.
    QTemporaryDir folder;
    const QStringList names{QStringLiteral("Bench-1"), QStringLiteral("bench-2")};
    auto at = [](int day, int hour) { return QDateTime(QDate(2026, 1, day), QTime(hour, 0), Qt::UTC); };
    struct Run
    {
        int store, day;
        const char *measurement, *setup, *workbook, *outcome;
    };
    const Run made[] = {{0, 1, "power", "{\"power\": -7, \"points\": 10}", "Table 10 dBm", "finished"},
                        {1, 2, "spur", "{}", "Table 100 dBm", "stopped"},
                        {0, 3, "power", "{}", "Table 10% dBm", "finished"},
                        {0, 3, "power", "{}", "a_b in c:\\d", "running"},
                        {1, 4, "power", "{}", "Überlast Ä", "finished"},
                        {0, 5, "power", "{}", "überlast ä", "finished"}};
    for (const Run &run : made) {
        const std::unique_ptr<SqliteStore> store =
            SqliteStore::open(folder.filePath(names.at(run.store)), SqliteStore::Mode::Write, nullptr);
        RunStart start = runStart(QString::fromUtf8(run.setup));
        start.station = names.at(run.store);
        start.measurement = QString::fromUtf8(run.measurement);
        start.started = at(run.day, 10);
        const qint64 id = store->beginRun(start);
        StoredPoint point;
        point.run = id;
        point.workbook = QString::fromUtf8(run.workbook);
        point.values = {1e9, -10.0, -5.0, 20.0};
        QVERIFY(store->addPoint(point) > 0);
        if (QByteArray(run.outcome) != "running")
            store->endRun(id, QString::fromUtf8(run.outcome), at(run.day, 11));
    }
    for (const QString &name : names) {
        ServerUpload upload(uploadOptions(address(), folder.filePath(name), name));
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    }

    RunFilter filter;
    filter.text = text;
    filter.limit = limit;
    filter.station = station;
    if (sinceDay > 0)
        filter.since = at(sinceDay, 9);
    QList<QPair<QDateTime, QString>> expected;
    for (const QString &name : names) {
        const std::unique_ptr<SqliteStore> store =
            SqliteStore::open(folder.filePath(name), SqliteStore::Mode::Read, nullptr);
        for (const RunSummary &run : store->runs(filter))
            expected << qMakePair(run.started, QStringLiteral("%1/%2").arg(name).arg(run.id));
    }
    // Newest first; the two runs of one start are of one store, the later first.
    std::stable_sort(expected.begin(), expected.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList wanted;
    for (const auto &run : expected)
        wanted << run.second;
    if (limit > 0)
        wanted = wanted.mid(0, limit);
    QVERIFY(!wanted.isEmpty());
    const std::unique_ptr<RunHistory> server = RunHistory::open(address());
    QStringList listed;
    for (const RunSummary &run : server->runs(filter))
        listed << QStringLiteral("%1/%2").arg(run.station).arg(run.localId);
    QCOMPARE(server->problem(), QString());
    QCOMPARE(listed, wanted);
    QCOMPARE(server->stations(), names);
}

void tst_ServerUpload::olderServerIsUpgraded()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    // A store of the layout before identities (a store of then), and a database of the first server
    // layout holding what that store sent then: its run and first two points.
    QTemporaryDir folder;
    const QString legacy = folder.filePath(QStringLiteral("legacy.sqlite"));
    fillStore(legacy, 5, true);
    {
        QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("legacy"));
        raw.setDatabaseName(legacy);
        QVERIFY(raw.open());
        for (const char *sql : {"DROP TRIGGER store_identity_kept", "DROP TRIGGER store_identity_fixed",
                                "DROP TABLE store_identity", "DELETE FROM schema_version WHERE version >= 3"})
            QVERIFY2(QSqlQuery(raw).exec(QString::fromUtf8(sql)), sql);
        raw.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("legacy"));
    {
        Admin admin(*cluster, QStringLiteral("postgres"));
        QCOMPARE(admin.exec(QStringLiteral("CREATE DATABASE older")), QString());
    }
    Admin older(*cluster, QStringLiteral("older"));
    for (const QString &sql : ServerSchema::step(1))
        QCOMPARE(older.exec(sql), QString());
    for (const char *sql :
         {"INSERT INTO schema_version (version, program) VALUES (1, 'rfbench 0.9')",
          "INSERT INTO runs (station, local_id, \"user\", version, started, measurement, outcome, instruments,"
          " identities, note, writer) VALUES ('bench-a', 1, 'tester', '0.9', to_timestamp(1796000000.123), 'power',"
          " 'finished', '', '', '', 'w')",
          "INSERT INTO points (station, local_id, run, pass, number, row_kind, workbook, point_index)"
          " VALUES ('bench-a', 1, 1, 1, 1, 'sweep', 'Table 1', 0), ('bench-a', 2, 1, 1, 2, 'sweep', 'Table 1', 1)",
          "UPDATE points SET measured_at = to_timestamp(1796000001 + local_id * 0.007)",
          "GRANT SELECT ON run_list TO station"})
        QCOMPARE(older.exec(QString::fromUtf8(sql)), QString());

    // The owner's rfbench upgrades it; the old store sends what follows, a store made since goes up
    // beside it.
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    fillStore(path, 3, true);
    for (const QString &local : {legacy, path}) {
        ServerUpload upload(uploadOptions(cluster->address(PgCluster::admin(), QStringLiteral("older")), local,
                                          QStringLiteral("bench-a")));
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    }
    QCOMPARE(older.number(QStringLiteral("SELECT max(version) FROM schema_version")), qint64(ServerSchema::current));
    // The runs of before, and those of a store of the layout before judgements, have no unit or verdict.
    QCOMPARE(older.texts(QStringLiteral("SELECT local_id, point_count, store = '', unit, verdict FROM run_list"
                                        " ORDER BY id")),
             (QStringList{QStringLiteral("1|5|true||"), QStringLiteral("1|3|false||")}));
    QCOMPARE(older.texts(QStringLiteral("SELECT count(*), count(DISTINCT local_id) FROM points WHERE store = ''")),
             QStringList{QStringLiteral("5|5")});
    // The station's grant on the list outlives the upgrade.
    QCOMPARE(older.texts(QStringLiteral("SELECT has_table_privilege('station', 'run_list', 'SELECT')")),
             QStringList{QStringLiteral("true")});
    const std::unique_ptr<RunHistory> server =
        RunHistory::open(cluster->address(PgCluster::admin(), QStringLiteral("older")));
    QCOMPARE(server->runs({}).size(), 2);
    QCOMPARE(server->problem(), QString());
}

void tst_ServerUpload::storeMadeAfreshUnderTheUploader()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    fillStore(path, 30, true);
    ServerUpload upload(uploadOptions(address(), path, QStringLiteral("bench-a")));
    QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    // Set aside while the uploader goes on (a damaged store is), and a new one made in its place.
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        if (QFileInfo::exists(path + suffix))
            QVERIFY(QFile::rename(path + suffix, path + QStringLiteral(".aside") + suffix));
    fillStore(path, 7, true);
    // What the server has of the old store says nothing of the new one's points.
    QVERIFY(cluster->stop());
    const bool sentAway = upload.uploadNow();
    QString error;
    QVERIFY2(cluster->start(&error), qPrintable(error));
    QVERIFY(!sentAway);
    QCOMPARE(upload.waiting(), qint64(7));
    QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    Admin admin(*cluster, QStringLiteral("results"));
    QCOMPARE(admin.texts(QStringLiteral("SELECT store, count(*) FROM points WHERE station = 'bench-a' GROUP BY store"
                                        " ORDER BY count(*)")).size(), 2);
    QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM points WHERE station = 'bench-a'")), qint64(37));
}

void tst_ServerUpload::storeLockedByAnotherUploader_data()
{
    QTest::addColumn<bool>("sendsMeanwhile"); // the holder sends a point of its own before it lets go
    QTest::newRow("held past the wait") << false;
    QTest::newRow("another sends while it waits") << true;
}

void tst_ServerUpload::storeLockedByAnotherUploader()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(bool, sendsMeanwhile);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
    const qint64 run = store->beginRun(runStart(QStringLiteral("{}")));
    addPoints(*store, run, 1, 12);
    ServerUpload upload(uploadOptions(address(), path, QStringLiteral("bench-a")));
    QVERIFY(upload.uploadNow());
    addPoints(*store, run, 13, sendsMeanwhile ? 3 : 1);
    // Another uploader of the store, as the server sees it: its lock of the store.
    Admin holder(*cluster, QStringLiteral("results"));
    QCOMPARE(holder.exec(QStringLiteral("SELECT pg_advisory_lock(1380336211, hashtext('%1'))").arg(store->identity())),
             QString());
    QStringList notices;
    connect(&upload, &ServerUpload::notice, this, [&notices](const QString &text) { notices << text; });
    if (!sendsMeanwhile) {
        QVERIFY(!upload.uploadNow());
        QCOMPARE(upload.state(), ServerUpload::State::Busy);
        QCOMPARE(notices.value(0), QStringLiteral("results server: another uploader of this store is sending it; 1 "
                                                  "point waiting to upload"));
        holder.exec(QStringLiteral("SELECT pg_advisory_unlock_all()"));
        QVERIFY(upload.uploadNow());
        QCOMPARE(holder.number(QStringLiteral("SELECT count(*) FROM points")), qint64(13));
        return;
    }
    // While this one waits for the lock, the holder sends a point 13 of another bench's copy.
    QThread thread;
    upload.moveToThread(&thread);
    std::atomic<int> sent{-1};
    connect(&thread, &QThread::started, &upload, [&] {
        sent = upload.uploadNow() ? 1 : 0;
        upload.close();
        upload.moveToThread(QCoreApplication::instance()->thread());
    });
    thread.start();
    QVERIFY(QTest::qWaitFor([&] {
        return holder.number(QStringLiteral("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted")) == 1;
    }, 4000));
    QCOMPARE(holder.exec(QStringLiteral(
                 "INSERT INTO points (station, store, local_id, run, pass, number, measured_at, row_kind, workbook,"
                 " point_index) VALUES ('bench-a', '%1', 13, %2, 1, 13, now(), 'sweep', 'Table elsewhere', 12)")
                             .arg(store->identity())
                             .arg(run)),
             QString());
    holder.exec(QStringLiteral("SELECT pg_advisory_unlock_all()"));
    thread.quit();
    QVERIFY(thread.wait(20000));
    // It begins again from what is there now, finds the store went apart and sends nothing of it.
    QCOMPARE(int(sent), 0);
    QCOMPARE(upload.state(), ServerUpload::State::Refused);
    QCOMPARE(holder.texts(QStringLiteral("SELECT count(*), max(workbook) FROM points")),
             QStringList{QStringLiteral("13|Table elsewhere")});
}

void tst_ServerUpload::stalledServer_data()
{
    QTest::addColumn<QStringList>("stall"); // run by another session, which stays open
    // Each row's own time-out short, the other longer than the round may take: a round that
    // ends for another reason says another problem.
    QTest::addColumn<int>("statementMs");
    QTest::addColumn<int>("lockMs");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("problem");

    QTest::newRow("a table locked by another session")
        << QStringList{"BEGIN", "LOCK TABLE points IN SHARE MODE"} << 20000 << 300 << int(ServerUpload::State::Busy)
        << "another session of the server kept a table locked for 0.3 s";
    QTest::newRow("a statement the server does not end")
        << QStringList{"CREATE FUNCTION stall() RETURNS trigger LANGUAGE plpgsql AS"
                       " $$ BEGIN PERFORM pg_sleep(600); RETURN NULL; END $$",
                       "CREATE TRIGGER stall BEFORE INSERT ON points FOR EACH STATEMENT EXECUTE FUNCTION stall()"}
        << 300 << 20000 << int(ServerUpload::State::Unreachable) << "the server did not end a statement within 0.3 s";
}

void tst_ServerUpload::stalledServer()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QStringList, stall);
    QFETCH(int, statementMs);
    QFETCH(int, lockMs);
    QFETCH(int, state);
    QFETCH(QString, problem);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    fillStore(path, 12, true);
    Admin admin(*cluster, QStringLiteral("results"));
    Admin holder(*cluster, QStringLiteral("results"));
    for (const QString &sql : stall)
        QCOMPARE(holder.exec(sql), QString());
    ServerUpload::Options options = uploadOptions(address(), path, QStringLiteral("stalled"));
    options.timeouts = {statementMs, lockMs};
    QThread thread;
    auto *upload = new ServerUpload(options);
    upload->moveToThread(&thread);
    connect(&thread, &QThread::started, upload, [&] {
        upload->uploadNow();
        upload->close();
        thread.quit();
    });
    thread.start();
    // The test's bound, far past the time-out under test: without it the round hangs.
    const bool ended = thread.wait(60000);
    if (!ended)
        admin.exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'station'"));
    thread.wait();
    holder.exec(QStringLiteral("ROLLBACK"));
    holder.exec(QStringLiteral("DROP FUNCTION IF EXISTS stall() CASCADE"));
    QVERIFY2(ended, "the round waited for the stalled server");
    QCOMPARE(int(upload->state()), state);
    QCOMPARE(upload->problem(), problem);
    QCOMPARE(upload->waiting(), qint64(12));
    delete upload;
    // Nothing of the cancelled batch stayed; the next round sends it whole.
    ServerUpload again(options);
    QVERIFY2(again.uploadNow(), qPrintable(again.problem()));
    QCOMPARE(differences(localPoints(path), serverPoints(admin, QStringLiteral("stalled"))), QString());
}

void tst_ServerUpload::loginsHeldToTheirStation_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("station");
    QTest::addColumn<QString>("refusal"); // empty: it writes

    QTest::newRow("a bench's login as its station") << "bench_1" << "bench-1" << QString();
    QTest::newRow("a bench's login as another station")
        << "bench_1" << "bench-2" << "does not let the login \"bench_1\" write as station \"bench-2\"";
    QTest::newRow("the shared login as any station") << "station" << "bench-1" << QString();
}

void tst_ServerUpload::loginsHeldToTheirStation()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QString, login);
    QFETCH(QString, station);
    QFETCH(QString, refusal);

    // As the README tells a lab to set them up: a login per bench, a member of the shared one,
    // listed with its stations.
    Admin admin(*cluster, QStringLiteral("results"));
    if (admin.number(QStringLiteral("SELECT count(*) FROM pg_roles WHERE rolname = 'bench_1'")) == 0)
        QCOMPARE(admin.exec(QStringLiteral("CREATE ROLE bench_1 LOGIN PASSWORD 'station secret' IN ROLE station")),
                 QString());
    QCOMPARE(admin.exec(QStringLiteral("INSERT INTO station_logins VALUES ('bench_1', 'bench-1') ON CONFLICT DO NOTHING")),
             QString());

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    fillStore(path, 12, true);
    ServerUpload upload(uploadOptions(cluster->address(login, QStringLiteral("results")), path, station));
    QCOMPARE(upload.uploadNow(), refusal.isEmpty());
    Admin bench(*cluster, QStringLiteral("results"), login);
    if (refusal.isEmpty()) {
        QCOMPARE(differences(localPoints(path), serverPoints(admin, station)), QString());
    } else {
        QCOMPARE(upload.state(), ServerUpload::State::Refused);
        QVERIFY2(upload.problem().contains(refusal), qPrintable(upload.problem()));
        // The server itself refuses the login's rows under another name, whoever sends them, also
        // in the role of the shared login it is a member of.
        for (const QString &role : {QStringLiteral("NONE"), QStringLiteral("station")}) {
            QCOMPARE(bench.exec(QStringLiteral("SET ROLE ") + role), QString());
            for (const char *sql : {"INSERT INTO troubles (station, store, local_id, run, instrument, text)"
                                    " VALUES ('%1', 'x', 1, 1, 'meter', 'none')",
                                    "INSERT INTO run_tables (station, store, run, path, source, text, sha256,"
                                    " interpolation, beyond) VALUES ('%1', 'x', 1, 'analyzer', 'inline', '\\x00',"
                                    " repeat('0', 64), 'linear', 'hold')"}) {
                const QString refused = bench.exec(QString::fromLatin1(sql).arg(station));
                QVERIFY2(refused.contains(QLatin1String("row-level security")),
                         qPrintable(role + QLatin1Char(' ') + refused));
            }
        }
        // Nor with a list of its own that would answer for it.
        QCOMPARE(bench.exec(QStringLiteral("RESET ROLE")), QString());
        QCOMPARE(bench.exec(QStringLiteral("CREATE TEMP TABLE station_logins (login name, station text)")), QString());
        QCOMPARE(bench.exec(QStringLiteral("GRANT SELECT ON pg_temp.station_logins TO PUBLIC")), QString());
        const QString forged = bench.exec(QStringLiteral("INSERT INTO troubles (station, store, local_id, run,"
                                                         " instrument, text) VALUES ('%1', 'x', 2, 1, 'meter', 'none')")
                                              .arg(station));
        QVERIFY2(forged.contains(QLatin1String("row-level security")), qPrintable(forged));
        QCOMPARE(admin.number(QStringLiteral("SELECT count(*) FROM runs")), qint64(0));
    }
    // No login but the owner changes who may write as what.
    QVERIFY(!bench.exec(QStringLiteral("INSERT INTO station_logins VALUES ('%1', 'any')").arg(login)).isEmpty());
}

void tst_ServerUpload::resumeTakesTheServersNumber_data()
{
    QTest::addColumn<QString>("station"); // whose run 1 the server's number given to --resume is
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    // Taken, it goes on, and meets instruments that are not there.
    QTest::newRow("this bench's stopped run") << "bench-a" << 3 << "could not be reached";
    QTest::newRow("another bench's run of the same local number")
        << "bench-b" << 2 << "is station \"bench-b\"'s run 1 from another results store";
}

void tst_ServerUpload::resumeTakesTheServersNumber()
{
    if (!serverNeeded())
        QSKIP(qPrintable(missing));
    QFETCH(QString, station);
    QFETCH(int, code);
    QFETCH(QString, message);

    // Two benches' stopped runs 1 on the server, another bench's first: the server numbers them apart.
    QTemporaryDir folder;
    const QString nowhere = TestAddresses::randomLoopback().toString();
    const QString setup = QStringLiteral("{\"format\": 1, \"synthesizer\": {\"transport\": \"lan\", \"address\": \"%1\"},"
                                         " \"powerMeter\": {\"address\": \"%1\", \"channel\": \"A\"}, \"kind\": \"power\","
                                         " \"start\": 1000, \"stop\": 1100, \"points\": 6}").arg(nowhere);
    for (const QString &bench : {QStringLiteral("bench-b"), QStringLiteral("bench-a")}) {
        const QString path = bench == QLatin1String("bench-a") ? SqliteStore::defaultPath(folder.path())
                                                               : folder.filePath(QStringLiteral("b.sqlite"));
        {
            const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
            const qint64 run = store->beginRun(runStart(setup));
            addPoints(*store, run, 1, 2);
            store->endRun(run, QStringLiteral("stopped"), QDateTime::currentDateTimeUtc());
        }
        ServerUpload upload(uploadOptions(address(), path, bench));
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    }
    const qint64 id = Admin(*cluster, QStringLiteral("results"))
                          .number(QStringLiteral("SELECT id FROM runs WHERE station = '%1'").arg(station));
    QProcess resumed;
    resumed.start(QStringLiteral(RFBENCH_PATH), {QStringLiteral("run"), QStringLiteral("--resume"), QString::number(id),
                                                 QStringLiteral("--store"), address(), QStringLiteral("--data-dir"),
                                                 folder.path()});
    QVERIFY(resumed.waitForFinished(60000));
    const QByteArray err = resumed.readAllStandardError();
    QVERIFY2(resumed.exitCode() == code && err.contains(message.toUtf8()), err.constData());
}

// Started with TST_UPLOAD_LOCAL set, it is an uploader only: the process killDuringUpload kills.
int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("TST_UPLOAD_LOCAL")) {
        QCoreApplication application(argc, argv);
        ServerUpload upload(uploadOptions(qEnvironmentVariable("TST_UPLOAD_SERVER"),
                                          qEnvironmentVariable("TST_UPLOAD_LOCAL"), QStringLiteral("killed"), 20));
        return upload.uploadNow() ? 0 : 1;
    }
    QCoreApplication application(argc, argv);
    tst_ServerUpload test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ServerUpload.moc"
