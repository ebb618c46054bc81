#include "SqliteStore.h"
#include "StoreCheck.h"
#include "StoreSchema.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <grp.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

Q_DECLARE_METATYPE(SqliteStore::Mode)

namespace {

using Mode = SqliteStore::Mode;

const double noValue = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

// A connection of its own to a store's file, as another SQLite program has it.
class Raw
{
public:
    explicit Raw(const QString &path) : name(QStringLiteral("raw-%1").arg(quintptr(this), 0, 16))
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        database.open();
    }
    ~Raw()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;

    // Empty when the statement ran; otherwise SQLite's words.
    QString exec(const QString &sql)
    {
        QSqlQuery query(QSqlDatabase::database(name, false));
        return query.exec(sql) ? QString() : query.lastError().databaseText();
    }
    QList<QVariantList> rows(const QString &sql)
    {
        QSqlQuery query(QSqlDatabase::database(name, false));
        QList<QVariantList> rows;
        if (!query.exec(sql))
            return {{QStringLiteral("error: ") + query.lastError().databaseText()}};
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            rows << row;
        }
        return rows;
    }
    QVariant value(const QString &sql) { return rows(sql).value(0).value(0); }

private:
    const QString name;
};

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QDateTime utc(int month, int day, int hour = 9, int minute = 0)
{
    return QDateTime(QDate(2026, month, day), QTime(hour, minute), Qt::UTC);
}

RunStart startOf(const QString &station, const QString &measurement, const QDateTime &started,
                 const QByteArray &setup = "{\"format\": 1}\n")
{
    RunStart start;
    start.station = station;
    start.user = QStringLiteral("ann");
    start.version = QStringLiteral("0.1");
    start.started = started;
    start.measurement = measurement;
    start.setup = setup;
    start.instruments = QStringLiteral("synthesizer: lan 10.0.0.7\npower meter: gpib 13");
    start.identities = QStringLiteral("ORVANE,SG-6000,123,1.2");
    return start;
}

// A table as a run records it: its bytes whole, CR LF and a byte that is not UTF-8 too.
RecordedTable tableOf(const QString &path, const QByteArray &text, const QDate &due = QDate())
{
    RecordedTable table;
    table.path = path;
    table.source = QStringLiteral("cables/") + path + QStringLiteral(".csv");
    table.text = text;
    table.sha256 = QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
    table.due = due;
    table.interpolation = QStringLiteral("linear");
    table.beyond = QStringLiteral("refuse");
    return table;
}

QList<RecordedTable> someTables()
{
    RecordedTable analyzer = tableOf(QStringLiteral("analyzer"), QByteArray("frequency_mhz,loss_db\n# \xb5\n100,1\n"));
    analyzer.source = QStringLiteral("inline");
    analyzer.interpolation = QStringLiteral("log");
    analyzer.beyond = QStringLiteral("hold");
    return {tableOf(QStringLiteral("powerMeter.A"),
                    QByteArray("frequency_mhz,loss_db\r\n# valid until 2027-03-01\r\n10,0.5\r\n26500,3.25\r\n"),
                    QDate(2027, 3, 1)),
            analyzer};
}

bool sameTables(const QList<RecordedTable> &a, const QList<RecordedTable> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), [](const RecordedTable &x, const RecordedTable &y) {
        return x.path == y.path && x.source == y.source && x.text == y.text && x.sha256 == y.sha256 && x.due == y.due
            && x.interpolation == y.interpolation && x.beyond == y.beyond;
    });
}

StoredPoint sweepPoint(qint64 run, quint64 number, const QString &workbook = QStringLiteral("Table -5 dBm"))
{
    StoredPoint point;
    point.run = run;
    point.pass = 1;
    point.number = number;
    point.measuredAt = utc(1, 10).addSecs(qint64(number));
    point.workbook = workbook;
    point.pointIndex = number - 1;
    point.values = {1000.0 + double(number), -10.5, -5, 38.25};
    return point;
}

bool same(double a, double b)
{
    return (qIsNaN(a) && qIsNaN(b)) || a == b;
}

bool same(const QVector<double> &a, const QVector<double> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (!same(a.at(i), b.at(i)))
            return false;
    return true;
}

QList<qint64> idsOf(const QList<RunSummary> &runs)
{
    QList<qint64> ids;
    for (const RunSummary &run : runs)
        ids << run.id;
    return ids;
}

QList<quint64> numbersOf(const QList<StoredPoint> &points)
{
    QList<quint64> numbers;
    for (const StoredPoint &point : points)
        numbers << point.number;
    return numbers;
}

// Runs body in a child process and gives its exit code, or -1 when it did not exit (a crash).
// The child ignores SIGXFSZ, so that a write past its file-size limit fails with EFBIG after a
// partial write, as on a full disk.
int inChildProcess(const std::function<int()> &body)
{
    // A thread that holds the allocator's lock at the fork leaves the child waiting for it for
    // ever: a store's background check is let end first (the test library's watchdog only waits).
    const auto othersRunning = [] {
        const QString tasks = QStringLiteral("/proc/self/task/");
        const QString self = QString::number(getpid());
        for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile name(tasks + task + QStringLiteral("/comm"));
            if (task != self && (!name.open(QIODevice::ReadOnly) || name.readAll().trimmed() != "QThread"))
                return true;
        }
        return false;
    };
    for (QDeadlineTimer deadline(30000); othersRunning() && !deadline.hasExpired();)
        QThread::msleep(2);
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

const uid_t nobody = 65534;

// Root passes every permission check: for the faults of permissions it acts as nobody (on), and
// as root again (off).
bool actAsNobody(bool on)
{
    if (geteuid() != 0 && on)
        return true;
    if (on)
        return setgroups(0, nullptr) == 0 && setegid(nobody) == 0 && seteuid(nobody) == 0;
    return getuid() != 0 || (seteuid(0) == 0 && setegid(0) == 0);
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// The first layout of the store (schema 1), as a store written by the first rfbench with a
// store has it: the test keeps its own copy, so that a change to that layout shows here.
const char *const layoutOne[] = {
    "PRAGMA application_id = 1380336211",
    "PRAGMA journal_mode = WAL",
    "CREATE TABLE schema_version (version INTEGER PRIMARY KEY, applied TEXT NOT NULL, program TEXT NOT NULL)",
    "CREATE TABLE runs (id INTEGER PRIMARY KEY AUTOINCREMENT, station TEXT NOT NULL, user TEXT NOT NULL,"
    " version TEXT NOT NULL, started TEXT NOT NULL, ended TEXT, measurement TEXT NOT NULL, outcome TEXT NOT NULL"
    " CHECK (outcome IN ('running', 'finished', 'stopped', 'interrupted', 'failed')), setup,"
    " instruments TEXT NOT NULL, identities TEXT NOT NULL, note TEXT NOT NULL, writer TEXT NOT NULL)",
    "CREATE TABLE passes (run INTEGER NOT NULL REFERENCES runs(id), pass INTEGER NOT NULL, output_power REAL,"
    " started TEXT)",
    "CREATE INDEX passes_of_run ON passes(run, pass)",
    "CREATE TABLE points (id INTEGER PRIMARY KEY, run INTEGER NOT NULL REFERENCES runs(id), pass INTEGER NOT NULL,"
    " number INTEGER NOT NULL, measured_at TEXT, row_kind TEXT NOT NULL CHECK (row_kind IN ('sweep', 'step', 'spur')),"
    " workbook TEXT NOT NULL, point_index INTEGER NOT NULL, frequency REAL, reading REAL, output_power REAL,"
    " synthesizer_power REAL, temperature REAL, span REAL, bandwidth REAL, in_workbook TEXT)",
    "CREATE INDEX points_of_run ON points(run)",
    "CREATE TABLE peaks (point INTEGER NOT NULL REFERENCES points(id), number INTEGER NOT NULL, frequency REAL,"
    " level REAL, PRIMARY KEY (point, number)) WITHOUT ROWID",
    "CREATE TABLE troubles (id INTEGER PRIMARY KEY, run INTEGER NOT NULL REFERENCES runs(id), at TEXT,"
    " instrument TEXT NOT NULL, text TEXT NOT NULL)",
    "CREATE INDEX troubles_of_run ON troubles(run)",
    "INSERT INTO schema_version VALUES (1, '2026-01-01T08:00:00.000Z', 'rfbench 0.1')",
};

// Two runs of an older store: the first with three points in two workbooks, one of them
// recovered, two passes (the second recorded twice), a trouble and a spur's peaks.
const char *const recordsOfLayoutOne[] = {
    "INSERT INTO runs VALUES (1, 'bench-1', 'ann', '0.1', '2026-01-10T09:00:00.000Z', '2026-01-10T09:10:00.000Z',"
    " 'power', 'finished', '{\"format\": 1}', 'synthesizer: lan 10.0.0.7', '', '', 'bench-1 1')",
    "INSERT INTO runs VALUES (2, 'bench-1', 'ann', '0.1', '2026-01-11T09:00:00.000Z', NULL, 'spur', 'running',"
    " '{\"format\": 1}', '', '', '', 'bench-1 1')",
    "INSERT INTO passes VALUES (1, 1, -5, '2026-01-10T09:00:01.000Z')",
    "INSERT INTO passes VALUES (1, 2, 5, '2026-01-10T09:05:00.000Z')",
    "INSERT INTO passes VALUES (1, 2, 5, '2026-01-10T09:06:00.000Z')",
    "INSERT INTO points VALUES (1, 1, 1, 1, '2026-01-10T09:00:02.000Z', 'sweep', 'Table -5 dBm', 0, 1000, -10.5,"
    " NULL, -5, 38, NULL, NULL, 'Table -5 dBm')",
    "INSERT INTO points VALUES (2, 1, 2, 1, '2026-01-10T09:05:02.000Z', 'sweep', 'Table 5 dBm', 0, 1000, NULL,"
    " NULL, 5, 38, NULL, NULL, 'Table 5 dBm (recovered)')",
    "INSERT INTO points VALUES (3, 1, 2, 2, '2026-01-10T09:05:03.000Z', 'sweep', 'Table 5 dBm', 1, 1001, -9.5,"
    " NULL, 5, 38, NULL, NULL, NULL)",
    "INSERT INTO points VALUES (4, 2, 1, 1, '2026-01-11T09:00:02.000Z', 'spur', 'Table spur', 0, NULL, NULL,"
    " NULL, NULL, NULL, 20, 50, NULL)",
    "INSERT INTO peaks VALUES (4, 1, 1000000000, -10)",
    "INSERT INTO peaks VALUES (4, 2, 1002000000, -60)",
    "INSERT INTO troubles VALUES (1, 1, '2026-01-10T09:03:00.000Z', 'Power meter', 'no answer')",
};

} // namespace

