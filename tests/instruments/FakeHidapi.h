#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// A scripted stand-in for the hidapi functions, linked into a test in place of the library:
// it lists fake devices, records every call and report, and answers reads from a queue.
namespace FakeHidapi {

struct Device
{
    QByteArray path;
    bool hasProduct = true;
    QString product;
    bool hasSerial = true;
    QString serial;
};

struct Read
{
    int length = 0;
    int timeoutMs = 0;
};

// Devices that hid_enumerate lists, and whether hid_open_path succeeds for them.
void setDevices(const QList<Device> &devices);
// Answers queued after each written report, chosen from its text (report ID removed).
void setResponder(std::function<QList<QByteArray>(const QByteArray &text)> responder);
// Puts an input report in the queue now (payload without report ID).
void queueInput(const QByteArray &payload);
void reset();
// Called with the text of every written report (report ID removed), in the writer's thread.
void setWriteObserver(std::function<void(const QByteArray &text)> observer);

QList<QByteArray> writtenReports();
QList<Read> reads();
QList<QByteArray> openedPaths();
int openHandles();
// Every call in order, by hidapi function name.
QStringList calls();

} // namespace FakeHidapi
