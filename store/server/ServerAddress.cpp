#include "ServerAddress.h"

#include <QRegularExpression>
#include <QUrl>

namespace {

// The libpq settings an address may carry besides host and port; a password is not one of them.
const QStringList allowedOptions{
    QStringLiteral("sslmode"),     QStringLiteral("sslrootcert"), QStringLiteral("sslcert"),
    QStringLiteral("sslkey"),      QStringLiteral("sslcrl"),      QStringLiteral("connect_timeout"),
    QStringLiteral("application_name"), QStringLiteral("target_session_attrs"),
};

const QStringList sslModes{QStringLiteral("disable"), QStringLiteral("allow"),     QStringLiteral("prefer"),
                           QStringLiteral("require"), QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

QString decoded(const QString &part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

} // namespace

bool ServerAddress::isServerAddress(const QString &text)
{
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

ServerAddress ServerAddress::parse(const QString &text, QString *error)
{
    ServerAddress address;
    auto fail = [&](const QString &why) {
        // Named without what follows the user: a password must not reach a message or a log.
        static const QRegularExpression secret(QStringLiteral("^(postgres(?:ql)?://[^@/?:]*):[^@/?]*@"));
        if (error)
            *error = QStringLiteral("%1: %2").arg(text.section(QLatin1Char('?'), 0, 0).replace(secret, QStringLiteral("\\1@")),
                                                  why);
        return ServerAddress();
    };
    // Parsed by hand: QUrl refuses a socket folder as the host ("%2Frun%2Fpostgresql").
    static const QRegularExpression form(QStringLiteral(
        R"(^postgres(?:ql)?://(?:([^@/?:]*)(:[^@/?]*)?@)?(\[[^\]]*\]|[^:/?]*)(?::([^/?]*))?(?:/([^?]*))?(?:\?(.*))?$)"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return fail(QStringLiteral("not a postgresql://user@host:port/database address"));
    if (match.capturedLength(2) > 0)
        return fail(QStringLiteral("a password is not kept in the address; put it in ~/.pgpass or PGPASSWORD"));
    address.user = decoded(match.captured(1));
    address.host = decoded(match.captured(3));
    if (address.host.startsWith(QLatin1Char('[')))
        address.host = address.host.mid(1, address.host.size() - 2);
    if (!match.captured(4).isEmpty()) {
        bool number = false;
        address.port = match.captured(4).toInt(&number);
        if (!number || address.port <= 0 || address.port > 65535)
            return fail(QStringLiteral("the port must be a number from 1 to 65535, not \"%1\"").arg(match.captured(4)));
    }
    address.database = decoded(match.captured(5));
    for (const QString &pair : match.captured(6).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const QString key = decoded(pair.section(QLatin1Char('='), 0, 0));
        const QString value = decoded(pair.section(QLatin1Char('='), 1));
        if (key == QLatin1String("host")) {
            address.host = value;
        } else if (key == QLatin1String("port")) {
            bool number = false;
            address.port = value.toInt(&number);
            if (!number || address.port <= 0 || address.port > 65535)
                return fail(QStringLiteral("the port must be a number from 1 to 65535, not \"%1\"").arg(value));
        } else if (key == QLatin1String("password")) {
            return fail(QStringLiteral("a password is not kept in the address; put it in ~/.pgpass or PGPASSWORD"));
        } else if (!allowedOptions.contains(key)) {
            return fail(QStringLiteral("\"%1\" is not a setting rfbench passes to the server").arg(key));
        } else if (key == QLatin1String("sslmode") && !sslModes.contains(value)) {
            return fail(QStringLiteral("sslmode is one of %1, not \"%2\"").arg(sslModes.join(QStringLiteral(", ")), value));
        } else if (value.contains(QLatin1Char(';')) || value.contains(QLatin1Char(' '))) {
            // Qt's driver joins the options with ';' and libpq splits them at spaces.
            return fail(QStringLiteral("the value of %1 may not hold ';' or spaces").arg(key));
        } else {
            address.options << key + QLatin1Char('=') + value;
        }
    }
    if (address.database.isEmpty() || address.database.contains(QLatin1Char('/')))
        return fail(QStringLiteral("the address names no database (postgresql://user@host/database)"));
    if (error)
        error->clear();
    return address;
}

QString ServerAddress::shown() const
{
    auto encoded = [](const QString &part) { return QString::fromUtf8(QUrl::toPercentEncoding(part)); };
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        text += encoded(user) + QLatin1Char('@');
    text += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : encoded(host);
    if (port > 0)
        text += QLatin1Char(':') + QString::number(port);
    text += QLatin1Char('/') + encoded(database);
    if (!options.isEmpty())
        text += QLatin1Char('?') + options.join(QLatin1Char('&'));
    return text;
}
