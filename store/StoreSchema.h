#pragma once

#include <QStringList>

class QSqlDatabase;
class QSqlError;
#include <QtGlobal>

// The layouts of the results store's file, each as the SQL that makes it from the one before; a
// new store is made by running them all from an empty database.
namespace StoreSchema {

// PRAGMA application_id of every results store ("RFBS"): it tells a store from another program's
// database, whatever tables that one has.
constexpr qint32 applicationId = 0x52464253;

// The newest layout this program knows. A layout, once released, never changes: a change is a
// new layout with its own step.
constexpr int current = 6;
// The oldest layout that reads as the newest does: what the later ones add reads as empty (no
// data folder, no places, no unit, operator or verdict, no corrections).
constexpr int readableFrom = 2;

// The statements that turn a store of layout version - 1 into one of layout version, for
// version 1 to current; the caller runs them in one transaction with the schema_version row.
QStringList step(int version);

// The store's identity, read on this connection: empty, never null, for a store of a layout
// before identities, as its upgrade gives it. False with *error when it cannot be read.
bool readIdentity(QSqlDatabase &database, QString *identity, QSqlError *error);

} // namespace StoreSchema
