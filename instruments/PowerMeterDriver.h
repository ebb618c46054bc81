#pragma once

#include "QueryLink.h"

#include <QObject>
#include <QString>

class QTcpSocket;

// Driver of the two-channel RF power meter over LAN: channel frequencies and readings.
class PowerMeterDriver : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 lanPort = 5025;
    static constexpr int readTimeoutMs = 1000;

    explicit PowerMeterDriver(QObject *parent = nullptr);
    ~PowerMeterDriver() override;

    void connectToPowerMeter(const QString &ip);
    void disconnectFromPowerMeter();
    void writeCommand(const QString &line);
    // The reading in the answer to the last query; AnswerParsing::notANumber when none came
    // (no answer, an answer cut short or not a number, no connection).
    double readAnswer();

    void setFrequencyChannelA(const double &frequency);
    void setFrequencyChannelB(const double &frequency);
    // Readings as readAnswer gives them.
    double fetchChannelA();
    double fetchChannelB();
    // Asks *IDN? and gives the identity in the answer (AnswerParsing::identity); empty when none
    // came whole within the time-out, which the link reports.
    QString identify();

signals:
    void powerMeterConnected();
    void powerMeterDisconnected();
    void labelAnswerFromPowerMeter(const QString &text);
    // A trouble of the link as it happens: no answer within the time-out, an answer cut short or
    // not a number, the connection lost.
    void linkTrouble(const QString &trouble);

private:
    QTcpSocket *tcpSocket = nullptr;
    QueryLink link;
};