// The results store on real SQLite files: what goes in comes back, lists and their filters,
// files that are not stores, layouts older and newer than this program's, and writes that fail.
class tst_SqliteStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("rfbench.sqlite")); }
    std::unique_ptr<SqliteStore> open(Mode mode = Mode::Write, QStringList *announcements = nullptr) const
    {
        return SqliteStore::open(path(), mode, announcements);
    }
    void makeLayoutOne(bool withRecords);
    // The layout one, with records, brought to a later layout as that layout's rfbench did.
    void makeLayout(int version);
    QStringList entries() const
    {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

private slots:
    void initTestCase();
    void init();

    // What goes in comes back.
    void pointsComeBackAsMeasured_data();
    void pointsComeBackAsMeasured();
    void runKeepsItsStart_data();
    void runKeepsItsStart();
    void countsAndWorkbooksOfARun();
    void outcomes();
    void runsOfDeadWritersAreInterrupted();
    void pointsNotInWorkbookOldestFirst();
    void wrongWritesAreRefused_data();
    void wrongWritesAreRefused();
    void recordsAreOnlyAdded();

    // Lists.
    void listFilters_data();
    void listFilters();

    // Writers and readers.
    void aKilledWriterLosesNoPoint();
    void readerSeesEachCommittedPoint();

    // Files that are not stores, and layouts.
    void openings_data();
    void openings();
    void damageFoundLater_data();
    void damageFoundLater();
    void foreignDatabaseMovesWithItsLog();
    void newerStoreIsLeftAlone_data();
    void newerStoreIsLeftAlone();
    void olderStoreIsUpgraded_data();
    void olderStoreIsUpgraded();
    void failedUpgradeChangesNothing_data();
    void failedUpgradeChangesNothing();

    // Stores that cannot be written.
    void writeFaults_data();
    void writeFaults();
    void storeInReadOnlyFolderIsRead();
};

void tst_SqliteStore::initTestCase()
{
    QVERIFY(dir.isValid());
    // Open to the user nobody, whom the permission faults take as the writer when root runs them.
    QVERIFY(setMode(dir.path(), 0755));
}

void tst_SqliteStore::init()
{
    setMode(dir.path(), 0755);
    for (const QString &name : entries())
        QFile::remove(dir.filePath(name));
}

void tst_SqliteStore::makeLayoutOne(bool withRecords)
{
    Raw raw(path());
    for (const char *statement : layoutOne)
        QVERIFY2(raw.exec(QString::fromUtf8(statement)).isEmpty(), statement);
    if (withRecords)
        for (const char *statement : recordsOfLayoutOne)
            QVERIFY2(raw.exec(QString::fromUtf8(statement)).isEmpty(), statement);
}

void tst_SqliteStore::makeLayout(int version)
{
    makeLayoutOne(true);
    Raw raw(path());
    for (int step = 2; step <= version; ++step) {
        for (const QString &statement : StoreSchema::step(step))
            QVERIFY2(raw.exec(statement).isEmpty(), qPrintable(statement));
        QCOMPARE(raw.exec(QStringLiteral("INSERT INTO schema_version VALUES (%1, '2026-06-01T08:00:00.000Z', "
                                         "'rfbench 0.%1')").arg(step)),
                 QString());
    }
}

void tst_SqliteStore::pointsComeBackAsMeasured_data()
{
    using V = QVector<double>;
    QTest::addColumn<int>("row");
    QTest::addColumn<V>("values");
    QTest::addColumn<V>("expected"); // values as they come back
    QTest::addColumn<V>("frequencies");
    QTest::addColumn<V>("levels");
    QTest::addColumn<V>("expectedLevels");
    QTest::addColumn<QString>("workbook");
    QTest::addColumn<QDateTime>("measuredAt");
    QTest::addColumn<quint64>("pointIndex");
    QTest::addColumn<double>("correction");
    QTest::addColumn<V>("peakCorrections"); // as written and as they come back

    const int sweep = int(StoredPoint::Row::Sweep), step = int(StoredPoint::Row::Step),
              spur = int(StoredPoint::Row::Spur);
    const QDateTime at = utc(12, 8, 10, 32).addMSecs(123);
    const QString book = QStringLiteral("Table -5 dBm"), spurs = QStringLiteral("Table spur");
    const V none, spurValues{20, 50};
    QTest::newRow("sweep") << sweep << V{100.5, -10.25, 1.5, 38} << V{100.5, -10.25, 1.5, 38} << none << none
                           << none << book << at << quint64(3) << noValue << none;
    QTest::newRow("sweep, readings not numbers") << sweep << V{100.5, noValue, 1.5, noValue}
                                                 << V{100.5, noValue, 1.5, noValue} << none << none << none << book
                                                 << at << quint64(3) << noValue << none;
    QTest::newRow("step, an infinite output power")
        << step << V{1000, -20.5, -infinity, -18.5, noValue} << V{1000, -20.5, -infinity, -18.5, noValue} << none
        << none << none << book << at << quint64(0) << noValue << none;
    QTest::newRow("step, fewer values: the rest are no values")
        << step << V{1000, -20.5} << V{1000, -20.5, noValue, noValue, noValue} << none << none << none << book << at
        << quint64(1) << noValue << none;
    QTest::newRow("spur with peaks") << spur << spurValues << spurValues << V{1e9, 1.002e9, 1.003e9}
                                     << V{-10, -60, -72.5} << V{-10, -60, -72.5} << spurs << at << quint64(7) << noValue << none;
    QTest::newRow("spur, a level not a number") << spur << spurValues << spurValues << V{1e9, 1.002e9}
                                                << V{noValue, -60} << V{noValue, -60} << spurs << at << quint64(7) << noValue << none;
    QTest::newRow("spur, no peaks") << spur << spurValues << spurValues << none << none << none << spurs << at
                                    << quint64(7) << noValue << none;
    QTest::newRow("spur, a frequency without its level") << spur << spurValues << spurValues << V{1e9, 1.002e9}
                                                         << V{-10} << V{-10, noValue} << spurs << at << quint64(7) << noValue << none;
    QTest::newRow("names of any script, a time with an offset, a large index")
        << sweep << V{0.1, 1e-300, -273.15, 1.7976931348623157e308} << V{0.1, 1e-300, -273.15, 1.7976931348623157e308}
        << none << none << none << QStringLiteral("Таблица −5 dBm, «draft» 'quoted'")
        << QDateTime(QDate(2026, 12, 8), QTime(16, 2, 0, 999), Qt::OffsetFromUTC, 5 * 3600 + 1800)
        << (quint64(1) << 40) << noValue << none;
    QTest::newRow("no time") << sweep << V{1, 2, 3, 4} << V{1, 2, 3, 4} << none << none << none << book
                             << QDateTime() << quint64(0) << noValue << none;
    QTest::newRow("sweep, corrected: the reading stays the meter's")
        << sweep << V{100.5, -10.25, 1.5, 38} << V{100.5, -10.25, 1.5, 38} << none << none << none << book << at
        << quint64(3) << 3.25 << none;
    QTest::newRow("step, a correction of 0 dB is one") << step << V{1000, -20.5} << V{1000, -20.5, noValue, noValue, noValue}
                                                       << none << none << none << book << at << quint64(1) << 0.0 << none;
    QTest::newRow("spur, each peak corrected") << spur << spurValues << spurValues << V{1e9, 1.002e9, 1.003e9}
                                               << V{-10, -60, -72.5} << V{-10, -60, -72.5} << spurs << at << quint64(7)
                                               << noValue << V{0.5, 1.25, -2};
    QTest::newRow("spur, a peak beyond its table") << spur << spurValues << spurValues << V{1e9, 1.002e9}
                                                   << V{-10, -60} << V{-10, -60} << spurs << at << quint64(7)
                                                   << noValue << V{noValue, 1.25};
}

