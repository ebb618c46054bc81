#include "LinkTrace.h"

#include <QDateTime>
#include <QFile>
#include <QtDebug>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace LinkTrace {

namespace {

using Clock = std::chrono::steady_clock;

// Lines reach the disk at most this long after they were written, and a trouble at once: a
// flush of every line would cost a system call each.
constexpr std::chrono::milliseconds flushAfter{50};

// The open trace file and the thread that flushes it when its lines are due. The flush has a
// thread of its own because no other is sure to run then: the worker spends a whole run inside
// one call, without turning its event loop, and the window's thread may be waiting for the
// worker. Standard locks throughout, which ThreadSanitizer sees, unlike Qt's.
class Trace
{
public:
    ~Trace()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            quitting = true;
        }
        wake.notify_all();
        if (flusher.joinable())
            flusher.join();
    }

    // Called with mutex held.
    void startFlusher()
    {
        if (!flusher.joinable())
            flusher = std::thread([this] { flushWhenDue(); });
    }

    // Called with mutex held.
    void flush()
    {
        unflushed = false;
        if (file && !file->flush())
            qDebug() << "trace file" << file->fileName() << "could not be written:" << file->errorString();
    }

    // Called with mutex held, after lines were written.
    void flushWithin(bool atOnce)
    {
        if (atOnce) {
            flush();
        } else if (!unflushed) {
            unflushed = true;
            flushBy = Clock::now() + flushAfter;
            wake.notify_one();
        }
    }

    std::atomic<bool> on{false};
    std::mutex mutex;
    std::unique_ptr<QFile> file;

private:
    void flushWhenDue()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!quitting) {
            if (!unflushed)
                wake.wait(lock);
            else if (Clock::now() < flushBy)
                wake.wait_until(lock, flushBy);
            else
                flush();
        }
    }

    std::condition_variable wake;
    bool unflushed = false;
    Clock::time_point flushBy{};
    bool quitting = false;
    std::thread flusher;
};

Trace &trace()
{
    static Trace theTrace;
    return theTrace;
}

QByteArray printable(const QByteArray &line)
{
    QByteArray out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && u != '\\')
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
    Trace &t = trace();
    if (!t.on.load(std::memory_order_relaxed))
        return;
    const std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.file)
        return;
    const QByteArray stamp = timeStamp();
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
    if (t.file->write(text) != text.size())
        qDebug() << "trace file" << t.file->fileName() << "could not be written:" << t.file->errorString();
    else
        t.flushWithin(direction == '!');
}

} // namespace

bool start(const QString &path)
{
    Trace &t = trace();
    const std::lock_guard<std::mutex> lock(t.mutex);
    auto opened = std::make_unique<QFile>(path);
    if (!opened->open(QIODevice::WriteOnly | QIODevice::Append)) {
        qDebug() << "trace file" << path << "cannot be opened:" << opened->errorString();
        return false;
    }
    t.file = std::move(opened);
    t.startFlusher();
    t.on = true;
    return true;
}

void stop()
{
    Trace &t = trace();
    const std::lock_guard<std::mutex> lock(t.mutex);
    t.on = false;
    t.flush();
    t.file.reset();
}

bool isOn()
{
    return trace().on;
}

QString path()
{
    Trace &t = trace();
    const std::lock_guard<std::mutex> lock(t.mutex);
    return t.file ? t.file->fileName() : QString();
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
