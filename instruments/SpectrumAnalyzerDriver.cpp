#include "SpectrumAnalyzerDriver.h"

#include "AnswerParsing.h"
#include "LinkTrace.h"

#include <QTcpSocket>

#include <algorithm>
#include <cmath>

namespace {

const char instrument[] = "analyzer";

QString withReal(const char *pattern, double value)
{
    return QString::fromLatin1(pattern).arg(QString::number(value, 'f', 4));
}

QString withUnsigned(const char *pattern, quint32 value)
{
    return QString::fromLatin1(pattern).arg(QString::number(value));
}

} // namespace

SpectrumAnalyzerDriver::SpectrumAnalyzerDriver(QObject *parent)
    : QObject(parent)
    , tcpSocket(new QTcpSocket(this))
    , link(tcpSocket, readTimeoutMs, instrument)
{
    connect(tcpSocket, &QTcpSocket::connected, this,
            &SpectrumAnalyzerDriver::spectrumAnalyzerConnected);
    connect(tcpSocket, &QTcpSocket::disconnected, this,
            &SpectrumAnalyzerDriver::spectrumAnalyzerDisconnected);
    link.reportTroubles(this, [this](const QString &trouble) { emit linkTrouble(trouble); });
}

SpectrumAnalyzerDriver::~SpectrumAnalyzerDriver()
{
    tcpSocket->close();
    delete tcpSocket;
}

void SpectrumAnalyzerDriver::connectToAnalyzer(const QString &address)
{
    link.reset();
    tcpSocket->connectToHost(address, lanPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void SpectrumAnalyzerDriver::disconnectFromAnalyzer()
{
    link.expectDisconnect();
    tcpSocket->disconnectFromHost();
}

void SpectrumAnalyzerDriver::writeCommand(const QString &command)
{
    const QByteArray bytes = AnswerParsing::cutAtZero(command.toLocal8Bit());
    if (command.endsWith(QLatin1String("?\n")))
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

QList<double> SpectrumAnalyzerDriver::readAnswer()
{
    const QByteArray answer = link.readCompleteAnswer();
    // Nothing, or an answer cut short: the link has reported that already.
    if (answer.isEmpty())
        return {};
    const QList<double> values = AnswerParsing::toNumberList(answer);
    const auto isNaN = [](double value) { return std::isnan(value); };
    if (values.isEmpty() || std::any_of(values.cbegin(), values.cend(), isNaN))
        link.notANumber(answer, AnswerParsing::Expected::NumberList);
    return values;
}

QList<double> SpectrumAnalyzerDriver::query(const QString &text)
{
    writeCommand(text);
    return readAnswer();
}

void SpectrumAnalyzerDriver::adjustAll() { writeCommand(QStringLiteral("ADJust:ALL\n")); }
void SpectrumAnalyzerDriver::tuneImmediate() { writeCommand(QStringLiteral("sens:freq:tune:imm\n")); }

void SpectrumAnalyzerDriver::setReferenceLevel(const double &level)
{
    writeCommand(withReal("DISP:WIND:TRAC:Y:RLEV %1 dBm\n", level));
}

void SpectrumAnalyzerDriver::setSweepPoints(const quint32 &points)
{
    writeCommand(withUnsigned("SWE:POIN %1\n", points));
}

void SpectrumAnalyzerDriver::setVideoBandwidth(const quint32 &bandwidth)
{
    writeCommand(withUnsigned("BAND:VID %1 Hz\n", bandwidth));
}

void SpectrumAnalyzerDriver::setSpan(const quint32 &span)
{
    writeCommand(withUnsigned("Freq:Span %1 MHz\n", span));
}

void SpectrumAnalyzerDriver::setResolutionBandwidth(const quint32 &bandwidth)
{
    writeCommand(withUnsigned("BAND %1 Hz\n", bandwidth));
}

void SpectrumAnalyzerDriver::setStartFrequency(const double &frequency)
{
    writeCommand(withReal("FREQ:STAR %1 MHz\n", frequency));
}

void SpectrumAnalyzerDriver::setStopFrequency(const double &frequency)
{
    writeCommand(withReal("FREQ:STOP %1 MHz\n", frequency));
}

void SpectrumAnalyzerDriver::markerToMaximum() { writeCommand(QStringLiteral("calc:mark:max\n")); }

void SpectrumAnalyzerDriver::setThreshold(const double &level)
{
    writeCommand(withReal("calc:thr %1\n", level));
}

void SpectrumAnalyzerDriver::setPeakThreshold(const double &level)
{
    writeCommand(withReal("calc:mark:peak:thr %1\n", level));
}

void SpectrumAnalyzerDriver::thresholdOn() { writeCommand(QStringLiteral("calc:thr:stat on\n")); }

void SpectrumAnalyzerDriver::peakExcursionOff()
{
    writeCommand(QStringLiteral("calc:mark:peak:exc:stat off\n"));
}

void SpectrumAnalyzerDriver::sortPeakListByLevel()
{
    writeCommand(QStringLiteral("calc:mark:func:fpe:sort y\n"));
}

void SpectrumAnalyzerDriver::sortPeakTableByAmplitude()
{
    writeCommand(QStringLiteral("calc:mark:peak:sort ampl\n"));
}

void SpectrumAnalyzerDriver::peakListOn() { writeCommand(QStringLiteral("calc:mark:func:fpe:stat on\n")); }
void SpectrumAnalyzerDriver::peakTableOn() { writeCommand(QStringLiteral("calc:mark:peak:table:stat on\n")); }

QList<double> SpectrumAnalyzerDriver::markerFrequency() { return query(QStringLiteral("calc:mark:x?\n")); }
QList<double> SpectrumAnalyzerDriver::markerLevel() { return query(QStringLiteral("calc:mark:y?\n")); }

QList<double> SpectrumAnalyzerDriver::peakListLevels()
{
    return query(QStringLiteral("calc:mark:func:fpe:y?\n"));
}

QList<double> SpectrumAnalyzerDriver::peakListFrequencies()
{
    return query(QStringLiteral("calc:mark:func:fpe:x?\n"));
}

QList<double> SpectrumAnalyzerDriver::peakTable() { return query(QStringLiteral("trac:math:peak?\n")); }

QString SpectrumAnalyzerDriver::identify()
{
    writeCommand(QStringLiteral("*IDN?\n"));
    return AnswerParsing::identity(link.readCompleteAnswer());
}