void tst_SqliteStore::pointsComeBackAsMeasured()
{
    QFETCH(int, row);
    QFETCH(QVector<double>, values);
    QFETCH(QVector<double>, expected);
    QFETCH(QVector<double>, frequencies);
    QFETCH(QVector<double>, levels);
    QFETCH(QVector<double>, expectedLevels);
    QFETCH(QString, workbook);
    QFETCH(QDateTime, measuredAt);
    QFETCH(quint64, pointIndex);
    QFETCH(double, correction);
    QFETCH(QVector<double>, peakCorrections);
    auto store = open();
    const qint64 run = store->beginRun(startOf("bench-1", "power", utc(12, 8)));
    QVERIFY(run > 0);
    StoredPoint point;
    point.run = run;
    point.pass = 3;
    point.number = pointIndex + 1;
    point.measuredAt = measuredAt;
    point.row = StoredPoint::Row(row);
    point.workbook = workbook;
    point.pointIndex = pointIndex;
    point.values = values;
    point.peakFrequencies = frequencies;
    point.peakLevels = levels;
    point.correction = correction;
    point.peakCorrections = peakCorrections;
    const qint64 id = store->addPoint(point);
    QVERIFY2(id > 0, qPrintable(store->problem()));
    QCOMPARE(store->problem(), QString());

    // A second instance reads what the file holds, not what the first remembers.
    const auto reader = open(Mode::Read);
    QCOMPARE(reader->problem(), QString());
    const QList<StoredPoint> ofRun = reader->points(run);
    store.reset();
    for (const QList<StoredPoint> &list : {ofRun, reader->pointsNotInWorkbook()}) {
        QCOMPARE(list.size(), 1);
        const StoredPoint back = list.first();
        QCOMPARE(back.id, id);
        QCOMPARE(back.run, run);
        QCOMPARE(back.pass, 3);
        QCOMPARE(back.number, pointIndex + 1);
        QCOMPARE(back.measuredAt, measuredAt);
        QCOMPARE(int(back.row), row);
        QCOMPARE(back.workbook, workbook);
        QCOMPARE(back.pointIndex, pointIndex);
        QVERIFY2(same(back.values, expected), qPrintable(QStringLiteral("%1 values").arg(back.values.size())));
        const int unpaired = expectedLevels.size() - frequencies.size();
        QVERIFY(same(back.peakFrequencies, frequencies + QVector<double>(unpaired, noValue)));
        QVERIFY(same(back.peakLevels, expectedLevels));
        QVERIFY(same(back.correction, correction));
        QVERIFY(same(back.peakCorrections, peakCorrections));
        QVERIFY(!back.inWorkbook);
    }
    // A value that is not a number is NULL for every SQLite reader.
    Raw raw(path());
    const int nulls = raw.value(QStringLiteral("SELECT (frequency IS NULL) + (reading IS NULL) + (output_power IS NULL)"
                                               " + (synthesizer_power IS NULL) + (temperature IS NULL) + (span IS NULL)"
                                               " + (bandwidth IS NULL) FROM points"))
                          .toInt();
    int missing = 7 - expected.size();
    for (const double value : expected)
        missing += qIsNaN(value) ? 1 : 0;
    QCOMPARE(nulls, missing);
}

void tst_SqliteStore::runKeepsItsStart_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QString>("type"); // of the setup column, as SQLite tools see it
    QTest::addColumn<bool>("corrected"); // with someTables()
    QTest::newRow("setup file") << QByteArray("{\n  \"format\": 1,\n  \"name\": \"Réglage −5 dBm\"\n}\n")
                                << QStringLiteral("text") << false;
    QTest::newRow("bytes that are not UTF-8, kept as they are")
        << QByteArray("{\"name\": \"R\xe9glage\", \"nul\": \"") + QByteArray(1, '\0') + QByteArray("\"}")
        << QStringLiteral("blob") << false;
    QTest::newRow("no setup") << QByteArray() << QStringLiteral("text") << false;
    QTest::newRow("with its correction tables, byte for byte") << QByteArray("{}") << QStringLiteral("text") << true;
}

void tst_SqliteStore::runKeepsItsStart()
{
    QFETCH(QByteArray, setup);
    QFETCH(QString, type);
    QFETCH(bool, corrected);
    RunStart start = startOf("bench-1", "spur",
                             QDateTime(QDate(2026, 12, 8), QTime(10, 32, 0, 5), Qt::OffsetFromUTC, 3600), setup);
    if (corrected)
        start.tables = someTables();
    start.note = QStringLiteral("RF output is off");
    start.user = QString(); // unknown: kept as an empty text
    auto store = open();
    const qint64 id = store->beginRun(start);
    QVERIFY2(id > 0, qPrintable(store->problem()));
    store.reset();

    const auto reader = open(Mode::Read);
    const RunSummary run = reader->run(id);
    QCOMPARE(run.id, id);
    QCOMPARE(run.station, start.station);
    QCOMPARE(run.user, QString());
    QCOMPARE(run.version, start.version);
    QCOMPARE(run.started, start.started);
    QVERIFY(run.ended.isNull());
    QCOMPARE(run.measurement, start.measurement);
    QCOMPARE(run.setup, setup);
    QCOMPARE(run.instruments, start.instruments);
    QCOMPARE(run.identities, start.identities);
    QCOMPARE(run.note, start.note);
    QCOMPARE(run.points, qint64(0));
    QCOMPARE(run.workbooks, QStringList());
    QVERIFY(sameTables(run.tables, start.tables));
    Raw raw(path());
    QCOMPARE(raw.value("SELECT typeof(setup) FROM runs").toString(), type);
    QCOMPARE(raw.value("SELECT started FROM runs").toString(), QStringLiteral("2026-12-08T09:32:00.005Z"));
}

void tst_SqliteStore::countsAndWorkbooksOfARun()
{
    auto store = open();
    const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
    const qint64 other = store->beginRun(startOf("bench-2", "power", utc(1, 10)));
    QList<qint64> ids;
    for (quint64 n = 1; n <= 3; ++n)
        ids << store->addPoint(sweepPoint(run, n, "Table -5 dBm"));
    for (quint64 n = 4; n <= 5; ++n)
        ids << store->addPoint(sweepPoint(run, n, "Table 5 dBm"));
    store->addPoint(sweepPoint(other, 1, "Table other"));
    store->addPass(run, 1, -5, utc(1, 10));
    store->addPass(run, 2, 5, utc(1, 10, 9, 5));
    store->addPass(run, 2, 5, utc(1, 10, 9, 6)); // a resumed pass: recorded again, counted once
    store->addTrouble(run, RunTrouble{utc(1, 10, 9, 3), QStringLiteral("Power meter"), QStringLiteral("no answer")});
    store->markInWorkbook({ids.at(0), ids.at(1)}, QStringLiteral("Table -5 dBm"));
    store->markInWorkbook({ids.at(3)}, QStringLiteral("Table 5 dBm (recovered)"));
    QCOMPARE(store->problem(), QString());

    const RunSummary summary = store->run(run);
    QCOMPARE(summary.points, qint64(5));
    QCOMPARE(summary.passes, 2);
    QCOMPARE(summary.troubles, 1);
    // In the order they first appear, the recovered workbook too.
    QCOMPARE(summary.workbooks, (QStringList{"Table -5 dBm", "Table 5 dBm", "Table 5 dBm (recovered)"}));
    QCOMPARE(store->run(other).workbooks, QStringList{"Table other"});
    QCOMPARE(store->runs(RunFilter()).size(), 2);

    const QList<StoredPass> passes = store->passes(run);
    QCOMPARE(passes.size(), 3);
    QCOMPARE(passes.at(1).pass, 2);
    QCOMPARE(passes.at(1).outputPower, 5.0);
    QCOMPARE(passes.at(2).started, utc(1, 10, 9, 6));
    const QList<RunTrouble> troubles = store->troubles(run);
    QCOMPARE(troubles.size(), 1);
    QCOMPARE(troubles.first().when, utc(1, 10, 9, 3));
    QCOMPARE(troubles.first().instrument, QStringLiteral("Power meter"));
    QCOMPARE(troubles.first().text, QStringLiteral("no answer"));

    const QList<StoredPoint> points = store->points(run);
    QCOMPARE(points.size(), 5);
    QCOMPARE(points.at(3).savedIn, QStringLiteral("Table 5 dBm (recovered)"));
    QVERIFY(points.at(3).inWorkbook);
    QVERIFY(!points.at(2).inWorkbook);
    // The kept counts are those of the records.
    store.reset();
    Raw raw(path());
    QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM runs WHERE point_count <> (SELECT COUNT(*) FROM points"
                                      " WHERE points.run = runs.id) OR trouble_count <> (SELECT COUNT(*) FROM troubles"
                                      " WHERE troubles.run = runs.id)"))
                 .toInt(),
             0);
}

void tst_SqliteStore::outcomes()
{
    auto store = open();
    const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
    QCOMPARE(store->run(run).outcome, QStringLiteral("running"));
    store->endRun(run, QStringLiteral("stopped"), utc(1, 10, 9, 30));
    QCOMPARE(store->run(run).outcome, QStringLiteral("stopped"));
    QCOMPARE(store->run(run).ended, utc(1, 10, 9, 30));
    store->reopenRun(run);
    QCOMPARE(store->run(run).outcome, QStringLiteral("running"));
    QVERIFY(store->run(run).ended.isNull());
    store->endRun(run, QStringLiteral("finished"), utc(1, 10, 9, 45));
    QCOMPARE(store->run(run).outcome, QStringLiteral("finished"));

    // Runs of one station that are written at once (the window and a script on one bench) are
    // both running while their writers live: a run is cut off only when its writer is gone.
    const qint64 first = store->beginRun(startOf("bench-1", "power", utc(1, 11)));
    const qint64 second = store->beginRun(startOf("bench-1", "spur", utc(1, 11, 10)));
    const auto other = open();
    QCOMPARE(other->run(first).outcome, QStringLiteral("running"));
    QCOMPARE(other->run(second).outcome, QStringLiteral("running"));
    QCOMPARE(store->run(run).outcome, QStringLiteral("finished"));
    // Another writer cannot go on with a run that is written, nor with a finished one.
    QVERIFY(!other->reopenRun(second));
    QCOMPARE(other->problem(), QStringLiteral("another program is measuring run %1 now").arg(second));
    QVERIFY(!other->reopenRun(run));
    QCOMPARE(other->problem(), QStringLiteral("run %1 is finished").arg(run));
    // A run that ended with every row in its workbook is free to go on elsewhere, though its
    // writer lives on.
    store->endRun(first, QStringLiteral("stopped"), utc(1, 11, 20));
    QVERIFY2(other->reopenRun(first), qPrintable(other->problem()));

    // Another reader of the store opened and closed in this process leaves SQLite's own locks of
    // the writer alone: a program that then closes the store last does not take the writer's
    // log away from under it.
    open(Mode::Read)->runs(RunFilter());
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {path(), QStringLiteral("SELECT count(*) FROM runs")});
    QVERIFY(sqlite.waitForFinished(30000));
    QCOMPARE(sqlite.exitCode(), 0);
    QVERIFY(store->addPoint(sweepPoint(second, 1)) > 0);
    store->endRun(second, QStringLiteral("finished"), utc(1, 11, 30));
    store.reset();
    const auto reader = open(Mode::Read);
    QCOMPARE(reader->run(second).outcome, QStringLiteral("finished"));
    QCOMPARE(reader->points(second).size(), 1);
}

