#include "OrvaneDeviceDriver.h"

#include "AnswerParsing.h"
#include "LinkTrace.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QTcpSocket>
#include <QtDebug>

#include <hidapi.h>

#include <cmath>
#include <cstring>

namespace {

const char instrument[] = "synthesizer";

QString withNumber(const char *pattern, double value, int decimals)
{
    return QString::fromLatin1(pattern).arg(QString::number(value, 'f', decimals));
}

bool isQuery(const QString &line)
{
    return line.endsWith(QLatin1String("?\n"));
}

QString wide(const wchar_t *text)
{
    return text ? QString::fromWCharArray(text) : QString();
}

// The number in text, the part of a numeric answer that holds it. An answer that came whole but
// holds no number is reported; no answer, or one cut short, its link has reported already.
double numberIn(const QByteArray &answer, const QByteArray &text, const QByteArray &query,
                const LinkTroubles &troubles)
{
    const double value = AnswerParsing::toNumber(text);
    if (!answer.isEmpty() && std::isnan(value))
        troubles.notANumber(query, answer);
    return value;
}

} // namespace

OrvaneDeviceDriver::OrvaneDeviceDriver(QObject *parent)
    : QObject(parent)
    , tcpSocket(new QTcpSocket(this))
    , serialPort(new QSerialPort(this))
    , lanLink(tcpSocket, readTimeoutMs, instrument)
    , serialLink(serialPort, readTimeoutMs, instrument)
    , troubles(instrument)
{
    connect(tcpSocket, &QTcpSocket::connected, this, &OrvaneDeviceDriver::deviceConnected);
    connect(tcpSocket, &QTcpSocket::disconnected, this, &OrvaneDeviceDriver::deviceDisconnected);
    connect(serialPort, &QSerialPort::readyRead, this, &OrvaneDeviceDriver::serialDataArrived);
    lanLink.reportTroubles(this, [this](const QString &trouble) { emit linkTrouble(trouble); });
    serialLink.reportTroubles(this, [this](const QString &trouble) { emit linkTrouble(trouble); });
    troubles.setReport([this](const QString &trouble) { emit linkTrouble(trouble); });
}

OrvaneDeviceDriver::~OrvaneDeviceDriver()
{
    tcpSocket->close();
    delete tcpSocket;
    serialPort->close();
    delete serialPort;
    if (hidDevice)
        hid_close(hidDevice);
}

