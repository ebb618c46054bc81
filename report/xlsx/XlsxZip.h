#pragma once

#include <QByteArray>
#include <QVector>

// The zip container of a workbook: reading its entries with libzip, writing a fresh archive
// whose unchanged entries keep their compressed bytes, and the deflate and CRC helpers.
namespace XlsxZip {

struct Entry
{
    QByteArray name;       // as stored
    quint16 method = 0;    // 0 stored, 8 deflated
    quint32 crc = 0;
    qint64 size = 0;       // uncompressed
    QByteArray compressed; // the entry's data as stored in the archive
    quint16 dosTime = 0;
    quint16 dosDate = 0;
};

// Reads every entry of an archive held in memory; false when it is not a readable zip archive
// (damaged, encrypted, or too large).
bool readArchive(const QByteArray &archive, QVector<Entry> *entries);

// The uncompressed content of an entry, checked against its CRC; false when it cannot be read
// or is larger than maxSize.
bool extract(const Entry &entry, qint64 maxSize, QByteArray *content);

// A complete archive of the entries, in their order; empty when it cannot be built.
QByteArray writeArchive(const QVector<Entry> &entries);

// Raw deflate of one piece. A piece that is not final ends on a byte boundary with a full flush,
// so that independently compressed pieces can be joined into one stream.
QByteArray deflateRaw(const QByteArray &data, bool final, int level = 6);

quint32 crc32(const QByteArray &data);
quint32 crc32Combine(quint32 first, quint32 second, qint64 secondLength);

// An entry made from uncompressed content, stamped with the current time.
Entry makeEntry(const QByteArray &name, const QByteArray &content);

} // namespace XlsxZip