void tst_SqliteStore::runsOfDeadWritersAreInterrupted()
{
    // A run of this process, which lives: its store stays open.
    auto liveStore = open();
    const qint64 live = liveStore->beginRun(startOf("bench-2", "power", utc(1, 10)));
    const RunVerdict marginal{QStringLiteral("MARGINAL"), 0, 1, 0};
    liveStore->setVerdict(live, marginal);
    // A process that began a run and ended without ending it, marginal so far.
    const int child = inChildProcess([this, &marginal] {
        auto store = open();
        const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 11)));
        store->setVerdict(run, marginal);
        return run > 0 && store->problem().isEmpty() ? 0 : 1;
    });
    QCOMPARE(child, 0);
    // A reader sees it cut off and leaves the file as it is; the next writer records it so. The
    // run of this process, which lives, still runs.
    const QString recorded = QStringLiteral("SELECT outcome FROM runs ORDER BY id");
    for (const Mode mode : {Mode::Read, Mode::Write}) {
        const auto store = open(mode);
        const QList<RunSummary> runs = store->runs(RunFilter());
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs.at(0).outcome, QStringLiteral("interrupted"));
        QCOMPARE(runs.at(1).id, live);
        QCOMPARE(runs.at(1).outcome, QStringLiteral("running"));
        // The run cut off is incomplete; the one that goes on shows its verdict so far, and the
        // newest that shows it, though the other was recorded so too.
        QCOMPARE(runs.at(0).verdict.verdict, QStringLiteral("INCOMPLETE"));
        RunFilter filter;
        filter.verdict = QStringLiteral("MARGINAL");
        filter.limit = 1;
        QCOMPARE(idsOf(store->runs(filter)), QList<qint64>{live});
        Raw raw(path());
        QCOMPARE(raw.rows(recorded).value(1).value(0).toString(),
                 mode == Mode::Read ? QStringLiteral("running") : QStringLiteral("interrupted"));
    }
}

void tst_SqliteStore::pointsNotInWorkbookOldestFirst()
{
    auto store = open();
    const qint64 first = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
    const qint64 second = store->beginRun(startOf("bench-2", "spur", utc(1, 10)));
    QList<qint64> ids;
    for (quint64 n = 1; n <= 3; ++n) {
        ids << store->addPoint(sweepPoint(first, n));
        StoredPoint spur = sweepPoint(second, n, "Table spur");
        spur.row = StoredPoint::Row::Spur;
        spur.values = {20, 50};
        spur.peakFrequencies = {1e9, 1e9 + double(n) * 1e6};
        spur.peakLevels = {-10, -60};
        ids << store->addPoint(spur);
    }
    StoredPoint placed = sweepPoint(first, 4);
    placed.inWorkbook = true;
    QVERIFY(store->addPoint(placed) > 0);
    store->markInWorkbook({ids.at(0), ids.at(3)}, QStringLiteral("Table -5 dBm"));
    // The rows of runs being written are on their way: none is asked for while their writer lives.
    QCOMPARE(store->pointsNotInWorkbook().size(), 0);
    QCOMPARE(open(Mode::Read)->pointsNotInWorkbook().size(), 0);
    store.reset();
    store = open();

    const QList<StoredPoint> waiting = store->pointsNotInWorkbook();
    QList<qint64> waitingIds;
    for (const StoredPoint &point : waiting)
        waitingIds << point.id;
    QCOMPARE(waitingIds, (QList<qint64>{ids.at(1), ids.at(2), ids.at(4), ids.at(5)}));
    QCOMPARE(waiting.at(0).peakFrequencies, (QVector<double>{1e9, 1e9 + 1e6}));
    QCOMPARE(waiting.at(3).peakFrequencies, (QVector<double>{1e9, 1e9 + 3e6}));
    QVERIFY(waiting.at(1).peakFrequencies.isEmpty());
    QCOMPARE(store->points(first).at(3).savedIn, QStringLiteral("Table -5 dBm"));

    store->markInWorkbook(waitingIds, QStringLiteral("Table spur (recovered)"));
    QCOMPARE(store->pointsNotInWorkbook().size(), 0);
}

void tst_SqliteStore::wrongWritesAreRefused_data()
{
    QTest::addColumn<QString>("write");
    QTest::addColumn<QString>("problem");
    QTest::newRow("point of a run that is not there") << QStringLiteral("unknown run")
                                                      << QStringLiteral("FOREIGN KEY constraint failed");
    QTest::newRow("a sweep point of five values") << QStringLiteral("too many values")
                                                  << QStringLiteral("a sweep point has at most 4 values, not 5");
    QTest::newRow("a spur point whose peak is refused: the point goes with it")
        << QStringLiteral("peak refused") << QStringLiteral("peaks refused");
    QTest::newRow("an outcome that is none") << QStringLiteral("unknown outcome")
                                             << QStringLiteral("CHECK constraint failed: outcome IN ('running', "
                                                               "'finished', 'stopped', 'interrupted', 'failed')");
    QTest::newRow("a verdict that is none") << QStringLiteral("unknown verdict")
                                            << QStringLiteral("CHECK constraint failed: verdict IN ('', 'PASS', "
                                                              "'MARGINAL', 'NO READING', 'FAIL', 'INCOMPLETE')");
    QTest::newRow("a run whose table's sha256 is none: the run goes with it")
        << QStringLiteral("unknown sha256")
        << QStringLiteral("CHECK constraint failed: length(sha256) = 64 AND sha256 NOT GLOB '*[^0-9a-f]*'");
    QTest::newRow("a point's verdict that is none")
        << QStringLiteral("unknown point verdict")
        << QStringLiteral("CHECK constraint failed: verdict IN ('PASS', 'MARGINAL', 'NO READING', 'FAIL')");
}

void tst_SqliteStore::wrongWritesAreRefused()
{
    QFETCH(QString, write);
    QFETCH(QString, problem);
    auto store = open();
    const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
    QVERIFY(store->addPoint(sweepPoint(run, 1)) > 0);
    if (write == "unknown run") {
        QCOMPARE(store->addPoint(sweepPoint(run + 100, 2)), qint64(0));
    } else if (write == "too many values") {
        StoredPoint point = sweepPoint(run, 2);
        point.values << 1;
        QCOMPARE(store->addPoint(point), qint64(0));
    } else if (write == "peak refused") {
        Raw(path()).rows(QStringLiteral("CREATE TRIGGER refuse_peaks BEFORE INSERT ON peaks"
                                        " BEGIN SELECT RAISE(ABORT, 'peaks refused'); END"));
        StoredPoint spur = sweepPoint(run, 2, "Table spur");
        spur.row = StoredPoint::Row::Spur;
        spur.values = {20, 50};
        spur.peakFrequencies = {1e9, 1.1e9};
        spur.peakLevels = {-10, -60};
        QCOMPARE(store->addPoint(spur), qint64(0));
        Raw(path()).rows(QStringLiteral("DROP TRIGGER refuse_peaks"));
    } else if (write == "unknown point verdict") {
        StoredPoint point = sweepPoint(run, 2);
        point.verdict = QStringLiteral("INCOMPLETE");
        QCOMPARE(store->addPoint(point), qint64(0));
    } else if (write == "unknown sha256") {
        RunStart start = startOf("bench-1", "power", utc(1, 11));
        start.tables = someTables();
        start.tables.last().sha256 = start.tables.last().sha256.toUpper();
        QCOMPARE(store->beginRun(start), qint64(0));
        QCOMPARE(store->runs(RunFilter()).size(), 1);
    } else if (write == "unknown verdict") {
        store->setVerdict(run, RunVerdict{QStringLiteral("GOOD"), 0, 0, 0});
    } else {
        store->endRun(run, QStringLiteral("done"), utc(1, 10, 10));
    }
    QCOMPARE(store->problem(), problem);
    // Nothing of the refused write is kept, and the store goes on.
    QCOMPARE(store->run(run).outcome, QStringLiteral("running"));
    QCOMPARE(store->run(run).verdict.verdict, QString());
    QCOMPARE(store->points(run).size(), 1);
    QVERIFY(store->addPoint(sweepPoint(run, 3)) > 0);
    QCOMPARE(store->problem(), QString());
    QVERIFY(store->addPoint(sweepPoint(run, 4)) > 0);
    // The run keeps the note of what it lacks, once.
    const QList<RunTrouble> troubles = store->troubles(run);
    if (write == "too many values") {
        QCOMPARE(troubles.size(), 1);
        QCOMPARE(troubles.first().instrument, QStringLiteral("results store"));
        QCOMPARE(troubles.first().text, QString("a write of this run to the results store was refused (a sweep "
                                                "point has at most 4 values, not 5): what it held is missing here"));
    } else {
        QCOMPARE(troubles.size(), write == "unknown run" || write == "unknown sha256" ? 0 : 1);
    }
    QCOMPARE(store->run(run + 100).id, qint64(0));
    QCOMPARE(store->points(run + 100).size(), 0);
    QCOMPARE(store->troubles(run + 100).size(), 0);
}

