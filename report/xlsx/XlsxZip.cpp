#include "XlsxZip.h"

#include <QDateTime>
#include <QtDebug>

#include <zip.h>
#include <zlib.h>

#include <memory>

namespace XlsxZip {
namespace {

// Entries and sizes beyond these are refused rather than read.
constexpr qint64 maxEntries = 10000;
constexpr qint64 maxCompressedBytes = 512LL * 1024 * 1024;

void put16(QByteArray &out, quint32 value)
{
    out += char(value & 0xff);
    out += char((value >> 8) & 0xff);
}

void put32(QByteArray &out, quint32 value)
{
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

void dosStamp(const QDateTime &time, quint16 *dosTime, quint16 *dosDate)
{
    const QDate date = time.date();
    const QTime clock = time.time();
    const int year = qBound(1980, date.year(), 2107);
    *dosDate = quint16(((year - 1980) << 9) | (date.month() << 5) | date.day());
    *dosTime = quint16((clock.hour() << 11) | (clock.minute() << 5) | (clock.second() / 2));
}

// The fields that a local header and its central directory record share, from "version needed"
// to "extra field length".
void putEntryFields(QByteArray &out, const Entry &entry, quint16 flags)
{
    put16(out, 20);
    put16(out, flags);
    put16(out, entry.method);
    put16(out, entry.dosTime);
    put16(out, entry.dosDate);
    put32(out, entry.crc);
    put32(out, quint32(entry.compressed.size()));
    put32(out, quint32(entry.size));
    put16(out, quint32(entry.name.size()));
    put16(out, 0);
}

bool isUtf8NonAscii(const QByteArray &name)
{
    bool nonAscii = false;
    for (char c : name)
        nonAscii = nonAscii || (uchar(c) & 0x80);
    return nonAscii && QString::fromUtf8(name).toUtf8() == name;
}

struct ArchiveCloser
{
    void operator()(zip_t *archive) const { zip_discard(archive); }
};

} // namespace

bool readArchive(const QByteArray &archive, QVector<Entry> *entries)
{
    entries->clear();
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *source = zip_source_buffer_create(archive.constData(), zip_uint64_t(archive.size()),
                                                    0, &error);
    if (!source) {
        zip_error_fini(&error);
        return false;
    }
    std::unique_ptr<zip_t, ArchiveCloser> zip(
        zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error));
    zip_error_fini(&error);
    if (!zip) {
        zip_source_free(source);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
    if (count < 0 || count > maxEntries)
        return false;
    qint64 total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip.get(), zip_uint64_t(i), ZIP_FL_ENC_RAW, &st) != 0)
            return false;
        const zip_uint64_t needed = ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE
                                    | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
        if ((st.valid & needed) != needed)
            return false;
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)
            return false;
        if (st.comp_size > zip_uint64_t(maxCompressedBytes) || st.size > 0xffffffffULL)
            return false;
        total += qint64(st.comp_size);
        if (total > maxCompressedBytes)
            return false;
        Entry entry;
        entry.name = QByteArray(st.name);
        entry.method = quint16(st.comp_method);
        entry.crc = quint32(st.crc);
        entry.size = qint64(st.size);
        const QDateTime stamp = (st.valid & ZIP_STAT_MTIME)
                                    ? QDateTime::fromSecsSinceEpoch(qint64(st.mtime))
                                    : QDateTime::currentDateTime();
        dosStamp(stamp, &entry.dosTime, &entry.dosDate);
        entry.compressed.resize(int(st.comp_size));
        if (st.comp_size > 0) {
            zip_file_t *file = zip_fopen_index(zip.get(), zip_uint64_t(i), ZIP_FL_COMPRESSED);
            if (!file)
                return false;
            const zip_int64_t got = zip_fread(file, entry.compressed.data(), st.comp_size);
            zip_fclose(file);
            if (got != zip_int64_t(st.comp_size))
                return false;
        }
        entries->append(entry);
    }
    return true;
}

bool extract(const Entry &entry, qint64 maxSize, QByteArray *content)
{
    if (entry.size > maxSize)
        return false;
    if (entry.method == ZIP_CM_STORE) {
        if (entry.compressed.size() != entry.size)
            return false;
        *content = entry.compressed;
    } else if (entry.method == ZIP_CM_DEFLATE) {
        content->resize(int(entry.size));
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            return false;
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(entry.compressed.constData()));
        stream.avail_in = uInt(entry.compressed.size());
        stream.next_out = reinterpret_cast<Bytef *>(content->data());
        stream.avail_out = uInt(content->size());
        int result = inflate(&stream, Z_FINISH);
        // A stream that claims more data than the entry's size is damaged.
        if (result == Z_BUF_ERROR && stream.avail_out == 0 && entry.size == 0)
            result = Z_STREAM_END;
        const bool complete = result == Z_STREAM_END && stream.total_out == uLong(entry.size);
        inflateEnd(&stream);
        if (!complete)
            return false;
    } else {
        return false;
    }
    return crc32(*content) == entry.crc;
}

QByteArray writeArchive(const QVector<Entry> &entries)
{
    if (entries.size() > 0xffff)
        return QByteArray();
    QByteArray out;
    QByteArray directory;
    for (const Entry &entry : entries) {
        if (out.size() > 0x7fffffff - entry.compressed.size() - entry.name.size() - 64)
            return QByteArray();
        const quint32 offset = quint32(out.size());
        const quint16 flags = isUtf8NonAscii(entry.name) ? 0x0800 : 0;
        put32(out, 0x04034b50);
        putEntryFields(out, entry, flags);
        out += entry.name;
        out += entry.compressed;

        put32(directory, 0x02014b50);
        put16(directory, 20); // version made by
        putEntryFields(directory, entry, flags);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, offset);
        directory += entry.name;
    }
    const quint32 directoryOffset = quint32(out.size());
    out += directory;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint32(entries.size()));
    put16(out, quint32(entries.size()));
    put32(out, quint32(directory.size()));
    put32(out, directoryOffset);
    put16(out, 0);
    return out;
}

QByteArray deflateRaw(const QByteArray &data, bool final, int level)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out;
    out.resize(int(deflateBound(&stream, uLong(data.size())) + 64));
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    int produced = 0;
    const int flush = final ? Z_FINISH : Z_FULL_FLUSH;
    while (true) {
        if (produced == out.size())
            out.resize(out.size() * 2);
        stream.next_out = reinterpret_cast<Bytef *>(out.data() + produced);
        stream.avail_out = uInt(out.size() - produced);
        const int result = deflate(&stream, flush);
        produced = out.size() - int(stream.avail_out);
        if (result == Z_STREAM_END || (!final && result == Z_OK && stream.avail_out > 0))
            break;
        if (result != Z_OK && result != Z_BUF_ERROR) {
            deflateEnd(&stream);
            return QByteArray();
        }
    }
    deflateEnd(&stream);
    out.resize(produced);
    return out;
}

quint32 crc32(const QByteArray &data)
{
    return quint32(::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(data.constData()),
                           uInt(data.size())));
}

quint32 crc32Combine(quint32 first, quint32 second, qint64 secondLength)
{
    return quint32(::crc32_combine(first, second, z_off_t(secondLength)));
}

Entry makeEntry(const QByteArray &name, const QByteArray &content)
{
    Entry entry;
    entry.name = name;
    entry.method = ZIP_CM_DEFLATE;
    entry.crc = crc32(content);
    entry.size = content.size();
    entry.compressed = deflateRaw(content, true);
    dosStamp(QDateTime::currentDateTime(), &entry.dosTime, &entry.dosDate);
    return entry;
}

} // namespace XlsxZip
