#include "PowerMeterDriver.h"

#include "AnswerParsing.h"

#include <QTcpSocket>

PowerMeterDriver::PowerMeterDriver(QObject *parent)
    : QObject(parent)
    , tcpSocket(new QTcpSocket(this))
    , link(tcpSocket, readTimeoutMs, "power meter")
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
    link.reset();
    tcpSocket->connectToHost(ip, lanPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void PowerMeterDriver::disconnectFromPowerMeter()
{
    tcpSocket->disconnectFromHost();
}

void PowerMeterDriver::writeCommand(const QString &line)
{
    if (line.endsWith(QLatin1String("?\n")))
        link.prepareQuery();
    else
        link.prepareWrite();
    tcpSocket->write(line.toLocal8Bit());
    tcpSocket->flush();
}

double PowerMeterDriver::readAnswer()
{
    QByteArray bytes = link.readCompleteAnswer();
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
