#include "ServerConnection.h"

#include "ServerAddress.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace ServerConnection {

QString firstLine(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.trimmed().section(QLatin1Char('\n'), 0, 0);
}

Failure open(QSqlDatabase *database, const QString &name, const ServerAddress &address, QString *why,
             int statementTimeoutMs)
{
    if (database->isOpen())
        database->close();
    if (!QSqlDatabase::contains(name))
        *database = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    if (!database->isValid()) {
        *why = QStringLiteral("Qt's PostgreSQL driver (QPSQL, Debian package libqt5sql5-psql) is not installed");
        return Failure::NoDriver;
    }
    database->setHostName(address.host);
    database->setPort(address.port);
    database->setUserName(address.user);
    database->setDatabaseName(address.database);
    QStringList connectOptions = address.options;
    if (connectOptions.filter(QStringLiteral("connect_timeout=")).isEmpty())
        connectOptions << QStringLiteral("connect_timeout=5");
    connectOptions << QStringLiteral("keepalives_idle=10") << QStringLiteral("keepalives_interval=5")
                   << QStringLiteral("keepalives_count=3");
    if (statementTimeoutMs > 0)
        connectOptions << QStringLiteral("options='-c statement_timeout=%1'").arg(statementTimeoutMs);
    database->setConnectOptions(connectOptions.join(QLatin1Char(';')));
    if (database->open())
        return Failure::None;
    // libpq's "connection to server at ... failed: FATAL:  password authentication failed ...":
    // whoever shows it names the address already.
    QString text = firstLine(database->lastError());
    database->close();
    const bool login = text.contains(QLatin1String("password")) || text.contains(QLatin1String("authentication"));
    if (login) {
        const int failed = text.indexOf(QLatin1String("failed: "));
        text = text.mid(failed >= 0 ? failed + 8 : 0);
        text.remove(QRegularExpression(QStringLiteral("^FATAL:\\s*")));
    }
    *why = text;
    return login ? Failure::LoginRefused : Failure::Unreachable;
}

int layoutVersion(QSqlDatabase &database, QString *why)
{
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL")) || !query.next()) {
        *why = firstLine(query.lastError());
        return -1;
    }
    if (!query.value(0).toBool())
        return 0;
    if (!query.exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_version")) || !query.next()) {
        *why = firstLine(query.lastError());
        return -1;
    }
    return query.value(0).toInt();
}

} // namespace ServerConnection