void OrvaneDeviceDriver::connectToDevice(const QString &ip)
{
    lanLink.reset();
    tcpSocket->connectToHost(ip, lanPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    connectionType = Lan;
}

void OrvaneDeviceDriver::connectToDeviceUsbCom(const QString &numberComPort)
{
    serialPort->setPortName(numberComPort);
    serialPort->setBaudRate(QSerialPort::Baud19200, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialLink.reset();
    if (serialPort->open(QIODevice::ReadWrite)) {
        emit textIsOpenPort(QStringLiteral("ComPort open"));
        connectionType = UsbCom;
    } else {
        qDebug() << "serial port" << numberComPort << "did not open:" << serialPort->errorString();
        emit textIsClosePort(QStringLiteral("ComPort close"));
    }
}

void OrvaneDeviceDriver::searchUsbHidDevices()
{
    usbHidDevices.clear();
    hid_device_info *devices = hid_enumerate(0, 0);
    for (hid_device_info *info = devices; info; info = info->next) {
        const QString product = wide(info->product_string);
        const QString serial = wide(info->serial_number);
        qDebug() << "1" << info->vendor_id << info->product_id << product << info->path << serial;
        QString name;
        if (info->product_string)
            name = product + QLatin1Char(' ') + serial;
        qDebug() << "2" << product << name;
        emit addItemComboBoxUsbHid(name);
        qDebug() << info->path;
        usbHidDevices.insert(name, QByteArray(info->path ? info->path : ""));
    }
    hid_free_enumeration(devices);
}

void OrvaneDeviceDriver::connectToDeviceUsbHid(const QString &nameDevice)
{
    QByteArray path;
    for (auto it = usbHidDevices.cbegin(); it != usbHidDevices.cend(); ++it) {
        qDebug() << it.key() << ":" << it.value() << ":" << nameDevice;
        if (it.key() == nameDevice) {
            path = it.value();
            break;
        }
    }
    // A device opened earlier is released first so that its handle never leaks.
    if (hidDevice) {
        hid_close(hidDevice);
        hidDevice = nullptr;
    }
    hidAnswerPending = false;
    hidAnswerOwed = false;
    hidDevice = hid_open_path(path.constData());
    if (hidDevice) {
        emit textIsOpenPort(nameDevice + QStringLiteral("connect"));
        connectionType = UsbHid;
    } else {
        emit textIsClosePort(nameDevice + QStringLiteral("not connect"));
    }
}

void OrvaneDeviceDriver::disconnectFromDevice()
{
    lanLink.expectDisconnect();
    tcpSocket->disconnectFromHost();
}

void OrvaneDeviceDriver::disconnectFromDeviceUsbCom()
{
    serialPort->close();
    emit deviceDisconnected();
}

void OrvaneDeviceDriver::disconnectFromDeviceUsbHid()
{
    if (hidDevice)
        hid_close(hidDevice);
    hidDevice = nullptr;
    hidAnswerPending = false;
    emit deviceDisconnected();
}

void OrvaneDeviceDriver::writeCommand(const QString &line)
{
    const bool query = isQuery(line);
    switch (connectionType) {
    case Lan: {
        const QByteArray bytes = AnswerParsing::cutAtZero(line.toLocal8Bit());
        if (query)
            lanLink.prepareQuery(bytes);
        else
            lanLink.prepareWrite();
        // A link that dropped has said so; nothing goes out on it any more.
        if (tcpSocket->isOpen()) {
            LinkTrace::sent(instrument, bytes);
            tcpSocket->write(bytes);
            tcpSocket->flush();
        }
        break;
    }
    case UsbCom: {
        qDebug() << "serial write" << line;
        const QByteArray bytes = line.toLocal8Bit();
        if (query) {
            serialReadActive = true;
            serialLink.prepareQuery(bytes);
            serialReadActive = false;
        }
        LinkTrace::sent(instrument, bytes);
        serialPort->write(bytes);
        serialPort->flush();
        break;
    }
    case UsbHid:
        writeHidReport(line.toLocal8Bit(), query);
        break;
    case NoConnection:
        break;
    }
}

void OrvaneDeviceDriver::writeHidReport(const QByteArray &bytes, bool query)
{
    if (!hidDevice)
        return;
    if (query)
        discardHidInput();
    unsigned char report[hidReportSize] = {};
    report[0] = hidReportId;
    const int length = qMin(bytes.size(), hidReportSize - 1);
    if (bytes.size() > length)
        qDebug() << "HID command of" << bytes.size() << "bytes cut to" << length << "bytes";
    std::memcpy(report + 1, bytes.constData(), size_t(length));
    LinkTrace::sent(instrument, bytes.left(length));
    hid_write(hidDevice, report, sizeof report);
    if (query) {
        hidAnswerPending = true;
        hidQuery = bytes.trimmed();
    }
}

void OrvaneDeviceDriver::discardHidInput()
{
    unsigned char buffer[hidReportSize];
    if (hidAnswerOwed) {
        // The last answer missed its time-out; give it two more to arrive before this query.
        const QDeadlineTimer deadline(2 * readTimeoutMs);
        int left = int(deadline.remainingTime());
        while (left > 0) {
            const int got = hid_read_timeout(hidDevice, buffer, sizeof buffer, left);
            if (got <= 0)
                break;
            qDebug() << "dropped a late HID answer report";
            if (std::memchr(buffer + 1, '\n', size_t(got - 1)))
                break;
            left = int(deadline.remainingTime());
        }
        hidAnswerOwed = false;
    }
    for (int round = 0; round < 64 && hid_read_timeout(hidDevice, buffer, sizeof buffer, 0) > 0;
         ++round)
        qDebug() << "discarded a stale HID input report";
}

QByteArray OrvaneDeviceDriver::readHidAnswer(bool textAnswer)
{
    QByteArray answer;
    const QDeadlineTimer deadline(readTimeoutMs);
    int timeout = readTimeoutMs;
    while (hidDevice) {
        unsigned char buffer[hidReportSize] = {};
        const int got = hid_read_timeout(hidDevice, buffer, sizeof buffer, timeout);
        if (got <= 1)
            break;
        const QByteArray payload(reinterpret_cast<const char *>(buffer + 1), got - 1);
        answer += textAnswer ? AnswerParsing::cutAtZero(payload) : payload;
        if (answer.contains('\n') || answer.size() >= AnswerParsing::maxAnswerBytes)
            break;
        timeout = int(deadline.remainingTime());
        if (timeout <= 0)
            break;
    }
    hidAnswerOwed = hidDevice && !answer.contains('\n');
    if (!answer.isEmpty())
        LinkTrace::received(instrument, answer);
    if (hidDevice && answer.isEmpty())
        troubles.noAnswer(hidQuery);
    else if (hidAnswerOwed)
        troubles.cutShort(hidQuery);
    return answer;
}

double OrvaneDeviceDriver::readAnswer()
{
    if (numericAnswer) {
        numericAnswer = false;
        switch (connectionType) {
        case Lan: {
            const QByteArray answer = lanLink.readCompleteAnswer();
            QByteArray text = answer;
            text.replace('\n', QByteArray()).replace('\r', QByteArray());
            return numberIn(answer, text, lanLink.lastQuery(), troubles);
        }
        case UsbCom: {
            const QByteArray answer = readSerial(&QueryLink::readCompleteAnswer);
            return numberIn(answer, answer, serialLink.lastQuery(), troubles);
        }
        case UsbHid: {
            hidAnswerPending = false;
            const QByteArray bytes = readHidAnswer(false);
            const int lineEnd = bytes.indexOf('\n');
            if (lineEnd < 0)
                return AnswerParsing::notANumber;
            return numberIn(bytes.left(lineEnd + 1), bytes.left(lineEnd), hidQuery, troubles);
        }
        case NoConnection:
            return AnswerParsing::notANumber;
        }
        return AnswerParsing::notANumber;
    }

    if (connectionType == NoConnection)
        return 0.0;
    const QByteArray bytes = textAnswer(&QueryLink::readAnswer);
    emit labelAnswerFromDevice(QString::fromLatin1(AnswerParsing::cutAtZero(bytes)));
    return 0.0;
}

QByteArray OrvaneDeviceDriver::textAnswer(QByteArray (QueryLink::*read)())
{
    switch (connectionType) {
    case Lan:
        return (lanLink.*read)();
    case UsbCom:
        return readSerial(read);
    case UsbHid:
        if (!hidAnswerPending)
            return QByteArray();
        hidAnswerPending = false;
        return readHidAnswer(true);
    case NoConnection:
        break;
    }
    return QByteArray();
}

void OrvaneDeviceDriver::serialDataArrived()
{
    // Data that arrives while a read waits on the port belongs to that read.
    if (serialReadActive || serialPort->bytesAvailable() == 0)
        return;
    const QByteArray bytes = readSerial(&QueryLink::readAnswer);
    if (!bytes.isEmpty())
        emit labelAnswerFromDevice(QString::fromLatin1(AnswerParsing::cutAtZero(bytes)));
}

QByteArray OrvaneDeviceDriver::readSerial(QByteArray (QueryLink::*read)())
{
    serialReadActive = true;
    const QByteArray bytes = (serialLink.*read)();
    serialReadActive = false;
    return bytes;
}

double OrvaneDeviceDriver::numericQuery(const QString &line)
{
    numericAnswer = true;
    writeCommand(line);
    return readAnswer();
}

void OrvaneDeviceDriver::rfOn() { writeCommand(QStringLiteral("OUTPUT ON\n")); }
void OrvaneDeviceDriver::rfOff() { writeCommand(QStringLiteral("OUTPUT OFF\n")); }
void OrvaneDeviceDriver::alcOn() { writeCommand(QStringLiteral("OUTP:ALC ON\n")); }
void OrvaneDeviceDriver::alcOff() { writeCommand(QStringLiteral("OUTP:ALC OFF\n")); }
void OrvaneDeviceDriver::freqModeList() { writeCommand(QStringLiteral("FREQ:MODE LIST\n")); }
void OrvaneDeviceDriver::freqModeCw() { writeCommand(QStringLiteral("FREQ:MODE CW\n")); }
void OrvaneDeviceDriver::listTypeStep() { writeCommand(QStringLiteral("LIST:TYPE STEP\n")); }
void OrvaneDeviceDriver::listModeAuto() { writeCommand(QStringLiteral("LIST:MODE AUTO\n")); }
void OrvaneDeviceDriver::sweepTimeAutoOff() { writeCommand(QStringLiteral("SWE:TIME:AUTO OFF\n")); }
void OrvaneDeviceDriver::sweepTimeAutoOn() { writeCommand(QStringLiteral("SWE:TIME:AUTO ON\n")); }
void OrvaneDeviceDriver::triggerSourceBus() { writeCommand(QStringLiteral("TRIG:SOUR BUS\n")); }
void OrvaneDeviceDriver::initContinuousOn() { writeCommand(QStringLiteral("INIT:CONT ON\n")); }
void OrvaneDeviceDriver::initContinuousOff() { writeCommand(QStringLiteral("INIT:CONT OFF\n")); }
void OrvaneDeviceDriver::initiate() { writeCommand(QStringLiteral("INIT\n")); }
void OrvaneDeviceDriver::triggerBus() { writeCommand(QStringLiteral("*TRG\n")); }
void OrvaneDeviceDriver::abortSweep() { writeCommand(QStringLiteral("ABORT\n")); }
void OrvaneDeviceDriver::powerModeList() { writeCommand(QStringLiteral("POW:MODE LIST\n")); }
void OrvaneDeviceDriver::powerModeFix() { writeCommand(QStringLiteral("POW:MODE FIX\n")); }
void OrvaneDeviceDriver::amSourceInternal() { writeCommand(QStringLiteral("AM:SOURce:INTernal\n")); }
void OrvaneDeviceDriver::modulationOn() { writeCommand(QStringLiteral("OUTPUT:MODULATION ON\n")); }
void OrvaneDeviceDriver::modulationOff() { writeCommand(QStringLiteral("OUTPUT:MODULATION OFF\n")); }
void OrvaneDeviceDriver::pulseSourceInternal() { writeCommand(QStringLiteral("PULM:SOUR:INTernal\n")); }

void OrvaneDeviceDriver::setFrequency(const double &freq)
{
    writeCommand(withNumber("FREQ:CW %1 MHz\n", freq, 8));
}

void OrvaneDeviceDriver::setAmplitude(const double &ampl)
{
    writeCommand(withNumber("POWER %1 DBM\n", ampl, 2));
}

void OrvaneDeviceDriver::setFreqStart(const double &freq)
{
    writeCommand(withNumber("FREQ:START %1 MHz\n", freq, 8));
}

void OrvaneDeviceDriver::setFreqStop(const double &freq)
{
    writeCommand(withNumber("FREQ:STOP %1 MHz\n", freq, 8));
}

void OrvaneDeviceDriver::setFreqStep(const double &freq)
{
    writeCommand(withNumber("FREQ:STEP %1 MHz\n", freq, 8));
}

void OrvaneDeviceDriver::setSweepTime(const double &time)
{
    writeCommand(withNumber("SWE:TIME %1 ms\n", time, 4));
}

void OrvaneDeviceDriver::setPowerStart(const double &power)
{
    writeCommand(withNumber("POW:START %1 DBM\n", power, 4));
}

void OrvaneDeviceDriver::setPowerStop(const double &power)
{
    writeCommand(withNumber("POW:STOP %1 DBM\n", power, 4));
}

void OrvaneDeviceDriver::setPowerStep(const double &power)
{
    writeCommand(withNumber("POW:STEP %1 DBM\n", power, 4));
}

void OrvaneDeviceDriver::setAmFrequencyHz(const double &freq)
{
    writeCommand(withNumber("AM:INTernal:FREQuency %1 Hz\n", freq, 8));
}

void OrvaneDeviceDriver::setAmFrequencyKhz(const double &freq)
{
    writeCommand(withNumber("AM:INTernal:FREQuency %1 kHz\n", freq, 8));
}

void OrvaneDeviceDriver::setAmDepth(const double &depth)
{
    writeCommand(withNumber("AM:DEPTH %1\n", depth, 8));
}

void OrvaneDeviceDriver::setAmShape(const QString &shape)
{
    writeCommand(QStringLiteral("AM:INTernal:FUNCtion:SHAPE ") + shape + QLatin1Char('\n'));
}

void OrvaneDeviceDriver::setPulseWidth(const double &width, const QString &unit)
{
    const QString line = QStringLiteral("PULM:INT:PWID %1 ") + unit + QLatin1Char('\n');
    writeCommand(line.arg(QString::number(width, 'f', 8)));
}

void OrvaneDeviceDriver::setPulsePeriod(const double &period, const QString &unit)
{
    const QString line = QStringLiteral("PULM:INT:PER %1 ") + unit + QLatin1Char('\n');
    writeCommand(line.arg(QString::number(period, 'f', 8)));
}

void OrvaneDeviceDriver::setCommand(const QString &command)
{
    writeCommand(command + QLatin1Char('\n'));
}

double OrvaneDeviceDriver::fetchPower()
{
    return numericQuery(QStringLiteral("FETCH:POW:AC?\n"));
}

double OrvaneDeviceDriver::readTemperature()
{
    return numericQuery(QStringLiteral("DIAG:INFO:TEMP?\n"));
}

QString OrvaneDeviceDriver::identify()
{
    writeCommand(QStringLiteral("*IDN?\n"));
    QByteArray answer = textAnswer(&QueryLink::readCompleteAnswer);
    // Without its line end a device's answer may be cut short; that trouble is reported.
    if (connectionType == UsbHid && !answer.contains('\n'))
        answer.clear();
    return AnswerParsing::identity(answer);
}
