#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The results store's file seen as a file: telling an SQLite database by its first bytes,
// setting aside a file that is not a store together with its companions, and finding why a file
// cannot be written.
namespace StoreFile {

// Who named a file the program opens to write, and so what it may do with another file found in
// its place: where the user chose (the default place, the command line, the window's settings),
// set that file aside under a new name; where a setup file did, nothing, since a setup may name
// another program's file: the file is left as it is and not written.
enum class NamedBy { User, Setup };

// The first bytes are those of every SQLite database ("SQLite format 3" and a NUL).
bool hasSqliteHeader(const QByteArray &start);

// The files SQLite keeps beside a database, as suffixes of its name: they belong to it.
QStringList companionSuffixes();

// Renames the file and the companions it has to "<path>.<label>-yyyyMMdd-HHmmss" ("-2", "-3",
// ... when that name is taken), its companions keeping their suffixes; returns the new path, or
// an empty text with the reason in *error when nothing could be moved. A missing main file is
// skipped: its companions move alone.
QString setAside(const QString &path, const QString &label, const QDateTime &now, QString *error);

// Why the database at path cannot be written, found by trying: "the folder ... does not exist",
// "read-only: ...", "disk full"; empty when no reason is found.
QString whyNotWritable(const QString &path);

} // namespace StoreFile
