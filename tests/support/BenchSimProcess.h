#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the bench simulator for a test on loopback addresses of its own and stops it again.
class BenchSimProcess
{
public:
    explicit BenchSimProcess(const QStringList &extraArguments = {});
    ~BenchSimProcess();
    BenchSimProcess(const BenchSimProcess &) = delete;
    BenchSimProcess &operator=(const BenchSimProcess &) = delete;

    bool isReady() const { return ready; }
    QString synthAddress() const { return synth; }
    QString powerMeterAddress() const { return powerMeter; }
    QString analyzerAddress() const { return analyzer; }
    QString serialPath() const { return serial; }
    QString standardError();
    // The lines an instrument received so far ("synthesizer", "power meter", "spectrum
    // analyzer"), from the simulator's --verbose log.
    QStringList receivedLines(const QString &instrument);

private:
    bool start(const QStringList &extraArguments);

    QProcess process;
    bool ready = false;
    QString synth;
    QString powerMeter;
    QString analyzer;
    QString serial;
    QByteArray errors;
};
