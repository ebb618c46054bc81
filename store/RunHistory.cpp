#include "RunHistory.h"

#include "ServerHistory.h"
#include "SqliteStore.h"

std::unique_ptr<RunHistory> RunHistory::open(const QString &store)
{
    if (!ServerAddress::isServerAddress(store))
        return SqliteStore::open(store, SqliteStore::Mode::Read, nullptr);
    QString why;
    const ServerAddress address = ServerAddress::parse(store, &why);
    return std::make_unique<ServerHistory>(address, why);
}

QString RunHistory::likePattern(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('%'), QLatin1String("\\%"))
        .replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}
