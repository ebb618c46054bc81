#include "PowerMeterDriver.h"

#include "AnswerParsing.h"
#include "LinkTrace.h"

#include <QTcpSocket>

#include <cmath>

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
    // A link that dropped has said so; nothing goes out on it any more.
    if (!tcpSocket->isOpen())
        return;
    LinkTrace::sent(instrument, bytes);
    tcpSocket->write(bytes);
    tcpSocket->flush();
}

double PowerMeterDriver::readAnswer()
{
    const QByteArray answer = link.readCompleteAnswer();
    // Nothing, or an answer cut short: the link has reported that already.
    if (answer.isEmpty())
        return AnswerParsing::notANumber;
    const double reading = AnswerParsing::toNumber(QByteArray(answer).replace('\n', QByteArray()));
    if (std::isnan(reading))
        link.notANumber(answer);
    return reading;
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

QString PowerMeterDriver::identify()
{
    writeCommand(QStringLiteral("*IDN?\n"));
    return AnswerParsing::identity(link.readCompleteAnswer());
}
