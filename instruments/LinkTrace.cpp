#include "LinkTrace.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QtDebug>

#include <atomic>
#include <memory>

namespace LinkTrace {

namespace {

std::atomic<bool> tracing{false};
QMutex mutex;
qint64 lastFlushMs = 0;
// Lines reach the disk at most this long after they were written, and a trouble at once: a
// flush of every line would cost a system call each.
const qint64 flushEveryMs = 50;
std::unique_ptr<QFile> &file()
{
    static std::unique_ptr<QFile> traceFile;
    return traceFile;
}

QByteArray printable(const QByteArray &line)
{
    QByteArray out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f && u != '\\')
            out += c;
        else if (c == '\\')
            out += "\\\\";
        else
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
    }
    return out;
}

// The local time to the millisecond; the date and time of day are formatted once a second only,
// which is most of the cost of a line.
QByteArray timeStamp()
{
    static QByteArray secondText;
    static qint64 second = -1;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != second) {
        second = now / 1000;
        secondText = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1();
    }
    return secondText + '.' + QByteArray::number(now % 1000).rightJustified(3, '0');
}

void write(const char *instrument, char direction, const QByteArray &bytes)
{
    if (!tracing.load(std::memory_order_relaxed))
        return;
    QMutexLocker lock(&mutex);
    if (!file())
        return;
    const QByteArray stamp = timeStamp();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QByteArray text;
    QList<QByteArray> lines = bytes.split('\n');
    // A line end closes a line; it does not open an empty one.
    if (lines.size() > 1 && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        text += stamp + ' ' + instrument + ' ' + direction + ' ' + printable(line) + '\n';
    }
    bool written = file()->write(text) == text.size();
    if (written && (direction == '!' || now - lastFlushMs >= flushEveryMs)) {
        written = file()->flush();
        lastFlushMs = now;
    }
    if (!written)
        qDebug() << "trace file" << file()->fileName() << "could not be written:" << file()->errorString();
}

} // namespace

bool start(const QString &path)
{
    QMutexLocker lock(&mutex);
    auto opened = std::make_unique<QFile>(path);
    if (!opened->open(QIODevice::WriteOnly | QIODevice::Append)) {
        qDebug() << "trace file" << path << "cannot be opened:" << opened->errorString();
        return false;
    }
    file() = std::move(opened);
    tracing = true;
    return true;
}

void stop()
{
    QMutexLocker lock(&mutex);
    tracing = false;
    file().reset();
}

bool isOn()
{
    return tracing;
}

QString path()
{
    QMutexLocker lock(&mutex);
    return file() ? file()->fileName() : QString();
}

void sent(const char *instrument, const QByteArray &bytes)
{
    write(instrument, '>', bytes);
}

void received(const char *instrument, const QByteArray &bytes)
{
    write(instrument, '<', bytes);
}

void trouble(const char *instrument, const QString &text)
{
    write(instrument, '!', text.toUtf8());
}

} // namespace LinkTrace
