// Opening the store, telling a store from what is not one, and setting that aside.

#include "SqliteStore.h"

#include "RunLocks.h"
#include "SqliteStoreSql.h"
#include "StoreCheck.h"
#include "StoreFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>
#include <QtDebug>

using namespace StoreSql;

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
      logsFound(QFileInfo::exists(path + QStringLiteral("-wal")) || QFileInfo::exists(path + QStringLiteral("-shm"))),
      connectionName(QStringLiteral("rfbench-store-%1").arg(quintptr(this), 0, 16)),
      locks(std::make_unique<RunLocks>(StoreFile::runLocksPath(path), path))
{
}

QString SqliteStore::refusal(const QString &path)
{
    // A file that a setup names must be a store or not be there yet. An empty file, or an SQLite
    // database with nothing in it, may be a store that another rfbench is making this moment: it
    // is given a moment to become one before it is taken for another program's.
    for (int waited = 0;; waited += makingPollMs) {
        SqliteStore probe(path, Mode::Write);
        Found found;
        const QString what = probe.obstacle(&found).what;
        if (!what.isEmpty() || found.kind != Found::Kind::Nothing || !QFileInfo::exists(path))
            return what;
        if (waited >= makingWaitMs)
            return QStringLiteral("%1 is not a results store (%2)")
                .arg(QDir::toNativeSeparators(path), QFileInfo(path).size() == 0
                                                         ? QStringLiteral("it is an empty file")
                                                         : QStringLiteral("it is an empty database of another program"));
        QThread::msleep(makingPollMs);
    }
}

SqliteStore::~SqliteStore()
{
    recordChecks();
    disconnect();
    tidyAfterReading();
}

void SqliteStore::tidyAfterReading()
{
    // A read-only connection leaves the log it opened, empty, and its index behind when it
    // goes. A connection that may write takes both away if it is the store's last one, as
    // SQLite decides under its own locks; an empty log has nothing to write into the store.
    const QString log = file + QStringLiteral("-wal");
    if (mode != Mode::Read || logsFound || !QFileInfo::exists(log) || QFileInfo(log).size() != 0
        || !StoreFile::whyFileNotWritable(file).isEmpty())
        return;
    // Never made afresh: a store moved away meanwhile leaves nothing new at its path.
    if (connect(false, "mode=rw")) {
        QSqlQuery query(database);
        query.exec(QStringLiteral("PRAGMA application_id"));
    }
    disconnect();
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
    if (!StoreFile::whyFileNotWritable(file).isEmpty()) {
        problemText = StoreFile::whyNotWritable(file);
        return;
    }
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

bool SqliteStore::connect(bool readOnly, const char *uriQuery)
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
    if (uriQuery) {
        options += QStringLiteral(";QSQLITE_OPEN_URI");
        database.setDatabaseName(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()).toString(QUrl::FullyEncoded)
                                 + QLatin1Char('?') + QLatin1String(uriQuery));
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
    if (!QFileInfo::exists(file))
        return found;
    QByteArray start;
    QString unreadable;
    if (!StoreFile::readStart(file, 100, &start, &unreadable)) {
        found.kind = Found::Kind::Unreadable;
        found.why = QStringLiteral("%1 cannot be read: %2").arg(QDir::toNativeSeparators(file), unreadable);
        return found;
    }
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
        if (!connect(true, "immutable=1"))
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
    QSqlError error;
    if (!lastEntries(database, &edges, &error))
        return refused(error);
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
        if (writable && code == Corrupt)
            damageMet = true;
    } else if (code == Busy) {
        why = QStringLiteral("busy: another program holds the results store");
    } else {
        why = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    }
    problemText = why;
    qDebug() << "store:" << file << why;
}

QString SqliteStore::where() const
{
    return QDir::toNativeSeparators(file);
}
