#include "SqliteStore.h"

#include "RunExport.h"
#include "RunLocks.h"
#include "StoreCheck.h"
#include "StoreFile.h"
#include "StoreSchema.h"
#include "StoredRows.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUrl>
#include <QtDebug>


namespace {

using StoredRows::kindOf;
using StoredRows::numberOf;
using StoredRows::timeOf;

// The primary result codes of SQLite that the store tells apart.
enum SqliteCode { Constraint = 19, Busy = 5, ReadOnly = 8, IoError = 10, Corrupt = 11, Full = 13, CantOpen = 14, NotADatabase = 26 };

int codeOf(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xff;
}

// Opening waits this long for another program that makes or upgrades the store; a write while
// measuring waits only writeWaitMs and then waits in memory instead, so that a store held by
// another program never holds up the measurement for long.
const int busyTimeoutMs = 5000;
const int writeWaitMs = 250;

QVariant textValue(const QString &text)
{
    // A null QString would be bound as NULL.
    return text.isNull() ? QStringLiteral("") : text;
}

QVariant timeValue(const QDateTime &time)
{
    return time.isValid() ? QVariant(RunExport::utcText(time)) : QVariant();
}

QVariant numberValue(double number)
{
    return qIsNaN(number) ? QVariant() : QVariant(number);
}

// UTF-8 text is kept as text, readable in any SQLite tool; other bytes as they are.
QVariant bytesValue(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? textValue(text) : QVariant(bytes);
}

QString kindText(StoredPoint::Row row)
{
    switch (row) {
    case StoredPoint::Row::Step:
        return QStringLiteral("step");
    case StoredPoint::Row::Spur:
        return QStringLiteral("spur");
    case StoredPoint::Row::Sweep:
        break;
    }
    return QStringLiteral("sweep");
}

// The value columns of the points table, in their order there.
QStringList valueColumns()
{
    return SqliteStore::valueNames(StoredPoint::Row::Step) + SqliteStore::valueNames(StoredPoint::Row::Spur);
}

// Who writes a run: this machine and process.
QString thisWriter()
{
    return QSysInfo::machineHostName() + QLatin1Char(' ') + QString::number(QCoreApplication::applicationPid());
}

QString seconds(qint64 milliseconds)
{
    return QString::number(double(milliseconds) / 1000.0, 'f', 1);
}

// PRAGMA user_version of a store is its record of the checks of its whole file: the UTC day (a
// Julian day number) of the last one that found it sound; that day negated once damage was found
// in it, by a check or by SQLite as it was written; 0 before its first check. It is in the file's
// header: read at no cost, and written without a table.
int today()
{
    return int(QDateTime::currentDateTimeUtc().date().toJulianDay());
}

// Whether LIKE '%part%' finds part in text, as SQLite matches: ASCII letters of either case alike.
bool likeContains(const QString &text, const QString &part)
{
    auto folded = [](QString letters) {
        for (QChar &letter : letters)
            if (letter >= QLatin1Char('A') && letter <= QLatin1Char('Z'))
                letter = QChar(letter.unicode() + ('a' - 'A'));
        return letters;
    };
    return folded(text).contains(folded(part));
}

QString newerText(int version)
{
    return QStringLiteral("the results store was written by a newer rfbench (schema %1; this one knows %2)")
        .arg(version)
        .arg(StoreSchema::current);
}

// Statements; each is prepared once per connection.
const char insertRun[] =
    "INSERT INTO runs (station, user, version, started, measurement, outcome, setup, instruments, identities,"
    " note, writer, data_folder) VALUES (?, ?, ?, ?, ?, 'running', ?, ?, ?, ?, ?, ?)";
const char runningRuns[] = "SELECT id, station, writer FROM runs WHERE outcome = 'running'";
const char interruptRun[] = "UPDATE runs SET outcome = 'interrupted' WHERE id = ? AND outcome = 'running'";
const char insertPoint[] = "INSERT INTO points (run, pass, number, measured_at, row_kind, workbook, point_index,"
                           " frequency, reading, output_power, synthesizer_power, temperature, span, bandwidth,"
                           " in_workbook) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const char insertPeak[] = "INSERT INTO peaks (point, number, frequency, level) VALUES (?, ?, ?, ?)";
const char insertPass[] = "INSERT INTO passes (run, pass, output_power, started) VALUES (?, ?, ?, ?)";
const char insertTrouble[] = "INSERT INTO troubles (run, at, instrument, text) VALUES (?, ?, ?, ?)";
const char placePoint[] = "UPDATE points SET in_workbook = ? WHERE id = ?";
const char placeRow[] = "UPDATE points SET placed_path = ?, placed_sheet = ?, placed_row = ? WHERE id = ?";
const char placedRows[] = "SELECT id, placed_path, placed_sheet, placed_row FROM points"
                          " WHERE placed_path = ? AND placed_row > ? ORDER BY placed_row";
const char folderOfRun[] = "SELECT data_folder FROM runs WHERE id = ?";
const char endRunSql[] = "UPDATE runs SET outcome = ?, ended = ? WHERE id = ?";
const char reopenRunSql[] = "UPDATE runs SET outcome = 'running', ended = NULL, writer = ? WHERE id = ?";
const char waitingPoints[] = "SELECT id, run, pass, number, measured_at, row_kind, workbook, point_index, frequency,"
                             " reading, output_power, synthesizer_power, temperature, span, bandwidth, in_workbook,"
                             " placed_path, placed_sheet, placed_row, (SELECT data_folder FROM runs WHERE runs.id = run)"
                             " FROM points WHERE in_workbook IS NULL ORDER BY id";
const int firstValueColumn = 8; // of the points' columns above and below
const char peaksOfWaiting[] = "SELECT point, frequency, level FROM peaks"
                              " WHERE point IN (SELECT id FROM points WHERE in_workbook IS NULL)"
                              " ORDER BY point, number";
const char pointsOfRun[] = "SELECT id, run, pass, number, measured_at, row_kind, workbook, point_index, frequency,"
                           " reading, output_power, synthesizer_power, temperature, span, bandwidth, in_workbook,"
                           " placed_path, placed_sheet, placed_row, (SELECT data_folder FROM runs WHERE runs.id = run)"
                           " FROM points WHERE run = ? ORDER BY id";
// The same of a store of a layout before the rows' places.
const char pointsOfOlderRun[] = "SELECT id, run, pass, number, measured_at, row_kind, workbook, point_index, frequency,"
                                " reading, output_power, synthesizer_power, temperature, span, bandwidth, in_workbook,"
                                " NULL, NULL, NULL, NULL FROM points WHERE run = ? ORDER BY id";
const char peaksOfRun[] = "SELECT point, frequency, level FROM peaks"
                          " WHERE point IN (SELECT id FROM points WHERE run = ?) ORDER BY point, number";
const char workbooksOfRun[] = "SELECT workbook FROM run_workbooks WHERE run = ? ORDER BY rowid";
const char troublesOfRun[] = "SELECT at, instrument, text FROM troubles WHERE run = ? ORDER BY id";
const char passesOfRun[] = "SELECT pass, output_power, started FROM passes WHERE run = ? ORDER BY rowid";
// Newest first; a run matches the text in its measurement, station, setup or workbooks (told by
// the last column), or in its outcome as shown. That outcome only reading tells for a run recorded
// as running: these are all listed, for the reader to take those that match.
const char listRuns[] =
    "SELECT * FROM (SELECT id, station, user, version, started, ended, measurement, outcome, setup, instruments,"
    " identities, note, point_count, pass_count, trouble_count, writer, ? <> '' AND (measurement LIKE ? ESCAPE '\\'"
    " OR station LIKE ? ESCAPE '\\' OR setup LIKE ? ESCAPE '\\' OR EXISTS (SELECT 1 FROM run_workbooks"
    " WHERE run_workbooks.run = runs.id AND workbook LIKE ? ESCAPE '\\')) AS elsewhere"
    " FROM runs WHERE started >= ? AND (? = '' OR station = ?))"
    " WHERE ? = '' OR elsewhere OR outcome LIKE ? ESCAPE '\\' OR outcome = 'running'"
    " ORDER BY started DESC, id DESC";
const char stationsWithRuns[] = "SELECT DISTINCT station FROM runs ORDER BY station";
const char oneRun[] =
    "SELECT id, station, user, version, started, ended, measurement, outcome, setup, instruments, identities, note,"
    " point_count, pass_count, trouble_count, writer FROM runs WHERE id = ?";

} // namespace

