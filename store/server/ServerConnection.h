#pragma once

#include <QString>

class QSqlDatabase;
class QSqlError;
struct ServerAddress;

// Connecting to the shared results server through Qt's PostgreSQL driver, for the upload and for
// the lists that read every station's runs; what went wrong in a line of words.
namespace ServerConnection {

enum class Failure { None, Unreachable, LoginRefused, NoDriver };

// How long the server may take, in ms; 0: no limit.
struct Timeouts
{
    int statementMs = 0; // a statement running longer (a busy server, a lock) is cancelled by the server
    int lockMs = 0;      // a statement waiting longer for a lock another session holds is cancelled
};

// The libpq settings Qt's driver passes for a connection: the address's own, then what keeps a
// connection from hanging on a server or network that went silent, unless the address sets it.
QString connectOptions(const ServerAddress &address, const Timeouts &timeouts);

// Opens *database, a connection of Qt's PostgreSQL driver under this name (made when there is
// none), to the address. A server that went away is noticed in seconds, not after the system's
// TCP timeouts. On failure, *why in a line.
Failure open(QSqlDatabase *database, const QString &name, const ServerAddress &address, QString *why,
             const Timeouts &timeouts = {});

// Why a statement failed, in a line: the server's own words, or what a cancelled statement waited for.
QString failure(const QSqlError &error, const Timeouts &timeouts);

// The layout version of the server's tables: 0 when it has none, -1 when it cannot be read (*why).
int layoutVersion(QSqlDatabase &database, QString *why);

// The first line of a driver's message: libpq's carry hints on further lines.
QString firstLine(const QSqlError &error);

// A time column as the local store's UTC text, "2026-12-08T10:32:00.123Z": the driver's own
// conversion of a timestamptz depends on the session's time zone.
#define UTC_TEXT(column) "to_char(" column " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"

} // namespace ServerConnection
