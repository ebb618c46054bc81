#pragma once

#include "QueryLink.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

class QSerialPort;
class QTcpSocket;
struct hid_device_;

// Driver of the synthesizer: LAN, USB-COM and USB-HID transports behind one write and one read
// path, and the device's SCPI command set.
class OrvaneDeviceDriver : public QObject
{
    Q_OBJECT

public:
    enum ConnectionType { NoConnection = -1, Lan = 0, UsbCom = 1, UsbHid = 2 };

    static constexpr quint16 lanPort = 5023;
    static constexpr int readTimeoutMs = 300;
    static constexpr int hidReportSize = 64;
    static constexpr unsigned char hidReportId = 0x01;

    explicit OrvaneDeviceDriver(QObject *parent = nullptr);
    ~OrvaneDeviceDriver() override;

    void connectToDevice(const QString &ip);
    void connectToDeviceUsbCom(const QString &numberComPort);
    void searchUsbHidDevices();
    void connectToDeviceUsbHid(const QString &nameDevice);
    void disconnectFromDevice();
    void disconnectFromDeviceUsbCom();
    void disconnectFromDeviceUsbHid();

    void writeCommand(const QString &line);
    // After a numeric query (fetchPower, readTemperature) the number in its answer, or
    // AnswerParsing::notANumber when none came; after any other line 0, its answer going to
    // labelAnswerFromDevice.
    double readAnswer();

    ConnectionType activeConnection() const { return connectionType; }

    void rfOn();
    void rfOff();
    void alcOn();
    void alcOff();
    void freqModeList();
    void freqModeCw();
    void listTypeStep();
    void listModeAuto();
    void sweepTimeAutoOff();
    void sweepTimeAutoOn();
    void triggerSourceBus();
    void initContinuousOn();
    void initContinuousOff();
    void initiate();
    void triggerBus();
    void abortSweep();
    void powerModeList();
    void powerModeFix();
    void amSourceInternal();
    void modulationOn();
    void modulationOff();
    void pulseSourceInternal();

    void setFrequency(const double &freq);
    void setAmplitude(const double &ampl);
    void setFreqStart(const double &freq);
    void setFreqStop(const double &freq);
    void setFreqStep(const double &freq);
    void setSweepTime(const double &time);
    void setPowerStart(const double &power);
    void setPowerStop(const double &power);
    void setPowerStep(const double &power);
    void setAmFrequencyHz(const double &freq);
    void setAmFrequencyKhz(const double &freq);
    void setAmDepth(const double &depth);

    void setAmShape(const QString &shape);
    void setPulseWidth(const double &width, const QString &unit);
    void setPulsePeriod(const double &period, const QString &unit);
    void setCommand(const QString &command);

    // Numbers as readAnswer gives them.
    double fetchPower();
    double readTemperature();
    // Asks *IDN? over the active transport and gives the identity in the answer
    // (AnswerParsing::identity); empty when none came whole within the time-out, which is
    // reported as a trouble. The answer does not go to labelAnswerFromDevice.
    QString identify();

signals:
    void deviceConnected();
    void deviceDisconnected();
    void textIsOpenPort(const QString &text);
    void textIsClosePort(const QString &text);
    void addItemComboBoxUsbHid(const QString &text);
    void labelAnswerFromDevice(const QString &text);
    // A trouble of the link as it happens: no answer within the time-out, an answer cut short or
    // not a number, the connection lost.
    void linkTrouble(const QString &trouble);

private:
    void serialDataArrived();
    // A read of the serial port that owns it meanwhile (see serialReadActive).
    QByteArray readSerial(QByteArray (QueryLink::*read)());
    // The text answer owed on the present transport: a LAN or serial link's by its read, the
    // HID device's if one is owed; empty without a connection.
    QByteArray textAnswer(QByteArray (QueryLink::*read)());
    void writeHidReport(const QByteArray &bytes, bool query);
    // Collects input reports until one holds a line end or the time-out passes; a text answer
    // keeps each report only up to its first zero byte.
    QByteArray readHidAnswer(bool textAnswer);
    void discardHidInput();
    double numericQuery(const QString &line);

    QTcpSocket *tcpSocket = nullptr;
    QSerialPort *serialPort = nullptr;
    hid_device_ *hidDevice = nullptr;
    ConnectionType connectionType = NoConnection;
    bool numericAnswer = false;
    bool hidAnswerPending = false;
    QMap<QString, QByteArray> usbHidDevices;
    // Set while a read owns the serial port, so that data arriving during its wait is left to it.
    bool serialReadActive = false;
    QueryLink lanLink;
    QueryLink serialLink;
    // The troubles of the HID path, and of numeric answers that are no numbers on any path.
    LinkTroubles troubles;
    // A HID query's answer missed its time-out and may still arrive.
    bool hidAnswerOwed = false;
    QByteArray hidQuery; // the last query sent over HID, named in troubles
};