void tst_SqliteStore::recordsAreOnlyAdded()
{
    auto store = open();
    RunStart start = startOf("bench-1", "power", utc(1, 10));
    start.tables = someTables();
    const qint64 run = store->beginRun(start);
    StoredPoint corrected = sweepPoint(run, 1);
    corrected.correction = 1.5;
    const qint64 point = store->addPoint(corrected);
    QVERIFY(point > 0);
    store.reset();
    // Not even another SQLite program removes or changes a measurement by mistake.
    Raw raw(path());
    QCOMPARE(raw.exec("DELETE FROM points"), QStringLiteral("points are kept"));
    QCOMPARE(raw.exec("DELETE FROM runs"), QStringLiteral("runs are kept"));
    QCOMPARE(raw.exec("UPDATE points SET reading = 0"), QStringLiteral("measured points are not changed"));
    QCOMPARE(raw.exec("UPDATE points SET verdict = 'PASS'"), QStringLiteral("measured points are not changed"));
    QCOMPARE(raw.exec("UPDATE points SET correction = 0"), QStringLiteral("measured points are not changed"));
    QCOMPARE(raw.exec("DELETE FROM run_tables"), QStringLiteral("correction tables are kept"));
    QCOMPARE(raw.exec("UPDATE run_tables SET text = x'00'"), QStringLiteral("correction tables are not changed"));
    QCOMPARE(raw.value("SELECT count(*) FROM run_tables").toInt(), 2);
    QCOMPARE(raw.exec("UPDATE points SET in_workbook = 'Table -5 dBm'"), QString());
    QCOMPARE(raw.value("SELECT reading FROM points").toDouble(), -10.5);
}

void tst_SqliteStore::listFilters_data()
{
    QTest::addColumn<QDateTime>("since");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("station"); // empty: any
    QTest::addColumn<QList<qint64>>("expected"); // run ids in the list's order

    QTest::newRow("all, newest first; same start: the later run first")
        << QDateTime() << QString() << 0 << QString() << QList<qint64>{4, 3, 2, 1, 5};
    QTest::newRow("limit") << QDateTime() << QString() << 2 << QString() << QList<qint64>{4, 3};
    QTest::newRow("since the start of one") << utc(2, 1, 8, 45) << QString() << 0 << QString() << QList<qint64>{4, 3, 2};
    QTest::newRow("since, in another zone")
        << QDateTime(QDate(2026, 2, 1), QTime(9, 30), Qt::OffsetFromUTC, 3600) << QString() << 0 << QString() << QList<qint64>{4, 3, 2};
    QTest::newRow("since a minute after the start of one")
        << utc(2, 1, 8, 46) << QString() << 0 << QString() << QList<qint64>{4, 3};
    QTest::newRow("since after all") << utc(12, 1) << QString() << 0 << QString() << QList<qint64>();
    QTest::newRow("measurement") << QDateTime() << QStringLiteral("spur") << 0 << QString() << QList<qint64>{2};
    QTest::newRow("letters of any case") << QDateTime() << QStringLiteral("SPUR") << 0 << QString() << QList<qint64>{2};
    QTest::newRow("station") << QDateTime() << QStringLiteral("bench-2") << 0 << QString() << QList<qint64>{2};
    QTest::newRow("outcome") << QDateTime() << QStringLiteral("stopped") << 0 << QString() << QList<qint64>{2};
    QTest::newRow("setup") << QDateTime() << QStringLiteral("\"power\": -7") << 0 << QString() << QList<qint64>{1};
    QTest::newRow("workbook") << QDateTime() << QStringLiteral("Table 10% d") << 0 << QString() << QList<qint64>{3};
    QTest::newRow("a percent sign is no wildcard") << QDateTime() << QStringLiteral("10%") << 0 << QString() << QList<qint64>{3};
    QTest::newRow("an underscore is no wildcard") << QDateTime() << QStringLiteral("a_b") << 0 << QString() << QList<qint64>{4};
    QTest::newRow("a backslash is a letter") << QDateTime() << QStringLiteral("c:\\d") << 0 << QString() << QList<qint64>{4};
    QTest::newRow("text, since and limit") << utc(2, 1, 8, 45) << QStringLiteral("bench-1") << 1 << QString() << QList<qint64>{4};
    QTest::newRow("one station") << QDateTime() << QString() << 0 << QStringLiteral("bench-2") << QList<qint64>{2};
    QTest::newRow("a station's name is whole") << QDateTime() << QString() << 0 << QStringLiteral("bench")
                                               << QList<qint64>();
    QTest::newRow("station and text") << QDateTime() << QStringLiteral("10") << 0 << QStringLiteral("bench-1")
                                      << QList<qint64>{3, 1};
    QTest::newRow("nothing matches") << QDateTime() << QStringLiteral("zzz") << 0 << QString() << QList<qint64>();
    // Run 5's process ended while it ran: the lists show it interrupted before a writer records it.
    QTest::newRow("the outcome as shown") << QDateTime() << QStringLiteral("Interrupted") << 0 << QString()
                                          << QList<qint64>{5};
    QTest::newRow("running: only the run whose process lives")
        << QDateTime() << QStringLiteral("running") << 0 << QString() << QList<qint64>{4};
    QTest::newRow("the newest that match: the limit counts only these")
        << QDateTime() << QStringLiteral("interrupted") << 1 << QString() << QList<qint64>{5};
}

void tst_SqliteStore::listFilters()
{
    QFETCH(QDateTime, since);
    QFETCH(QString, text);
    QFETCH(int, limit);
    QFETCH(QString, station);
    QFETCH(QList<qint64>, expected);
    // Its writer, this process, lives on while the list is read: run four is running.
    auto store = open();
    {
        const qint64 one = store->beginRun(startOf("bench-1", "power", utc(1, 10),
                                                   "{\"power\": -7, \"points\": 10}"));
        store->addPoint(sweepPoint(one, 1, "Table 10 dBm"));
        store->addPoint(sweepPoint(one, 2, "axb"));
        store->endRun(one, QStringLiteral("finished"), utc(1, 10, 10));
        const qint64 two = store->beginRun(startOf("bench-2", "spur", utc(2, 1, 8, 45)));
        store->addPoint(sweepPoint(two, 1, "Table 100 dBm"));
        store->endRun(two, QStringLiteral("stopped"), utc(2, 1, 10));
        const qint64 three = store->beginRun(startOf("bench-1", "power", utc(3, 5)));
        store->addPoint(sweepPoint(three, 1, "Table 10% dBm"));
        store->endRun(three, QStringLiteral("finished"), utc(3, 5, 10));
        const qint64 four = store->beginRun(startOf("bench-1", "power", utc(3, 5)));
        store->addPoint(sweepPoint(four, 1, "a_b in c:\\d"));
        QCOMPARE(QList<qint64>({one, two, three, four}), QList<qint64>({1, 2, 3, 4}));
    }
    QCOMPARE(inChildProcess([this] { return open()->beginRun(startOf("bench-3", "power", utc(1, 5))) == 5 ? 0 : 1; }),
             0);
    const auto reader = open(Mode::Read);
    RunFilter filter;
    filter.since = since;
    filter.text = text;
    filter.limit = limit;
    filter.station = station;
    QCOMPARE(idsOf(reader->runs(filter)), expected);
    QCOMPARE(reader->problem(), QString());
    QCOMPARE(reader->stations(), (QStringList{"bench-1", "bench-2", "bench-3"}));
    // A new store's identity, which its rows carry to a results server.
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(reader->identity()).hasMatch(),
             qPrintable(reader->identity()));
}

void tst_SqliteStore::aKilledWriterLosesNoPoint()
{
    // Killed right after addPoint returned: no destructor, no close, a log not checkpointed.
    const int child = inChildProcess([this] {
        auto store = open();
        const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
        for (quint64 n = 1; n <= 5; ++n)
            if (store->addPoint(sweepPoint(run, n)) == 0)
                return 1;
        ::kill(getpid(), SIGKILL);
        return 2;
    });
    QCOMPARE(child, -1);
    QVERIFY(QFile::exists(path() + "-wal"));
    const auto reader = open(Mode::Read);
    const QList<RunSummary> runs = reader->runs(RunFilter());
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().points, qint64(5));
    QCOMPARE(numbersOf(reader->points(runs.first().id)), (QList<quint64>{1, 2, 3, 4, 5}));
}

void tst_SqliteStore::readerSeesEachCommittedPoint()
{
    auto writer = open();
    const qint64 run = writer->beginRun(startOf("bench-1", "power", utc(1, 10)));
    // Two instances in one thread, each with its connection.
    const auto reader = open(Mode::Read);
    QCOMPARE(reader->problem(), QString());
    for (quint64 n = 1; n <= 3; ++n) {
        writer->addPoint(sweepPoint(run, n));
        QCOMPARE(reader->points(run).size(), int(n));
        QCOMPARE(reader->run(run).points, qint64(n));
    }
    {
        SqliteStore::Batch batch(*writer);
        for (quint64 n = 4; n <= 10; ++n)
            QVERIFY(writer->addPoint(sweepPoint(run, n)) > 0);
        QCOMPARE(reader->points(run).size(), 3);
    }
    QCOMPARE(reader->points(run).size(), 10);
    QCOMPARE(reader->run(run).points, qint64(10));
    // A reader writes nothing.
    QCOMPARE(reader->beginRun(startOf("bench-1", "power", utc(1, 10))), qint64(0));
    QCOMPARE(reader->addPoint(sweepPoint(run, 11)), qint64(0));
    QCOMPARE(writer->points(run).size(), 10);
}