QString SqliteStore::defaultPath(const QString &dataFolder)
{
    return QDir(dataFolder).filePath(QStringLiteral("rfbench.sqlite"));
}

std::unique_ptr<SqliteStore> SqliteStore::open(const QString &path, Mode mode, QStringList *announcements,
                                              StoreFile::NamedBy namedBy)
{
    std::unique_ptr<SqliteStore> store(new SqliteStore(path, mode));
    QStringList news;
    if (path.isEmpty())
        store->problemText = QStringLiteral("no file is named for the results store");
    else if (mode == Mode::Write)
        store->openForWriting(&news, namedBy);
    else
        store->openForReading();
    if (announcements)
        *announcements << news;
    return store;
}

SqliteStore::SqliteStore(const QString &path, Mode mode)
    : file(path),
      mode(mode),
      connectionName(QStringLiteral("rfbench-store-%1").arg(quintptr(this), 0, 16)),
      locks(std::make_unique<RunLocks>(path))
{
}

QString SqliteStore::refusal(const QString &path)
{
    SqliteStore probe(path, Mode::Write);
    Found found;
    return probe.obstacle(&found).what;
}

SqliteStore::~SqliteStore()
{
    recordChecks();
    disconnect();
}

QStringList SqliteStore::valueNames(StoredPoint::Row row)
{
    switch (row) {
    case StoredPoint::Row::Step:
        return {QStringLiteral("frequency"), QStringLiteral("reading"), QStringLiteral("output_power"),
                QStringLiteral("synthesizer_power"), QStringLiteral("temperature")};
    case StoredPoint::Row::Spur:
        return {QStringLiteral("span"), QStringLiteral("bandwidth")};
    case StoredPoint::Row::Sweep:
        break;
    }
    return {QStringLiteral("frequency"), QStringLiteral("reading"), QStringLiteral("synthesizer_power"),
            QStringLiteral("temperature")};
}

SqliteStore::Obstacle SqliteStore::obstacle(Found *found)
{
    const QString name = QDir::toNativeSeparators(file);
    // SQLite would read a log left without its database into a new database of the same name.
    if (QFileInfo(file).size() == 0 && QFileInfo(file + QStringLiteral("-wal")).size() > 0)
        return {QStringLiteral("orphaned"), QStringLiteral("%1-wal was left from a results store that is gone").arg(name)};
    *found = inspect(true);
    disconnect();
    if (found->kind != Found::Kind::NotAStore && found->kind != Found::Kind::Damaged)
        return {};
    return {found->kind == Found::Kind::Damaged ? QStringLiteral("damaged") : QStringLiteral("foreign"),
            QStringLiteral("%1 is not a results store (%2)").arg(name, found->why)};
}

