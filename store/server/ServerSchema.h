#pragma once

#include <QStringList>

// The layouts of the results store on a shared PostgreSQL server, each as the SQL that makes it
// from the one before. Every station's rows are keyed by the station's name, its SQLite store's
// identity and the ids that store gave them, so that many stations write one database without
// colliding.
namespace ServerSchema {

// The newest server layout this program knows; it refuses to write a server with a newer one.
constexpr int current = 5;

// The statements that turn a server database of layout version - 1 into one of layout version,
// for version 1 to current; the caller runs them in one transaction with the schema_version row.
QStringList step(int version);

// Taken in the transaction that makes or upgrades the layout: two stations that start at once on
// an empty database do not both make it.
constexpr qint64 layoutLock = 0x52464253;

} // namespace ServerSchema