void tst_SqliteStore::openings_data()
{
    QTest::addColumn<QString>("file");     // what is at the store's path
    QTest::addColumn<QString>("asideAs");  // Write: the label it is set aside under; empty: kept
    QTest::addColumn<QString>("announced"); // Write: the words of the first announcement
    QTest::addColumn<QString>("readProblem"); // Read: the problem, with @ for the path

    const QString started = QStringLiteral("A new results store was started");
    QTest::newRow("nothing") << QStringLiteral("nothing") << QString() << started
                             << QStringLiteral("there is no results store at @");
    QTest::newRow("empty file") << QStringLiteral("empty file") << QString() << started
                                << QStringLiteral("no runs are recorded in @: it is empty");
    QTest::newRow("empty SQLite database") << QStringLiteral("empty database") << QString() << started
                                           << QStringLiteral("no runs are recorded in @: it is empty");
    QTest::newRow("another program's database")
        << QStringLiteral("foreign") << QStringLiteral("foreign")
        << QStringLiteral("is not a results store (it is another program's database, of the tables customers, "
                          "schema_version)")
        << QStringLiteral("@ is not a results store: it is another program's database, of the tables customers, "
                          "schema_version");
    QTest::newRow("random bytes") << QStringLiteral("random") << QStringLiteral("damaged")
                                  << QStringLiteral("is not a results store (it is not an SQLite database)")
                                  << QStringLiteral("@ is not a results store: it is not an SQLite database");
    QTest::newRow("a text") << QStringLiteral("text") << QStringLiteral("damaged")
                            << QStringLiteral("is not a results store (it is not an SQLite database)")
                            << QStringLiteral("@ is not a results store: it is not an SQLite database");
    QTest::newRow("the first bytes of a store") << QStringLiteral("header") << QStringLiteral("damaged")
                                                << QStringLiteral("is not a results store (it is damaged")
                                                << QStringLiteral("@ is not a results store: it is damaged");
    QTest::newRow("a store cut short") << QStringLiteral("truncated") << QStringLiteral("damaged")
                                       << QStringLiteral("is not a results store (it is damaged")
                                       << QStringLiteral("damaged");
    QTest::newRow("a store's log without its store")
        << QStringLiteral("orphaned log") << QStringLiteral("orphaned")
        << QStringLiteral("-wal was left from a results store that is gone")
        << QStringLiteral("there is no results store at @");
}

void tst_SqliteStore::openings()
{
    QFETCH(QString, file);
    QFETCH(QString, asideAs);
    QFETCH(QString, announced);
    QFETCH(QString, readProblem);

    QByteArray random(3000, '\0');
    for (int i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919 + 13) % 251);
    if (file == "empty file") {
        QVERIFY(writeFile(path(), QByteArray()));
    } else if (file == "empty database") {
        Raw raw(path());
        QCOMPARE(raw.exec("PRAGMA user_version = 7"), QString());
    } else if (file == "foreign") {
        Raw raw(path());
        QCOMPARE(raw.exec("CREATE TABLE customers (name TEXT)"), QString());
        QCOMPARE(raw.exec("CREATE TABLE schema_version (version INTEGER)"), QString());
        QCOMPARE(raw.exec("INSERT INTO schema_version VALUES (1)"), QString());
    } else if (file == "random") {
        QVERIFY(writeFile(path(), random));
    } else if (file == "text") {
        QVERIFY(writeFile(path(), "run,point,value\n1,1,-10.5\n"));
    } else if (file == "header") {
        QVERIFY(writeFile(path(), QByteArray("SQLite format 3\0", 16) + random.left(84)));
    } else if (file == "truncated" || file == "orphaned log") {
        auto store = open();
        SqliteStore::Batch batch(*store);
        const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
        for (quint64 n = 1; n <= 2000; ++n)
            store->addPoint(sweepPoint(run, n));
    }
    if (file == "truncated") {
        QFile cut(path());
        QVERIFY(cut.resize(cut.size() * 6 / 10));
    }
    if (file == "orphaned log") {
        // A log with frames, its database removed: as a process killed before a checkpoint.
        const int child = inChildProcess([this] {
            auto store = open();
            store->beginRun(startOf("bench-9", "power", utc(1, 10)));
            ::kill(getpid(), SIGKILL);
            return 0;
        });
        QCOMPARE(child, -1);
        QVERIFY(QFile::remove(path()));
        QVERIFY(QFileInfo(path() + "-wal").size() > 0);
    }
    const QStringList before = entries();
    QMap<QString, QByteArray> contents;
    for (const QString &name : before)
        contents.insert(name, contentOf(dir.filePath(name)));

    // Read: reported, nothing moved or changed.
    {
        const auto reader = open(Mode::Read);
        QString problem = reader->problem();
        if (problem.isEmpty()) {
            // Damage past what opening reads shows when the points are read: none come.
            for (const RunSummary &run : reader->runs(RunFilter()))
                QCOMPARE(reader->points(run.id).size(), 0);
            problem = reader->problem();
        } else {
            QCOMPARE(reader->runs(RunFilter()).size(), 0);
        }
        QVERIFY2(problem.contains(QString(readProblem).replace(QLatin1Char('@'), QDir::toNativeSeparators(path()))),
                 qPrintable(problem));
    }
    // Named by a setup file, which may name another program's file: refused, and left as it is;
    // also an empty one, which no rfbench made a store of in the moment it is given.
    const bool empty = QByteArray(QTest::currentDataTag()).startsWith("empty");
    QCOMPARE(SqliteStore::refusal(path()).isEmpty(), asideAs.isEmpty() && !empty);
    if (!asideAs.isEmpty()) {
        const auto refused = SqliteStore::open(path(), Mode::Write, nullptr, StoreFile::NamedBy::Setup);
        QVERIFY2(refused->problem().contains(announced) && refused->problem().endsWith("; it is left as it is"),
                 qPrintable(refused->problem()));
        QCOMPARE(refused->beginRun(startOf("bench-1", "power", utc(1, 10))), qint64(0));
    }
    // Not even the empty log and its index that SQLite makes for a reader stay behind, but
    // beside a damaged store, which SQLite cannot close cleanly.
    QStringList after = entries();
    if (asideAs == QLatin1String("damaged"))
        for (const QString &name : entries())
            if (!before.contains(name)
                && (name.endsWith("-shm") || (name.endsWith("-wal") && QFileInfo(dir.filePath(name)).size() == 0)))
                after.removeAll(name);
    QCOMPARE(after, before);
    for (auto it = contents.cbegin(); it != contents.cend(); ++it)
        if (!it.key().endsWith("-shm"))
            QVERIFY2(contentOf(dir.filePath(it.key())) == it.value(), qPrintable(it.key()));

    // Write: set aside whole, announced, and a new store started.
    QStringList announcements;
    auto store = open(Mode::Write, &announcements);
    QCOMPARE(store->problem(), QString());
    QVERIFY2(!announcements.isEmpty() && announcements.first().contains(announced),
             qPrintable(announcements.join('\n')));
    QCOMPARE(announcements.size(), asideAs.isEmpty() ? 1 : 2);
    QVERIFY(announcements.last().startsWith(QStringLiteral("A new results store was started: ")));
    const QString stamp = QStringLiteral("rfbench.sqlite.") + asideAs + QLatin1Char('-');
    const QStringList aside = entries().filter(stamp);
    if (asideAs.isEmpty()) {
        QCOMPARE(aside, QStringList());
    } else {
        QVERIFY2(!aside.isEmpty(), qPrintable(entries().join(' ')));
        QVERIFY(announcements.first().contains(aside.first().left(stamp.size() + 15)));
        // The name tells when: rfbench.sqlite.damaged-yyyyMMdd-HHmmss.
        const QString when = aside.first().mid(stamp.size(), 15);
        QVERIFY2(QDateTime::fromString(when, QStringLiteral("yyyyMMdd-HHmmss")).isValid(), qPrintable(aside.first()));
        for (const QString &name : aside) {
            if (name.endsWith("-shm"))
                continue;
            const QString was = QStringLiteral("rfbench.sqlite") + name.mid(stamp.size() + 15);
            QVERIFY2(contentOf(dir.filePath(name)) == contents.value(was), qPrintable(name));
        }
    }
    // The new store is empty and works.
    QCOMPARE(store->runs(RunFilter()).size(), 0);
    const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
    QVERIFY(run > 0);
    QVERIFY(store->addPoint(sweepPoint(run, 1)) > 0);
    QCOMPARE(open(Mode::Read)->run(run).points, qint64(1));
    // Opened again, it is the store.
    store.reset();
    QStringList again;
    QCOMPARE(open(Mode::Write, &again)->runs(RunFilter()).size(), 1);
    QCOMPARE(again, QStringList());
}

void tst_SqliteStore::damageFoundLater_data()
{
    QTest::addColumn<QString>("page");   // of the points overwritten: none, first, last
    QTest::addColumn<bool>("checkDue");  // the file was last checked whole before today
    QTest::addColumn<int>("setAsideAt"); // the opening for writing that sets the store aside; 0: none
    QTest::addColumn<QString>("why");    // in its announcement; @ for today

    QTest::newRow("a sound store is checked once a day") << QStringLiteral("none") << true << 0 << QString();
    // The pages the next writes go to.
    QTest::newRow("the last page, read at opening")
        << QStringLiteral("last") << false << 1 << QStringLiteral("(it is damaged: database disk image is malformed)");
    QTest::newRow("a page in the middle, found by the check of the whole file")
        << QStringLiteral("first") << true << 2 << QStringLiteral("(it is damaged: SQLite found damage in it on @)");
    QTest::newRow("a page in the middle, met by a write")
        << QStringLiteral("first") << false << 2 << QStringLiteral("(it is damaged: SQLite found damage in it on @)");
}