void SqliteStore::openForWriting(QStringList *announcements, StoreFile::NamedBy namedBy)
{
    // A reader would make SQLite's log and index beside a store it cannot write, as read-only
    // as the store.
    QFile own(file);
    if (own.exists() && !own.open(QIODevice::ReadWrite)) {
        problemText = StoreFile::whyNotWritable(file);
        return;
    }
    own.close();
    Found found;
    const Obstacle inTheWay = obstacle(&found);
    if (!inTheWay.label.isEmpty()) {
        if (namedBy == StoreFile::NamedBy::Setup) {
            problemText = inTheWay.what + QStringLiteral("; it is left as it is");
            return;
        }
        QString error;
        const QString aside = StoreFile::setAside(file, inTheWay.label, QDateTime::currentDateTime(), &error);
        if (aside.isEmpty()) {
            problemText = QStringLiteral("%1 and cannot be set aside: %2").arg(inTheWay.what, error);
            return;
        }
        const bool logAlone = inTheWay.label == QLatin1String("orphaned");
        *announcements << QStringLiteral("%1; it is kept as %2%3.")
                              .arg(inTheWay.what, QDir::toNativeSeparators(aside),
                                   logAlone ? QStringLiteral("-wal") : QString());
        found = Found();
    }
    switch (found.kind) {
    case Found::Kind::Unreadable:
        problemText = found.why;
        return;
    case Found::Kind::Store:
        if (found.version > StoreSchema::current) {
            problemText = newerText(found.version);
            return;
        }
        break;
    case Found::Kind::Nothing:
    case Found::Kind::NotAStore:
    case Found::Kind::Damaged:
        break;
    }

    if (!connect(false) || !prepareForWriting() || !upgrade(announcements)) {
        disconnect();
        return;
    }
    layout = StoreSchema::current;
    readable = writable = readIdentity() && execOnce(QStringLiteral("PRAGMA busy_timeout = %1").arg(writeWaitMs));
    if (!readable) {
        disconnect();
        return;
    }
    // Its transaction records as interrupted the runs whose writer is gone, as every write does.
    write(0, [] { return true; });
    // The file is checked whole where nobody waits for it; opening reads only its edges.
    if (found.kind != Found::Kind::Store || found.checks != today())
        check = std::make_unique<StoreCheck>(file, today());
}

void SqliteStore::openForReading()
{
    const QString name = QDir::toNativeSeparators(file);
    const Found found = inspect(false);
    switch (found.kind) {
    case Found::Kind::Nothing:
        problemText = QFileInfo::exists(file) ? QStringLiteral("no runs are recorded in %1: it is empty").arg(name)
                                              : QStringLiteral("there is no results store at %1").arg(name);
        break;
    case Found::Kind::Unreadable:
        problemText = found.why;
        break;
    case Found::Kind::NotAStore:
    case Found::Kind::Damaged:
        problemText = QStringLiteral("%1 is not a results store: %2").arg(name, found.why);
        break;
    case Found::Kind::Store:
        if (found.version > StoreSchema::current)
            problemText = newerText(found.version);
        else if (found.version < StoreSchema::readableFrom)
            problemText = QStringLiteral("the results store has schema %1, older than this rfbench's %2; it is "
                                         "upgraded when rfbench next records a run")
                              .arg(found.version)
                              .arg(StoreSchema::current);
        else
            readable = readIdentity();
        layout = found.version;
        break;
    }
    if (!readable)
        disconnect();
}

bool SqliteStore::connect(bool readOnly, bool immutable)
{
    disconnect();
    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!database.isValid()) {
        problemText = QStringLiteral("Qt's SQLite driver (QSQLITE) is not installed");
        return false;
    }
    QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs);
    if (readOnly)
        options += QStringLiteral(";QSQLITE_OPEN_READONLY");
    if (immutable) {
        options += QStringLiteral(";QSQLITE_OPEN_URI");
        database.setDatabaseName(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()).toString(QUrl::FullyEncoded)
                                 + QStringLiteral("?immutable=1"));
    } else {
        database.setDatabaseName(file);
    }
    database.setConnectOptions(options);
    if (!database.open()) {
        failed(database.lastError());
        return false;
    }
    return true;
}

void SqliteStore::disconnect()
{
    readable = writable = false;
    statements.clear();
    database.close();
    database = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
}

