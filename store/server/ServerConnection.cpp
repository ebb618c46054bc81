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

QString connectOptions(const ServerAddress &address, const Timeouts &timeouts)
{
    QStringList options = address.options;
    if (options.filter(QRegularExpression(QStringLiteral("^connect_timeout="))).isEmpty())
        options << QStringLiteral("connect_timeout=5");
    // Keepalives find a peer that vanished while the connection is idle; the user timeout finds
    // one that stopped acknowledging what was sent. Either way a blocked call returns in seconds.
    options << QStringLiteral("keepalives_idle=10") << QStringLiteral("keepalives_interval=5")
            << QStringLiteral("keepalives_count=3") << QStringLiteral("tcp_user_timeout=30000");
    QStringList settings;
    if (timeouts.statementMs > 0)
        settings << QStringLiteral("-c statement_timeout=%1").arg(timeouts.statementMs);
    if (timeouts.lockMs > 0)
        settings << QStringLiteral("-c lock_timeout=%1").arg(timeouts.lockMs);
    if (!settings.isEmpty())
        options << QStringLiteral("options='%1'").arg(settings.join(QLatin1Char(' ')));
    return options.join(QLatin1Char(';'));
}

Failure open(QSqlDatabase *database, const QString &name, const ServerAddress &address, QString *why,
             const Timeouts &timeouts)
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
    database->setConnectOptions(connectOptions(address, timeouts));
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

QString failure(const QSqlError &error, const Timeouts &timeouts)
{
    auto seconds = [](int ms) { return QString::number(ms / 1000.0, 'g', 3); };
    // lock_not_available and query_canceled: the server is there, and cancelled what waited.
    if (error.nativeErrorCode() == QLatin1String("55P03") && timeouts.lockMs > 0)
        return QStringLiteral("another session of the server kept a table locked for %1 s").arg(seconds(timeouts.lockMs));
    if (error.nativeErrorCode() == QLatin1String("57014") && timeouts.statementMs > 0)
        return QStringLiteral("the server did not end a statement within %1 s").arg(seconds(timeouts.statementMs));
    return firstLine(error);
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