void tst_SqliteStore::damageFoundLater()
{
    QFETCH(QString, page);
    QFETCH(bool, checkDue);
    QFETCH(int, setAsideAt);
    QFETCH(QString, why);
    const int today = int(QDateTime::currentDateTimeUtc().date().toJulianDay());
    qint64 first = 0;
    {
        auto store = open();
        SqliteStore::Batch batch(*store);
        const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
        first = store->addPoint(sweepPoint(run, 1));
        for (quint64 n = 2; n <= 2000; ++n)
            store->addPoint(sweepPoint(run, n));
    }
    int pageNumber = 0;
    {
        Raw raw(path());
        QCOMPARE(raw.exec(QStringLiteral("PRAGMA user_version = %1").arg(checkDue ? today - 2 : today)), QString());
        pageNumber = raw.value(QStringLiteral("SELECT pageno FROM dbstat WHERE name = 'points' AND pagetype = 'leaf'"
                                              " ORDER BY path %1 LIMIT 1")
                                   .arg(page == "last" ? "DESC" : "ASC"))
                         .toInt();
        QVERIFY(pageNumber > 1);
    }
    QVERIFY(!QFile::exists(path() + "-wal"));
    if (page != "none") {
        // A write that never reached the disk.
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(qint64(pageNumber - 1) * 4096));
        QCOMPARE(file.write(QByteArray(4096, '\0')), qint64(4096));
    }

    for (int opening = 1; opening <= 2; ++opening) {
        QStringList announcements;
        auto store = open(Mode::Write, &announcements);
        QCOMPARE(store->problem(), QString());
        if (opening == setAsideAt) {
            QVERIFY2(announcements.value(0).contains(QStringLiteral("is not a results store ")
                                                     + QString(why).replace(QLatin1Char('@'),
                                                                            QDate::fromJulianDay(today).toString(Qt::ISODate))),
                     qPrintable(announcements.join('\n')));
            QCOMPARE(entries().filter(QRegularExpression(QStringLiteral("\\.damaged-[-0-9]+$"))).size(), 1);
            QCOMPARE(store->runs(RunFilter()).size(), 0);
            return;
        }
        QCOMPARE(announcements, QStringList());
        QCOMPARE(store->run(1).points, qint64(2000));
        // Checked whole once a day, on a thread of its own.
        QCOMPARE(store->wholeFileCheck() != nullptr, checkDue && opening == 1);
        if (store->wholeFileCheck()) {
            QCOMPARE(store->wholeFileCheck()->wait(60000),
                     page == "none" ? StoreCheck::Result::Sound : StoreCheck::Result::Damaged);
        } else if (setAsideAt == 2) {
            store->markInWorkbook({first}, QStringLiteral("Table -5 dBm"));
            QVERIFY2(store->problem().startsWith(QStringLiteral("the results store is damaged: ")),
                     qPrintable(store->problem()));
        }
    }
    QCOMPARE(Raw(path()).value(QStringLiteral("PRAGMA user_version")).toInt(), today);
    QCOMPARE(entries().filter(QStringLiteral(".damaged-")), QStringList());
}

void tst_SqliteStore::foreignDatabaseMovesWithItsLog()
{
    // Another program's database in WAL mode, its last rows only in its log.
    const int child = inChildProcess([this] {
        Raw raw(path());
        if (!raw.exec("PRAGMA journal_mode = WAL").isEmpty()
            || !raw.exec("CREATE TABLE customers (name TEXT)").isEmpty()
            || !raw.exec("INSERT INTO customers VALUES ('kept')").isEmpty())
            return 1;
        ::kill(getpid(), SIGKILL);
        return 2;
    });
    QCOMPARE(child, -1);
    QVERIFY(QFileInfo(path() + "-wal").size() > 0);
    QStringList announcements;
    auto store = open(Mode::Write, &announcements);
    QCOMPARE(store->problem(), QString());
    const QStringList aside = entries().filter(QStringLiteral(".foreign-"));
    QVERIFY2(aside.size() >= 2, qPrintable(entries().join(' ')));
    const QString moved = dir.filePath(aside.first());
    QVERIFY(!moved.endsWith("-wal") && !moved.endsWith("-shm"));
    // Database and log together: the other program's rows are all there.
    Raw raw(moved);
    QCOMPARE(raw.value("SELECT name FROM customers").toString(), QStringLiteral("kept"));
}

void tst_SqliteStore::newerStoreIsLeftAlone_data()
{
    QTest::addColumn<SqliteStore::Mode>("mode");
    QTest::newRow("write") << Mode::Write;
    QTest::newRow("read") << Mode::Read;
}

void tst_SqliteStore::newerStoreIsLeftAlone()
{
    QFETCH(SqliteStore::Mode, mode);
    {
        auto store = open();
        const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
        store->addPoint(sweepPoint(run, 1));
    }
    {
        Raw raw(path());
        QCOMPARE(raw.exec(QStringLiteral("INSERT INTO schema_version VALUES (%1, '2027-01-01T00:00:00.000Z', "
                                         "'rfbench 2.0')").arg(StoreSchema::current + 1)),
                 QString());
    }
    QCOMPARE(QFileInfo(path() + "-wal").size(), qint64(0));
    const QByteArray before = contentOf(path());
    QStringList announcements;
    auto store = SqliteStore::open(path(), mode, &announcements);
    QCOMPARE(store->problem(),
             QStringLiteral("the results store was written by a newer rfbench (schema %1; this one knows %2)")
                 .arg(StoreSchema::current + 1)
                 .arg(StoreSchema::current));
    QCOMPARE(announcements, QStringList());
    QCOMPARE(store->beginRun(startOf("bench-1", "power", utc(1, 11))), qint64(0));
    QCOMPARE(store->addPoint(sweepPoint(1, 2)), qint64(0));
    store->endRun(1, QStringLiteral("finished"), utc(1, 11));
    store->markInWorkbook({1}, QStringLiteral("Table -5 dBm"));
    QCOMPARE(store->runs(RunFilter()).size(), 0);
    QCOMPARE(store->run(1).id, qint64(0));
    QCOMPARE(store->points(1).size(), 0);
    QCOMPARE(store->pointsNotInWorkbook().size(), 0);
    store.reset();
    QCOMPARE(contentOf(path()), before);
    QCOMPARE(QFileInfo(path() + "-wal").size(), qint64(0));
    QCOMPARE(entries().filter(QStringLiteral(".damaged-")), QStringList());
}

void tst_SqliteStore::olderStoreIsUpgraded_data()
{
    QTest::addColumn<int>("from");
    QTest::newRow("the first layout") << 1;
    QTest::newRow("the layout before units and verdicts") << 4;
    QTest::newRow("the layout before corrections") << StoreSchema::current - 1;
}

void tst_SqliteStore::olderStoreIsUpgraded()
{
    QFETCH(int, from);
    makeLayout(from);
    const QByteArray before = contentOf(path());
    // A reader leaves it as it is: one it can read reads with no unit and no verdict.
    {
        const auto reader = open(Mode::Read);
        if (from < StoreSchema::readableFrom) {
            QCOMPARE(reader->problem(), QStringLiteral("the results store has schema 1, older than this rfbench's "
                                                       "%1; it is upgraded when rfbench next records a run")
                                            .arg(StoreSchema::current));
        } else {
            QCOMPARE(idsOf(reader->runs(RunFilter())), (QList<qint64>{2, 1}));
            QCOMPARE(reader->run(2).verdict.verdict, QString());
            QCOMPARE(reader->points(1).size(), 3);
            QVERIFY(qIsNaN(reader->points(1).first().correction));
            QCOMPARE(reader->run(1).tables.size(), 0);
            QCOMPARE(reader->problem(), QString());
        }
    }
    QCOMPARE(contentOf(path()), before);

    QStringList announcements;
    auto store = open(Mode::Write, &announcements);
    QCOMPARE(store->problem(), QString());
    // Its rows may be on a results server already, sent before stores had identities.
    QCOMPARE(store->identity(), QString());
    QCOMPARE(announcements, QStringList{QStringLiteral("The results store %1 was upgraded from schema %2 to %3.")
                                            .arg(QDir::toNativeSeparators(path()))
                                            .arg(from)
                                            .arg(StoreSchema::current)});
    const QList<RunSummary> runs = store->runs(RunFilter());
    QCOMPARE(idsOf(runs), (QList<qint64>{2, 1}));
    const RunSummary first = runs.at(1);
    QCOMPARE(first.points, qint64(3));
    QCOMPARE(first.passes, 2);
    QCOMPARE(first.troubles, 1);
    QCOMPARE(first.workbooks, (QStringList{"Table -5 dBm", "Table 5 dBm", "Table 5 dBm (recovered)"}));
    QCOMPARE(first.started, utc(1, 10));
    QCOMPARE(first.outcome, QStringLiteral("finished"));
    QCOMPARE(runs.at(0).workbooks, QStringList{"Table spur"});
    const QList<StoredPoint> waiting = store->pointsNotInWorkbook();
    QCOMPARE(waiting.size(), 2);
    QCOMPARE(waiting.at(0).id, qint64(3));
    QCOMPARE(waiting.at(1).peakLevels, (QVector<double>{-10, -60}));
    QVERIFY(same(store->points(1).at(1).values, QVector<double>{1000, noValue, 5, 38}));

    QCOMPARE(waiting.at(1).peakCorrections, QVector<double>());
    QVERIFY(qIsNaN(store->points(1).first().correction));

    // Runs and points written after it are counted as before it, and keep their tables.
    RunStart start = startOf("bench-2", "power", utc(1, 12));
    start.tables = someTables();
    const qint64 run = store->beginRun(start);
    QCOMPARE(run, qint64(3));
    QVERIFY(sameTables(store->run(3).tables, start.tables));
    QVERIFY(store->addPoint(sweepPoint(1, 4, "Table 15 dBm")) > 0);
    QCOMPARE(store->run(1).points, qint64(4));
    QCOMPARE(store->run(1).workbooks.last(), QStringLiteral("Table 15 dBm"));
    store.reset();
    Raw raw(path());
    const QList<QVariantList> versions = raw.rows("SELECT version, program FROM schema_version ORDER BY version");
    QCOMPARE(versions.size(), StoreSchema::current);
    QCOMPARE(versions.first().value(1).toString(), QStringLiteral("rfbench 0.1"));
    QVERIFY(versions.last().value(1).toString().startsWith(QStringLiteral("rfbench ")));
    QCOMPARE(raw.value("PRAGMA journal_mode").toString(), QStringLiteral("wal"));
}

