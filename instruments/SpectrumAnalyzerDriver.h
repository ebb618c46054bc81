#pragma once

#include <QList>
#include "QueryLink.h"

#include <QObject>
#include <QString>

class QTcpSocket;

// Driver of the spectrum analyzer over LAN, with the commands of both supported models (R&S and
// KVD4471B); answers come back as lists of numbers, a field that is not a number as
// AnswerParsing::notANumber, and no answer as an empty list.
class SpectrumAnalyzerDriver : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 lanPort = 5025;
    static constexpr int readTimeoutMs = 1000;

    explicit SpectrumAnalyzerDriver(QObject *parent = nullptr);
    ~SpectrumAnalyzerDriver() override;

    void connectToAnalyzer(const QString &address);
    void disconnectFromAnalyzer();
    void writeCommand(const QString &command);
    QList<double> readAnswer();

    void adjustAll();
    void tuneImmediate();
    void setReferenceLevel(const double &level);
    void setSweepPoints(const quint32 &points);
    void setVideoBandwidth(const quint32 &bandwidth);
    void setSpan(const quint32 &span);
    void setResolutionBandwidth(const quint32 &bandwidth);
    void setStartFrequency(const double &frequency);
    void setStopFrequency(const double &frequency);
    void markerToMaximum();
    void setThreshold(const double &level);
    void setPeakThreshold(const double &level);
    void thresholdOn();
    void peakExcursionOff();
    void sortPeakListByLevel();
    void sortPeakTableByAmplitude();
    void peakListOn();
    void peakTableOn();

    QList<double> markerFrequency();
    QList<double> markerLevel();
    QList<double> peakListLevels();
    QList<double> peakListFrequencies();
    QList<double> peakTable();
    // Asks *IDN? and gives the identity in the answer (AnswerParsing::identity); empty when none
    // came whole within the time-out, which the link reports. The same line in both dialects.
    QString identify();

signals:
    void spectrumAnalyzerConnected();
    void spectrumAnalyzerDisconnected();
    // A trouble of the link as it happens: no answer within the time-out, an answer cut short or
    // not a list of numbers, the connection lost.
    void linkTrouble(const QString &trouble);

private:
    QList<double> query(const QString &text);

    QTcpSocket *tcpSocket = nullptr;
    QueryLink link;
};