SqliteStore::Found SqliteStore::inspect(bool forWriting)
{
    Found found;
    QFile raw(file);
    if (!raw.exists())
        return found;
    if (!raw.open(QIODevice::ReadOnly)) {
        found.kind = Found::Kind::Unreadable;
        found.why = QStringLiteral("%1 cannot be read: %2").arg(QDir::toNativeSeparators(file), raw.errorString());
        return found;
    }
    const QByteArray start = raw.read(100);
    raw.close();
    if (start.isEmpty())
        return found;
    if (!StoreFile::hasSqliteHeader(start)) {
        found.kind = Found::Kind::Damaged;
        found.why = QStringLiteral("it is not an SQLite database");
        return found;
    }

    // Damaged when SQLite says so; unreadable when it cannot read for another reason.
    auto refused = [&found, this](const QSqlError &error) {
        const int code = codeOf(error);
        if (code == Corrupt || code == NotADatabase) {
            found.kind = Found::Kind::Damaged;
            found.why = QStringLiteral("it is damaged: %1").arg(error.databaseText());
        } else {
            failed(error);
            found.kind = Found::Kind::Unreadable;
            found.why = problemText;
        }
        return found;
    };
    // Read-only: nothing of another program's file changes, not even a journal's rollback. In a
    // folder it may not write, SQLite cannot make the index of the log to read a store through
    // it: there the store is read as it is, when no log is beside it.
    if (!connect(true))
        return refused(database.lastError());
    QSqlQuery query(database);
    bool identified = query.exec(QStringLiteral("PRAGMA application_id")) && query.next();
    const int code = codeOf(query.lastError());
    if (!identified && mode == Mode::Read && (code == ReadOnly || code == CantOpen)
        && !QFileInfo::exists(file + QStringLiteral("-wal"))) {
        query = QSqlQuery();
        if (!connect(true, true))
            return refused(database.lastError());
        query = QSqlQuery(database);
        identified = query.exec(QStringLiteral("PRAGMA application_id")) && query.next();
    }
    if (!identified)
        return refused(query.lastError());
    const qint32 application = query.value(0).toInt();
    query.finish();
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")))
        return refused(query.lastError());
    QStringList tables;
    while (query.next())
        tables << query.value(0).toString();
    if (query.lastError().isValid())
        return refused(query.lastError());
    query.finish();
    if (application != StoreSchema::applicationId) {
        if (application == 0 && tables.isEmpty())
            return found;
        found.kind = Found::Kind::NotAStore;
        found.why = tables.isEmpty() ? QStringLiteral("it is another program's database")
                                     : QStringLiteral("it is another program's database, of the tables %1")
                                           .arg(tables.join(QStringLiteral(", ")));
        return found;
    }
    if (!tables.contains(QStringLiteral("schema_version"))
        || !query.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) || !query.next()
        || query.value(0).isNull()) {
        found.kind = Found::Kind::Damaged;
        found.why = QStringLiteral("it has lost its schema version");
        return found;
    }
    found.kind = Found::Kind::Store;
    found.version = query.value(0).toInt();
    query.finish();
    if (!forWriting || found.version > StoreSchema::current)
        return found;
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return refused(query.lastError());
    found.checks = query.value(0).toInt();
    query.finish();
    if (found.checks < 0) {
        found.kind = Found::Kind::Damaged;
        found.why = QStringLiteral("it is damaged: SQLite found damage in it on %1")
                        .arg(QDate::fromJulianDay(-found.checks).toString(Qt::ISODate));
        return found;
    }
    // The last entry of every table and index: the pages that the next writes go to. Damage
    // there would fail every write of the next run; damage elsewhere SQLite reports when it
    // meets it, and the check of the whole file finds where nobody waits.
    QStringList edges;
    if (!query.exec(QStringLiteral("SELECT type, name, tbl_name, sql FROM sqlite_master"
                                   " WHERE type IN ('table', 'index')")))
        return refused(query.lastError());
    QList<QStringList> trees;
    while (query.next())
        trees << QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                             query.value(3).toString()};
    if (query.lastError().isValid())
        return refused(query.lastError());
    auto quoted = [](QString name) { return QLatin1Char('"') + name.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"'); };
    for (const QStringList &tree : trees) {
        const QString &name = tree.at(1);
        const QString &sql = tree.at(3);
        const bool index = tree.at(0) == QLatin1String("index");
        QString first = QStringLiteral("rowid");
        if (index || sql.contains(QLatin1String("WITHOUT ROWID"), Qt::CaseInsensitive)) {
            // The column the tree is ordered by first.
            const QString columns = index ? QStringLiteral("SELECT name FROM pragma_index_info(?) WHERE seqno = 0")
                                          : QStringLiteral("SELECT name FROM pragma_table_info(?) WHERE pk = 1");
            if (!query.prepare(columns))
                return refused(query.lastError());
            query.addBindValue(name);
            if (!query.exec())
                return refused(query.lastError());
            first = query.next() ? query.value(0).toString() : QString();
            if (query.lastError().isValid())
                return refused(query.lastError());
            query.finish();
            if (first.isEmpty())
                continue; // an index of an expression
            first = quoted(first);
        }
        const int partial = index ? sql.indexOf(QLatin1String(" WHERE "), 0, Qt::CaseInsensitive) : -1;
        edges << QStringLiteral("SELECT %1 FROM %2%3%4 ORDER BY %1 DESC LIMIT 1")
                     .arg(first, quoted(tree.at(2)), index ? QStringLiteral(" INDEXED BY ") + quoted(name) : QString(),
                          partial >= 0 ? sql.mid(partial) : QString());
    }
    for (const QString &edge : edges) {
        if (!query.exec(edge))
            return refused(query.lastError());
        query.next();
        if (query.lastError().isValid())
            return refused(query.lastError());
        query.finish();
    }
    return found;
}

bool SqliteStore::prepareForWriting()
{
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !query.next()) {
        failed(query.lastError());
        return false;
    }
    if (query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        problemText = QStringLiteral("SQLite cannot keep a write-ahead log for the results store here "
                                     "(journal mode %1)")
                          .arg(query.value(0).toString());
        return false;
    }
    query.finish();
    return execOnce(QStringLiteral("PRAGMA synchronous = FULL"))
           && execOnce(QStringLiteral("PRAGMA foreign_keys = ON"));
}

