#include "PowerMeterDriver.h"

#include "AnswerParsing.h"
#include "DeviceIo.h"

#include <QTcpSocket>

PowerMeterDriver::PowerMeterDriver(QObject *parent)
    : QObject(parent)
    , tcpSocket(new QTcpSocket(this))
{
    connect(tcpSocket, &QTcpSocket::connected, this, &PowerMeterDriver::powerMeterConnected);
    connect(tcpSocket, &QTcpSocket::disconnected, this, &PowerMeterDriver::powerMeterDisconnected);
}

PowerMeterDriver::~PowerMeterDriver()
{
    tcpSocket->close();
    delete tcpSocket;
}

void PowerMeterDriver::connectToPowerMeter(const QString &ip)
{
    tcpSocket->connectToHost(ip, lanPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void PowerMeterDriver::disconnectFromPowerMeter()
{
    tcpSocket->disconnectFromHost();
}

void PowerMeterDriver::writeCommand(const QString &line)
{
    if (line.endsWith(QLatin1String("?\n")))
        DeviceIo::discardPending(tcpSocket);
    tcpSocket->write(line.toLocal8Bit());
    tcpSocket->flush();
}

double PowerMeterDriver::readAnswer()
{
    QByteArray bytes = DeviceIo::collectAnswer(tcpSocket, readTimeoutMs);
    bytes.replace('\n', QByteArray());
    return AnswerParsing::toNumber(bytes);
}

void PowerMeterDriver::setFrequencyChannelA(const double &frequency)
{
    writeCommand(QStringLiteral("SENS1:FREQ %1 MHz\n").arg(QString::number(frequency, 'f', 4)));
}

void PowerMeterDriver::setFrequencyChannelB(const double &frequency)
{
    writeCommand(QStringLiteral("SENS2:FREQ %1 MHz\n").arg(QString::number(frequency, 'f', 4)));
}

double PowerMeterDriver::fetchChannelA()
{
    writeCommand(QStringLiteral("FETC?\n"));
    return readAnswer();
}

double PowerMeterDriver::fetchChannelB()
{
    writeCommand(QStringLiteral("FETC2?\n"));
    return readAnswer();
}
