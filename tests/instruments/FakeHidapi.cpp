#include "FakeHidapi.h"

#include <QStringList>

#include <hidapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

struct hid_device_
{
    QByteArray path;
};

namespace FakeHidapi {

struct State
{
    QList<Device> devices;
    std::function<QList<QByteArray>(const QByteArray &)> responder;
    std::function<void(const QByteArray &)> observer;
    QList<QByteArray> input;
    QList<QByteArray> written;
    QList<Read> readCalls;
    QList<QByteArray> opened;
    QStringList calls;
    int handles = 0;
};

State &state()
{
    static State s;
    return s;
}

wchar_t *wideCopy(const QString &text)
{
    auto *copy = static_cast<wchar_t *>(std::calloc(size_t(text.size()) + 1, sizeof(wchar_t)));
    text.toWCharArray(copy);
    return copy;
}

void setDevices(const QList<Device> &devices) { state().devices = devices; }
void setResponder(std::function<QList<QByteArray>(const QByteArray &)> r) { state().responder = std::move(r); }
void queueInput(const QByteArray &payload) { state().input.append(payload); }
void reset() { state() = State(); }
void setWriteObserver(std::function<void(const QByteArray &)> o) { state().observer = std::move(o); }
QList<QByteArray> writtenReports() { return state().written; }
QList<Read> reads() { return state().readCalls; }
QList<QByteArray> openedPaths() { return state().opened; }
int openHandles() { return state().handles; }
QStringList calls() { return state().calls; }

} // namespace FakeHidapi

using FakeHidapi::state;
using FakeHidapi::wideCopy;

extern "C" {

hid_device_info *HID_API_EXPORT_CALL hid_enumerate(unsigned short, unsigned short)
{
    state().calls << QStringLiteral("hid_enumerate");
    hid_device_info *first = nullptr;
    hid_device_info **tail = &first;
    for (const FakeHidapi::Device &device : qAsConst(state().devices)) {
        auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
        info->path = strdup(device.path.constData());
        info->vendor_id = 0x1234;
        info->product_id = 0x5678;
        info->product_string = device.hasProduct ? wideCopy(device.product) : nullptr;
        info->serial_number = device.hasSerial ? wideCopy(device.serial) : nullptr;
        *tail = info;
        tail = &info->next;
    }
    return first;
}

void HID_API_EXPORT_CALL hid_free_enumeration(hid_device_info *devices)
{
    state().calls << QStringLiteral("hid_free_enumeration");
    while (devices) {
        hid_device_info *next = devices->next;
        std::free(devices->path);
        std::free(devices->product_string);
        std::free(devices->serial_number);
        std::free(devices);
        devices = next;
    }
}

hid_device *HID_API_EXPORT_CALL hid_open_path(const char *path)
{
    state().calls << QStringLiteral("hid_open_path");
    state().opened.append(QByteArray(path));
    for (const FakeHidapi::Device &device : qAsConst(state().devices)) {
        if (device.path == path && !device.path.isEmpty()) {
            ++state().handles;
            return new hid_device_{device.path};
        }
    }
    return nullptr;
}

int HID_API_EXPORT_CALL hid_write(hid_device *, const unsigned char *data, size_t length)
{
    state().calls << QStringLiteral("hid_write");
    const QByteArray report(reinterpret_cast<const char *>(data), int(length));
    state().written.append(report);
    QByteArray text = report.mid(1);
    text.truncate(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    if (state().observer)
        state().observer(text);
    if (state().responder)
        state().input += state().responder(text);
    return int(length);
}

int HID_API_EXPORT_CALL hid_read_timeout(hid_device *, unsigned char *data, size_t length,
                                         int milliseconds)
{
    state().calls << QStringLiteral("hid_read_timeout");
    state().readCalls.append({int(length), milliseconds});
    if (state().input.isEmpty())
        return 0;
    QByteArray report = QByteArray(1, '\x01') + state().input.takeFirst();
    report = report.left(int(length));
    std::memcpy(data, report.constData(), size_t(report.size()));
    return report.size();
}

void HID_API_EXPORT_CALL hid_close(hid_device *device)
{
    state().calls << QStringLiteral("hid_close");
    --state().handles;
    delete device;
}

} // extern "C"
