// The store's layout: making and upgrading it, its identity, its value columns.

#include "SqliteStore.h"

#include "RunLocks.h"
#include "SqliteStoreSql.h"
#include "StoreCheck.h"
#include "StoreFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QtDebug>

using namespace StoreSql;

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

bool SqliteStore::readIdentity()
{
    QSqlError error;
    if (StoreSchema::readIdentity(database, &identityText, &error))
        return true;
    failed(error);
    return false;
}