void tst_SqliteStore::failedUpgradeChangesNothing_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("obstacle"); // in the way of a later statement of the upgrade
    QTest::addColumn<QString>("made");     // a column of the upgrade's earlier statements: not there
    QTest::newRow("from the first layout") << 1 << "CREATE TABLE run_workbooks (anything)" << "runs.point_count";
    QTest::newRow("from the layout before units and verdicts")
        << 4 << "ALTER TABLE points ADD COLUMN limit_spur" << "runs.unit";
    QTest::newRow("from the layout before corrections")
        << StoreSchema::current - 1 << "CREATE TABLE run_tables (anything)" << "points.correction";
}

void tst_SqliteStore::failedUpgradeChangesNothing()
{
    QFETCH(int, from);
    QFETCH(QString, obstacle);
    QFETCH(QString, made);
    makeLayout(from);
    QCOMPARE(Raw(path()).exec(obstacle), QString());
    QStringList announcements;
    auto store = open(Mode::Write, &announcements);
    QVERIFY2(store->problem().startsWith(
                 QStringLiteral("the results store could not be upgraded from schema %1: ").arg(from)),
             qPrintable(store->problem()));
    QCOMPARE(announcements, QStringList());
    QCOMPARE(store->beginRun(startOf("bench-2", "power", utc(1, 12))), qint64(0));
    store.reset();
    Raw raw(path());
    QCOMPARE(raw.value("SELECT MAX(version) FROM schema_version").toInt(), from);
    QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM pragma_table_info('%1') WHERE name = '%2'")
                           .arg(made.section('.', 0, 0), made.section('.', 1)))
                 .toInt(),
             0);
    QCOMPARE(raw.value("SELECT COUNT(*) FROM runs").toInt(), 2);
}

void tst_SqliteStore::writeFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("problem"); // how it begins
    QTest::addColumn<bool>("atOpening");  // the store cannot be opened for writing at all
    QTest::newRow("disk full") << QStringLiteral("disk full") << QStringLiteral("disk full") << false;
    QTest::newRow("disk full, a new store") << QStringLiteral("disk full, new") << QStringLiteral("disk full") << true;
    QTest::newRow("read-only file") << QStringLiteral("read-only file")
                                    << QStringLiteral("read-only: the file cannot be written") << true;
    QTest::newRow("read-only folder") << QStringLiteral("read-only folder")
                                      << QStringLiteral("read-only: the folder ") << true;
    QTest::newRow("read-only folder, a new store") << QStringLiteral("read-only folder, new")
                                                   << QStringLiteral("read-only: the folder ") << true;
    QTest::newRow("missing folder") << QStringLiteral("missing folder") << QStringLiteral("the folder ") << true;
    QTest::newRow("held by another program")
        << QStringLiteral("held") << QStringLiteral("busy: another program holds the results store") << false;
}

void tst_SqliteStore::writeFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, problem);
    QFETCH(bool, atOpening);
    const bool fresh = fault.endsWith(", new");
    qint64 run = 0;
    if (!fresh && fault != "missing folder") {
        auto store = open();
        run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
        for (quint64 n = 1; n <= 3; ++n)
            store->addPoint(sweepPoint(run, n));
    }
    const QString folder = fault == "missing folder" ? dir.filePath(QStringLiteral("gone")) : dir.path();
    const QString file = folder + QStringLiteral("/rfbench.sqlite");
    if (fault.startsWith("read-only folder")) {
        if (QFile::exists(file))
            QVERIFY(setMode(file, 0666));
        if (QFile::exists(file + "-runs"))
            QVERIFY(setMode(file + "-runs", 0666));
        QVERIFY(setMode(folder, 0555));
    }
    if (fault == "read-only file")
        QVERIFY(setMode(file, 0444));
    const QByteArray before = contentOf(file);
    // Another program, holding the store's write lock until it commits.
    QProcess holder;
    auto hold = [&holder, &file] {
        holder.start(QStringLiteral("sqlite3"), {file});
        holder.write("BEGIN IMMEDIATE;\nSELECT 'held';\n");
        while (!holder.readAllStandardOutput().contains("held"))
            if (!holder.waitForReadyRead(30000))
                return false;
        return true;
    };

    // Bits of the child's exit code: what went wrong there.
    enum { NotStarted = 64, NoProblem = 1, Wrote = 2, NotMended = 4, Lost = 8, WrongReading = 16 };
    const auto writer = [&] {
        const bool permissions = fault.startsWith("read-only");
        // A store open before the fault, as when the disk fills during a run.
        std::unique_ptr<SqliteStore> store;
        if (!atOpening)
            store = SqliteStore::open(file, Mode::Write, nullptr);
        if ((permissions && !actAsNobody(true)) || (fault.startsWith("disk full") && !limitFileSize(512))
            || (fault == "held" && !hold()))
            return int(NotStarted);
        int failed = 0;
        if (atOpening)
            store = SqliteStore::open(file, Mode::Write, nullptr);
        qint64 id = run;
        qint64 waited = 0; // the run begun during the fault
        if (!atOpening) {
            // Reading goes on; each write waits in memory, says why and changes nothing.
            if (store->run(run).points != 3)
                failed |= WrongReading;
            if (store->addPoint(sweepPoint(run, 4)) >= 0)
                failed |= Wrote;
            store->addPass(run, 2, 5, utc(1, 10));
            store->addTrouble(run, RunTrouble{utc(1, 10), QStringLiteral("Power meter"), QStringLiteral("no answer")});
            store->setVerdict(run, RunVerdict{QStringLiteral("FAIL"), 2, 1, 0});
            store->endRun(run, QStringLiteral("finished"), utc(1, 10, 10));
            store->markInWorkbook({1}, QStringLiteral("Table -5 dBm"));
            RunStart corrected = startOf("bench-1", "power", utc(1, 11));
            corrected.tables = someTables();
            waited = store->beginRun(corrected);
            if (waited >= 0 || store->storedId(waited) != 0)
                failed |= Wrote;
        } else if (store->beginRun(startOf("bench-1", "power", utc(1, 10))) != 0) {
            failed |= Wrote;
        }
        if (!store->problem().startsWith(problem)) {
            std::fprintf(stderr, "problem: %s\n", qPrintable(store->problem()));
            failed |= NoProblem;
        }
        // SQLite makes the file of a new store before it can write into it.
        const QByteArray after = contentOf(file);
        if (after != before && !(fresh && after.isEmpty()))
            failed |= Wrote;
        // The fault mended: a store that was open writes what waited, in order, and goes on.
        limitFileSize(RLIM_INFINITY);
        holder.write("COMMIT;\n.quit\n");
        if (fault == "held" && !holder.waitForFinished(30000))
            failed |= NotMended;
        if (permissions) {
            actAsNobody(false);
            setMode(folder, 0755);
            setMode(file, 0644);
        }
        if (!atOpening) {
            if (store->waitingWrites() != 7 || !store->flush() || store->waitingWrites() != 0
                || store->addPoint(sweepPoint(run, 5)) <= 0 || !store->problem().isEmpty())
                failed |= NotMended;
            // Its id stands for the run written since.
            if (store->run(store->storedId(waited)).started != utc(1, 11))
                failed |= Lost;
            const QList<RunTrouble> troubles = store->troubles(run);
            if (troubles.size() != 1 || troubles.first().text != QStringLiteral("no answer"))
                failed |= Lost;
        } else {
            store.reset();
            store = SqliteStore::open(file, Mode::Write, nullptr);
            id = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
            if (fault != "missing folder" && (id == 0 || !store->problem().isEmpty()))
                failed |= NotMended;
        }
        return failed;
    };
    // The faults of this process's own limits and permissions are planted in a child.
    const int failures = fault == "held" ? writer() : inChildProcess(writer);
    setMode(dir.path(), 0755);
    QVERIFY2(failures == 0, qPrintable(QStringLiteral("child failures %1 (64 not started, 1 no or another problem, "
                                                      "2 wrote, 4 not mended, 8 a write that waited lost, 16 "
                                                      "wrong reading)")
                                           .arg(failures)));
    if (fault == "missing folder") {
        QVERIFY(!QFileInfo::exists(folder));
        return;
    }
    if (!atOpening) {
        // The points before the fault, during it and after it, each once, in order.
        const auto reader = open(Mode::Read);
        QCOMPARE(numbersOf(reader->points(run)), (QList<quint64>{1, 2, 3, 4, 5}));
        QCOMPARE(reader->run(run).outcome, QStringLiteral("finished"));
        QCOMPARE(reader->run(run).verdict.verdict, QStringLiteral("FAIL"));
        QCOMPARE(reader->run(run).verdict.marginal, qint64(1));
        QCOMPARE(reader->passes(run).size(), 1);
        QCOMPARE(reader->pointsNotInWorkbook().size(), 4);
        // The run that waited in memory came with every table it was begun with.
        const QList<RunSummary> runs = reader->runs(RunFilter());
        QCOMPARE(runs.size(), 2);
        QVERIFY(sameTables(reader->run(runs.first().id).tables, someTables()));
    }
}

void tst_SqliteStore::storeInReadOnlyFolderIsRead()
{
    {
        auto store = open();
        const qint64 run = store->beginRun(startOf("bench-1", "power", utc(1, 10)));
        store->addPoint(sweepPoint(run, 1));
    }
    QVERIFY(!QFile::exists(path() + "-wal"));
    QVERIFY(setMode(dir.path(), 0555));
    // An archive on a read-only share: SQLite cannot make the index of the log beside it.
    const int failures = inChildProcess([this] {
        if (!actAsNobody(true))
            return 64;
        const auto reader = open(Mode::Read);
        const QList<RunSummary> runs = reader->runs(RunFilter());
        if (!reader->problem().isEmpty()) {
            std::fprintf(stderr, "problem: %s\n", qPrintable(reader->problem()));
            return 1;
        }
        return runs.size() == 1 && runs.first().points == 1 && reader->points(runs.first().id).size() == 1 ? 0 : 2;
    });
    setMode(dir.path(), 0755);
    QCOMPARE(failures, 0);
}

QTEST_GUILESS_MAIN(tst_SqliteStore)
#include "tst_SqliteStore.moc"
