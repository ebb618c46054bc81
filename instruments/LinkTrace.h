#pragma once

#include <QByteArray>
#include <QString>

// The bench trace: every line sent to and received from an instrument, and every trouble a link
// meets, time-stamped to the millisecond and written to one file while tracing is on; a line is
// in the file within 50 ms, a trouble at once. Safe to use from any thread; costs one flag test
// per line while tracing is off.
namespace LinkTrace {

// Starts writing to the file (appending); false when it cannot be opened.
bool start(const QString &path);
void stop();
bool isOn();
QString path();

// One line per line of bytes, as "yyyy-MM-dd hh:mm:ss.zzz <instrument> > <text>" for sent
// bytes, "<" for received ones and "!" for a trouble; bytes that are not printable ASCII (below
// 0x20, from 0x7f up) are written as \xNN, a backslash as \\.
void sent(const char *instrument, const QByteArray &bytes);
void received(const char *instrument, const QByteArray &bytes);
void trouble(const char *instrument, const QString &text);

} // namespace LinkTrace
