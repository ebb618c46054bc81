#pragma once

#include <QByteArray>

class QIODevice;

// Blocking helpers shared by the instrument links: every query throws away what an earlier
// answer left behind and then collects its own answer up to the line end.
namespace DeviceIo {

// Drops every byte already received on the device, including bytes waiting in the operating
// system that the event loop has not picked up yet.
void discardPending(QIODevice *device);

// Waits until a line end (LF) has arrived or timeoutMs has passed, then takes every byte
// received so far. An answer longer than AnswerParsing::maxAnswerBytes is cut there and the rest
// is dropped.
QByteArray collectAnswer(QIODevice *device, int timeoutMs);

} // namespace DeviceIo