bool SqliteStore::upgrade(QStringList *announcements)
{
    // Immediate: another process that makes or upgrades the store at the same time waits.
    if (!execOnce(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    auto rollBack = [this] {
        QSqlQuery(database).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    int from = 0;
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE name = 'schema_version'"))) {
        failed(query.lastError());
        return rollBack();
    }
    if (query.next()) {
        query.finish();
        if (!query.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) || !query.next()) {
            failed(query.lastError());
            return rollBack();
        }
        from = query.value(0).toInt();
    }
    query.finish();
    if (from > StoreSchema::current) {
        problemText = newerText(from);
        return rollBack();
    }
    const QString program = QCoreApplication::applicationVersion().isEmpty() ? QStringLiteral(RFBENCH_VERSION)
                                                                             : QCoreApplication::applicationVersion();
    // A database made by another program before it was a store keeps nothing of its own here.
    bool ok = from > 0 || execOnce(QStringLiteral("PRAGMA user_version = 0"));
    for (int version = from + 1; ok && version <= StoreSchema::current; ++version) {
        for (const QString &statement : StoreSchema::step(version))
            ok = ok && execOnce(statement);
        query.prepare(QStringLiteral("INSERT INTO schema_version (version, applied, program) VALUES (?, ?, ?)"));
        query.addBindValue(version);
        query.addBindValue(timeValue(QDateTime::currentDateTimeUtc()));
        query.addBindValue(QStringLiteral("rfbench ") + program);
        if (ok && !query.exec()) {
            failed(query.lastError());
            ok = false;
        }
        query.finish();
    }
    if (!ok || !execOnce(QStringLiteral("COMMIT"))) {
        if (from > 0)
            problemText = QStringLiteral("the results store could not be upgraded from schema %1: %2")
                              .arg(from)
                              .arg(problemText);
        return rollBack();
    }
    const QString name = QDir::toNativeSeparators(file);
    if (from == 0)
        *announcements << QStringLiteral("A new results store was started: %1.").arg(name);
    else if (from < StoreSchema::current)
        *announcements << QStringLiteral("The results store %1 was upgraded from schema %2 to %3.")
                              .arg(name)
                              .arg(from)
                              .arg(StoreSchema::current);
    return true;
}

void SqliteStore::recordChecks()
{
    const StoreCheck::Result checked = check ? check->stop() : StoreCheck::Result::NotDone;
    if (!writable || (!damageMet && checked != StoreCheck::Result::Sound && checked != StoreCheck::Result::Damaged))
        return;
    const bool damaged = damageMet || checked == StoreCheck::Result::Damaged;
    const int record = damaged ? -today() : check->day();
    QSqlQuery query(database);
    // Closing does not wait for another program's writes; the next opening checks again.
    query.exec(QStringLiteral("PRAGMA busy_timeout = 100"));
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return;
    // Damage found stays on record; a sound check goes on record over an older one only: another
    // program may have recorded damage, or a later check, since this one began.
    const int recorded = query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt() : -1;
    query.finish();
    if (recorded >= 0 && (damaged || recorded < record))
        query.exec(QStringLiteral("PRAGMA user_version = %1").arg(record));
    if (!query.exec(QStringLiteral("COMMIT")))
        query.exec(QStringLiteral("ROLLBACK"));
}

bool SqliteStore::interruptRuns()
{
    QSqlQuery *running = exec(runningRuns);
    if (!running)
        return false;
    // Asked under the store's write lock: a writer that resumes a run takes its lock under it too.
    QList<qint64> cut;
    while (running->next()) {
        const qint64 id = running->value(0).toLongLong();
        if (!locks->alive(id))
            cut << id;
    }
    if (!done(*running))
        return false;
    for (const qint64 id : cut) {
        QSqlQuery *update = exec(interruptRun, {id});
        if (!update)
            return false;
        update->finish();
    }
    return true;
}

QSqlQuery *SqliteStore::exec(const char *sql, const QVariantList &values)
{
    std::unique_ptr<QSqlQuery> &query = statements[sql];
    if (!query) {
        auto made = std::make_unique<QSqlQuery>(database);
        made->setForwardOnly(true);
        if (!made->prepare(QString::fromUtf8(sql))) {
            failed(made->lastError());
            statements.erase(sql);
            return nullptr;
        }
        query = std::move(made);
    }
    for (int i = 0; i < values.size(); ++i)
        query->bindValue(i, values.at(i));
    if (!query->exec()) {
        failed(query->lastError());
        query->finish();
        return nullptr;
    }
    return query.get();
}

bool SqliteStore::done(QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    query.finish();
    if (!error.isValid())
        return true;
    failed(error);
    return false;
}

bool SqliteStore::execOnce(const QString &sql)
{
    QSqlQuery query(database);
    if (query.exec(sql))
        return true;
    failed(query.lastError());
    return false;
}

void SqliteStore::failed(const QSqlError &error)
{
    const int code = codeOf(error);
    lastCode = code;
    QString why;
    if (code == Full) {
        why = QStringLiteral("disk full");
    } else if (mode == Mode::Write && (code == ReadOnly || code == IoError || code == CantOpen)) {
        // SQLite says "disk I/O error" for a write that a file-size limit or quota stops, and
        // "unable to open" for a log it may not make: the file system tells why.
        why = StoreFile::whyNotWritable(file);
        if (why.isEmpty())
            why = code == ReadOnly ? QStringLiteral("read-only") : error.databaseText();
    } else if (code == Corrupt || code == NotADatabase) {
        why = QStringLiteral("the results store is damaged: %1").arg(error.databaseText());
        damageMet = damageMet || (writable && code == Corrupt);
    } else if (code == Busy) {
        why = QStringLiteral("busy: another program holds the results store");
    } else {
        why = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    }
    problemText = why;
    qDebug() << "store:" << file << why;
}

qint64 SqliteStore::resolve(qint64 id) const
{
    if (id >= 0)
        return id;
    const auto made = fresh.constFind(id);
    return made != fresh.constEnd() ? *made : resolved.value(id, 0);
}

SqliteStore::Written SqliteStore::write(qint64 run, Write body)
{
    if (!writable)
        return Written::Refused;
    const std::size_t mine = ++queued;
    pending.push_back(Queued{mine, run, std::move(body)});
    if (!retryAfter.hasExpired())
        return Written::Waits;
    writePending();
    return refused.contains(mine) ? Written::Refused : pending.empty() ? Written::Made : Written::Waits;
}

void SqliteStore::noteRefused(qint64 run, const QString &why)
{
    if (run == 0)
        return;
    const QString text =
        QStringLiteral("a write of this run to the results store was refused (%1): what it held is missing here").arg(why);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // Queued as a write of no run: a note that is refused in turn is not noted again.
    pending.push_back(Queued{++queued, 0, [this, run, now, text] {
                                 QSqlQuery *insert = exec(insertTrouble, {resolve(run), timeValue(now),
                                                                          QStringLiteral("results store"), text});
                                 if (insert)
                                     insert->finish();
                                 return insert != nullptr;
                             }});
}

bool SqliteStore::flush()
{
    return writePending();
}

bool SqliteStore::writePending()
{
    refused.clear();
    QString refusal;
    while (!pending.empty() && writable) {
        const qint64 now = QDeadlineTimer::current().deadline();
        // Immediate: the write lock is taken at the start, so that another program's commit
        // between a read and a write can never refuse the write half-way. Inside a batch a
        // savepoint stands for the transaction.
        lastCode = 0;
        bool ok = execOnce(inBatch ? QStringLiteral("SAVEPOINT store_write") : QStringLiteral("BEGIN IMMEDIATE"));
        fresh.clear();
        freshLocks.clear();
        // A run whose writer was killed while this one writes is recorded so within a second,
        // not at the next opening alone: scripts reading the file see only this column.
        const bool interrupting = ok && interruptsDue.hasExpired();
        if (interrupting)
            ok = interruptRuns();
        std::size_t failing = pending.size();
        for (std::size_t i = 0; ok && i < pending.size(); ++i)
            if (!pending[i].body()) {
                failing = i;
                ok = false;
            }
        if (ok)
            ok = execOnce(inBatch ? QStringLiteral("RELEASE store_write") : QStringLiteral("COMMIT"));
        if (ok) {
            for (auto it = fresh.cbegin(); it != fresh.cend(); ++it)
                resolved.insert(it.key(), it.value());
            fresh.clear();
            freshLocks.clear();
            if (waitStarted != 0)
                news = QStringLiteral("the results store %1 answers again: the %2 writes that waited %3 s in memory "
                                      "are in it")
                           .arg(QDir::toNativeSeparators(file))
                           .arg(pending.size())
                           .arg(seconds(now - waitStarted));
            pending.clear();
            waitStarted = 0;
            retryAfter.setRemainingTime(0);
            if (interrupting)
                interruptsDue.setRemainingTime(interruptIntervalMs);
            problemText = refusal;
            return true;
        }
        // SQLite may have rolled the transaction back itself; whatever is left of it goes too.
        QSqlQuery undo(database);
        if (inBatch) {
            undo.exec(QStringLiteral("ROLLBACK TO store_write"));
            undo.exec(QStringLiteral("RELEASE store_write"));
        } else {
            undo.exec(QStringLiteral("ROLLBACK"));
        }
        fresh.clear();
        // The ids of runs rolled back may be given to another program's runs.
        for (const qint64 id : qAsConst(freshLocks))
            locks->release(id);
        freshLocks.clear();
        // A write that the store refuses as it is (a point of no run, an outcome that is none)
        // would be refused again and hold up every later one: it is dropped, the rest go on.
        if (failing < pending.size() && lastCode == Constraint) {
            refusal = problemText;
            refused.insert(pending[failing].number);
            const qint64 run = pending[failing].run;
            pending.erase(pending.begin() + std::ptrdiff_t(failing));
            noteRefused(run, refusal);
            continue;
        }
        if (waitStarted == 0)
            waitStarted = now;
        retryAfter.setRemainingTime(retryIntervalMs);
        qDebug() << "store:" << file << problem();
        return false;
    }
    if (!refusal.isEmpty())
        problemText = refusal;
    return pending.empty();
}

qint64 SqliteStore::beginRun(const RunStart &start)
{
    if (!writable)
        return 0;
    const qint64 handle = placeholder();
    const QDateTime started = start.started.isValid() ? start.started : QDateTime::currentDateTime();
    const Written made = write(0, [this, start, started, handle] {
        QSqlQuery *insert = exec(insertRun, {textValue(start.station), textValue(start.user), textValue(start.version),
                                             timeValue(started), textValue(start.measurement), bytesValue(start.setup),
                                             textValue(start.instruments), textValue(start.identities),
                                             textValue(start.note), thisWriter(), textValue(start.dataFolder)});
        if (!insert)
            return false;
        const qint64 id = insert->lastInsertId().toLongLong();
        insert->finish();
        // Taken before the run is seen by anyone: from its first moment, its writer lives.
        if (id <= 0 || !locks->take(id)) {
            problemText = locks->why();
            return false;
        }
        freshLocks << id;
        fresh.insert(handle, id);
        return true;
    });
    return made == Written::Made ? resolved.take(handle) : made == Written::Waits ? handle : 0;
}

qint64 SqliteStore::addPoint(const StoredPoint &point)
{
    if (!writable)
        return 0;
    const QStringList names = valueNames(point.row);
    if (point.values.size() > names.size()) {
        problemText = QStringLiteral("a %1 point has at most %2 values, not %3")
                          .arg(kindText(point.row))
                          .arg(names.size())
                          .arg(point.values.size());
        const QString why = problemText;
        noteRefused(point.run, why);
        writePending();
        problemText = why;
        return 0;
    }
    const qint64 handle = placeholder();
    const Written made = write(point.run, [this, point, names, handle] {
        const QStringList columns = valueColumns();
        QVariantList values{resolve(point.run),
                            point.pass,
                            qint64(point.number),
                            timeValue(point.measuredAt),
                            kindText(point.row),
                            textValue(point.workbook),
                            qint64(point.pointIndex)};
        const int first = values.size();
        for (int i = 0; i < columns.size(); ++i)
            values << QVariant();
        for (int i = 0; i < point.values.size(); ++i)
            values[first + columns.indexOf(names.at(i))] = numberValue(point.values.at(i));
        values << (point.inWorkbook ? textValue(point.savedIn.isEmpty() ? point.workbook : point.savedIn) : QVariant());
        QSqlQuery *insert = exec(insertPoint, values);
        if (!insert)
            return false;
        const qint64 id = insert->lastInsertId().toLongLong();
        insert->finish();
        const int peaks = qMax(point.peakFrequencies.size(), point.peakLevels.size());
        for (int i = 0; i < peaks; ++i) {
            QSqlQuery *peak = exec(insertPeak, {id, i + 1, numberValue(point.peakFrequencies.value(i, qQNaN())),
                                                numberValue(point.peakLevels.value(i, qQNaN()))});
            if (!peak)
                return false;
            peak->finish();
        }
        fresh.insert(handle, id);
        return id > 0;
    });
    return made == Written::Made ? resolved.take(handle) : made == Written::Waits ? handle : 0;
}

void SqliteStore::addPass(qint64 run, int pass, double outputPower, const QDateTime &started)
{
    write(run, [this, run, pass, outputPower, started] {
        QSqlQuery *insert = exec(insertPass, {resolve(run), pass, numberValue(outputPower), timeValue(started)});
        if (insert)
            insert->finish();
        return insert != nullptr;
    });
}

void SqliteStore::addTrouble(qint64 run, const RunTrouble &trouble)
{
    write(run, [this, run, trouble] {
        QSqlQuery *insert = exec(insertTrouble, {resolve(run), timeValue(trouble.when), textValue(trouble.instrument),
                                                 textValue(trouble.text)});
        if (insert)
            insert->finish();
        return insert != nullptr;
    });
}

bool SqliteStore::placeRows(const QList<RowPlace> &places)
{
    if (places.isEmpty() || !writable)
        return true;
    // A point that waits in memory is not on record either: after a kill there is nothing of it to
    // write again, so its row need not wait for its place to be recorded.
    bool recorded = true;
    for (const RowPlace &place : places)
        recorded = recorded && resolve(place.point) == 0;
    const Written made = write(0, [this, places] {
        for (const RowPlace &place : places) {
            QSqlQuery *update = exec(placeRow, {textValue(place.path), textValue(place.sheet), place.row,
                                                resolve(place.point)});
            if (!update)
                return false;
            update->finish();
        }
        return true;
    });
    return made == Written::Made || recorded;
}

void SqliteStore::markInWorkbook(const QList<qint64> &points, const QString &workbook)
{
    if (points.isEmpty())
        return;
    write(0, [this, points, workbook] {
        for (const qint64 id : points) {
            QSqlQuery *update = exec(placePoint, {textValue(workbook), resolve(id)});
            if (!update)
                return false;
            update->finish();
        }
        return true;
    });
    // Marked points are not asked about again.
    if (pending.empty())
        for (const qint64 id : points)
            resolved.remove(id);
}

void SqliteStore::endRun(qint64 run, const QString &outcome, const QDateTime &ended)
{
    write(run, [this, run, outcome, ended] {
        QSqlQuery *update = exec(endRunSql, {textValue(outcome), timeValue(ended), resolve(run)});
        if (update)
            update->finish();
        return update != nullptr;
    });
}

bool SqliteStore::reopenRun(qint64 run)
{
    if (!writable)
        return false;
    // Not queued: a run that another program goes on with at the same moment must be refused
    // before anything is measured. What waits goes first, in order.
    if (!writePending())
        return false;
    bool ok = execOnce(QStringLiteral("BEGIN IMMEDIATE"));
    QSqlQuery *query = ok ? exec(oneRun, {run}) : nullptr;
    QString outcome;
    if (query) {
        if (query->next())
            outcome = query->value(7).toString();
        ok = done(*query);
    } else {
        ok = false;
    }
    if (ok && outcome.isEmpty()) {
        problemText = QStringLiteral("there is no run %1 in the results store").arg(run);
        ok = false;
    }
    if (ok && outcome != QLatin1String("stopped") && outcome != QLatin1String("interrupted")
        && !(outcome == QLatin1String("running") && !locks->alive(run))) {
        problemText = outcome == QLatin1String("running")
                          ? QStringLiteral("another program is measuring run %1 now").arg(run)
                          : QStringLiteral("run %1 is %2").arg(QString::number(run), outcome);
        ok = false;
    }
    const bool held = locks->holds(run);
    if (ok && !locks->take(run)) {
        problemText = locks->why();
        ok = false;
    }
    if (ok) {
        QSqlQuery *update = exec(reopenRunSql, {thisWriter(), run});
        ok = update != nullptr;
        if (update)
            update->finish();
    }
    if (ok && execOnce(QStringLiteral("COMMIT")))
        return true;
    QSqlQuery(database).exec(QStringLiteral("ROLLBACK"));
    if (!held)
        locks->release(run);
    return false;
}

QList<StoredPoint> SqliteStore::pointsWhere(const char *sql, const char *peaksSql, const QVariantList &values)
{
    QList<StoredPoint> points;
    if (!readable)
        return points;
    QSqlQuery *query = exec(sql, values);
    if (!query)
        return points;
    const QStringList columns = valueColumns();
    QHash<qint64, int> at;
    while (query->next()) {
        StoredPoint point;
        point.id = query->value(0).toLongLong();
        point.run = query->value(1).toLongLong();
        point.pass = query->value(2).toInt();
        point.number = query->value(3).toULongLong();
        point.measuredAt = timeOf(query->value(4));
        point.row = kindOf(query->value(5).toString());
        point.workbook = query->value(6).toString();
        point.pointIndex = query->value(7).toULongLong();
        for (const QString &name : valueNames(point.row))
            point.values << numberOf(query->value(firstValueColumn + columns.indexOf(name)));
        point.inWorkbook = !query->value(15).isNull();
        point.savedIn = query->value(15).toString();
        point.placedPath = query->value(16).toString();
        point.placedSheet = query->value(17).toString();
        point.placedRow = query->value(18).toInt();
        point.dataFolder = query->value(19).toString();
        at.insert(point.id, points.size());
        points << point;
    }
    if (!done(*query))
        return {};
    QSqlQuery *peaks = exec(peaksSql, values);
    if (!peaks)
        return {};
    while (peaks->next()) {
        const auto index = at.constFind(peaks->value(0).toLongLong());
        if (index == at.constEnd())
            continue; // a point written between the two queries
        StoredPoint &point = points[*index];
        point.peakFrequencies << numberOf(peaks->value(1));
        point.peakLevels << numberOf(peaks->value(2));
    }
    return done(*peaks) ? points : QList<StoredPoint>();
}

QList<StoredPoint> SqliteStore::pointsNotInWorkbook()
{
    // The rows of a run that is being written are on their way.
    QList<StoredPoint> waiting;
    QHash<qint64, bool> written;
    for (const StoredPoint &point : pointsWhere(waitingPoints, peaksOfWaiting, {})) {
        auto known = written.find(point.run);
        if (known == written.end())
            known = written.insert(point.run, locks->alive(point.run));
        if (!*known)
            waiting << point;
    }
    return waiting;
}

QList<RowPlace> SqliteStore::placedBelow(const QString &path, int row)
{
    QList<RowPlace> places;
    QSqlQuery *query = readable ? exec(placedRows, {textValue(path), row}) : nullptr;
    if (!query)
        return places;
    while (query->next())
        places << RowPlace{query->value(0).toLongLong(), query->value(1).toString(), query->value(2).toString(),
                           query->value(3).toInt()};
    return done(*query) ? places : QList<RowPlace>();
}

bool SqliteStore::runIsWritten(qint64 run)
{
    return locks->alive(run);
}

QString SqliteStore::dataFolderOf(qint64 run)
{
    if (layout < 4)
        return QString();
    QSqlQuery *query = readable ? exec(folderOfRun, {run}) : nullptr;
    if (!query)
        return QString();
    const QString folder = query->next() ? query->value(0).toString() : QString();
    done(*query);
    return folder;
}

QList<StoredPoint> SqliteStore::points(qint64 run)
{
    return pointsWhere(layout >= 4 ? pointsOfRun : pointsOfOlderRun, peaksOfRun, {run});
}

RunSummary SqliteStore::summaryOf(QSqlQuery &query)
{
    RunSummary run = StoredRows::summaryOf(query);
    // Seen from here before the next writer records it.
    if (run.outcome == QLatin1String("running") && !locks->alive(run.id))
        run.outcome = QStringLiteral("interrupted");
    run.localId = run.id;
    run.store = identityText;
    return run;
}

QList<RunSummary> SqliteStore::runs(const RunFilter &filter)
{
    QList<RunSummary> list;
    if (!readable)
        return list;
    const QString pattern = likePattern(filter.text);
    const QString text = textValue(filter.text).toString();
    QSqlQuery *query = exec(listRuns, {text, pattern, pattern, pattern, pattern,
                                       filter.since.isValid() ? timeValue(filter.since) : QStringLiteral(""),
                                       textValue(filter.station), textValue(filter.station), text, pattern});
    if (!query)
        return list;
    // The newest that match, read until there are enough.
    while ((filter.limit <= 0 || list.size() < filter.limit) && query->next()) {
        const RunSummary run = summaryOf(*query);
        if (text.isEmpty() || query->value(16).toBool() || likeContains(run.outcome, text))
            list << run;
    }
    if (!done(*query))
        return {};
    for (RunSummary &run : list) {
        QSqlQuery *workbooks = exec(workbooksOfRun, {run.id});
        if (!workbooks)
            return {};
        while (workbooks->next())
            run.workbooks << workbooks->value(0).toString();
        if (!done(*workbooks))
            return {};
        run.dataFolder = dataFolderOf(run.id);
    }
    return list;
}

RunSummary SqliteStore::run(qint64 id)
{
    RunSummary found;
    if (!readable)
        return found;
    QSqlQuery *query = exec(oneRun, {id});
    if (!query)
        return found;
    if (query->next())
        found = summaryOf(*query);
    if (!done(*query) || found.id == 0)
        return RunSummary();
    QSqlQuery *workbooks = exec(workbooksOfRun, {id});
    if (!workbooks)
        return RunSummary();
    while (workbooks->next())
        found.workbooks << workbooks->value(0).toString();
    if (!done(*workbooks))
        return RunSummary();
    found.dataFolder = dataFolderOf(id);
    return found;
}

QList<RunTrouble> SqliteStore::troubles(qint64 run)
{
    QList<RunTrouble> list;
    QSqlQuery *query = readable ? exec(troublesOfRun, {run}) : nullptr;
    if (!query)
        return list;
    while (query->next())
        list << RunTrouble{timeOf(query->value(0)), query->value(1).toString(), query->value(2).toString()};
    return done(*query) ? list : QList<RunTrouble>();
}

QList<StoredPass> SqliteStore::passes(qint64 run)
{
    QList<StoredPass> list;
    QSqlQuery *query = readable ? exec(passesOfRun, {run}) : nullptr;
    if (!query)
        return list;
    while (query->next())
        list << StoredPass{query->value(0).toInt(), numberOf(query->value(1)), timeOf(query->value(2))};
    return done(*query) ? list : QList<StoredPass>();
}

QStringList SqliteStore::stations()
{
    QStringList list;
    QSqlQuery *query = readable ? exec(stationsWithRuns) : nullptr;
    if (!query)
        return list;
    while (query->next())
        list << query->value(0).toString();
    return done(*query) ? list : QStringList();
}

QString SqliteStore::problem() const
{
    if (waitStarted == 0 || pending.empty())
        return problemText;
    return QStringLiteral("%1; %2 %3 waited in memory for %4 s and %5 written when the store answers")
        .arg(problemText)
        .arg(pending.size())
        .arg(pending.size() == 1 ? QStringLiteral("write has") : QStringLiteral("writes have"))
        .arg(seconds(QDeadlineTimer::current().deadline() - waitStarted))
        .arg(pending.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}

QString SqliteStore::takeNews()
{
    QString taken;
    taken.swap(news);
    return taken;
}

QString SqliteStore::where() const
{
    return QDir::toNativeSeparators(file);
}

bool SqliteStore::readIdentity()
{
    QSqlError error;
    if (StoreSchema::readIdentity(database, &identityText, &error))
        return true;
    failed(error);
    return false;
}

SqliteStore::Batch::Batch(SqliteStore &store) : store(store)
{
    if (store.writable && !store.inBatch && store.execOnce(QStringLiteral("BEGIN IMMEDIATE")))
        store.inBatch = true;
}

SqliteStore::Batch::~Batch()
{
    if (!store.inBatch)
        return;
    store.inBatch = false;
    if (!store.execOnce(QStringLiteral("COMMIT")))
        QSqlQuery(store.database).exec(QStringLiteral("ROLLBACK"));
}
