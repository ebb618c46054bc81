#include "PowerMeterDriver.h"

#include "AnswerParsing.h"
#include "LinkTrace.h"

#include <QTcpSocket>

namespace {

const char instrument[] = "power meter";

} // namespace

PowerMeterDriver::PowerMeterDriver(QObject *parent)
    : QObject(parent)
    , tcpSocket(new QTcpSocket(this))
    , link(tcpSocket, readTimeoutMs, instrument)
{
    connect(tcpSocket, &QTcpSocket::connected, this, &PowerMeterDriver::powerMeterConnected);
    connect(tcpSocket, &QTcpSocket::disconnected, this, &PowerMeterDriver::powerMeterDisconnected);
    link.reportTroubles(this, [this](const QString &trouble) { emit linkTrouble(trouble); });
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
    link.expectDisconnect();
    tcpSocket->disconnectFromHost();
}

void PowerMeterDriver::writeCommand(const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit();
    if (line.endsWith(QLatin1String("?\n")))
        link.prepareQuery(bytes);
    else
        link.prepareWrite();
    LinkTrace::sent(instrument, bytes);
    tcpSocket->write(bytes);
    tcpSocket->flush();
}

double PowerMeterDriver::readAnswer()
{
    QByteArray bytes = link.readCompleteAnswer();
    bytes.replace('\n', QByteArray());
    if (!bytes.isEmpty() && !AnswerParsing::isNumber(bytes))
        link.trouble(QStringLiteral("answer to %1 is not a number").arg(QString::fromLatin1(link.lastQuery())));
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
