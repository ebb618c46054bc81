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

// The files SQLite keeps beside a database, and the file of its runs' locks, as suffixes of its
// name: they belong to it.
QStringList companionSuffixes();

// The file beside a store whose bytes its runs' writers lock.
QString runLocksPath(const QString &path);

// The first bytes of the file at path, read without ever closing a descriptor of it: closing any
// descriptor of a file drops every lock the process holds on it, SQLite's own among them, so the
// file is read through one descriptor per file that stays open while the process lives. False,
// with why, when it cannot be read; a missing file reads as no bytes.
bool readStart(const QString &path, int bytes, QByteArray *start, QString *why);

// Why the file cannot be written, found without opening it; empty when it can (or is missing).
QString whyFileNotWritable(const QString &path);

// Renames the file and the companions it has to "<path>.<label>-yyyyMMdd-HHmmss" ("-2", "-3",
// ... when that name is taken), its companions keeping their suffixes; returns the new path, or
// an empty text with the reason in *error when nothing could be moved. A missing main file is
// skipped: its companions move alone.
QString setAside(const QString &path, const QString &label, const QDateTime &now, QString *error);

// Why the database at path cannot be written, found by trying: "the folder ... does not exist",
// "read-only: ...", "disk full"; empty when no reason is found.
QString whyNotWritable(const QString &path);

} // namespace StoreFile
