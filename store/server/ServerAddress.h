#pragma once

#include <QString>
#include <QStringList>

// Where the shared results server is, from a "postgresql://user@host:port/database?sslmode=..."
// address: what Qt's PostgreSQL driver needs to connect. The password is never part of it; libpq
// finds it in ~/.pgpass or PGPASSWORD.
struct ServerAddress
{
    QString user;     // empty: libpq's default (the login name)
    QString host;     // a name, an address or a socket folder; empty: libpq's default
    int port = -1;    // -1: libpq's default
    QString database;
    QStringList options; // libpq keywords with their values, "sslmode=require"

    // The text names a server rather than an SQLite file.
    static bool isServerAddress(const QString &text);
    // The address, or one with an empty database and the reason in *error.
    static ServerAddress parse(const QString &text, QString *error);
    // "postgresql://user@host:port/database" for messages and settings.
    QString shown() const;
};
