#include "BenchSimProcess.h"

#include "TestAddresses.h"

#include <QDeadlineTimer>

BenchSimProcess::BenchSimProcess(const QStringList &extraArguments)
{
    for (int attempt = 0; attempt < 5 && !ready; ++attempt)
        ready = start(extraArguments);
}

BenchSimProcess::~BenchSimProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
}

bool BenchSimProcess::start(const QStringList &extraArguments)
{
    synth = TestAddresses::randomLoopback().toString();
    powerMeter = TestAddresses::randomLoopback().toString();
    analyzer = TestAddresses::randomLoopback().toString();
    QStringList arguments{QStringLiteral("--synth-address"), synth,
                          QStringLiteral("--powermeter-address"), powerMeter,
                          QStringLiteral("--analyzer-address"), analyzer};
    arguments += extraArguments;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral(BENCHSIM_PATH), arguments);
    if (!process.waitForStarted(5000))
        return false;
    QByteArray out;
    const QDeadlineTimer deadline(10000);
    while (!out.contains("benchsim ready\n") && !deadline.hasExpired()) {
        if (!process.waitForReadyRead(int(deadline.remainingTime()))) {
            if (process.state() == QProcess::NotRunning)
                break;
            continue;
        }
        out += process.readAllStandardOutput();
    }
    errors += process.readAllStandardError();
    if (!out.contains("benchsim ready\n")) {
        process.kill();
        process.waitForFinished(3000);
        return false;
    }
    const int at = out.indexOf("synthesizer serial port: ");
    if (at >= 0) {
        const int start = at + int(qstrlen("synthesizer serial port: "));
        serial = QString::fromLocal8Bit(out.mid(start, out.indexOf('\n', start) - start));
    }
    return true;
}

QString BenchSimProcess::standardError()
{
    errors += process.readAllStandardError();
    return QString::fromLocal8Bit(errors);
}

QStringList BenchSimProcess::receivedLines(const QString &instrument)
{
    // Collect what the simulator has logged until its error output goes quiet.
    while (process.waitForReadyRead(100))
        errors += process.readAllStandardError();
    errors += process.readAllStandardError();
    const QString marker = QLatin1Char(' ') + instrument + QStringLiteral(" < ");
    QStringList lines;
    for (const QString &line : QString::fromLocal8Bit(errors).split(QLatin1Char('\n'))) {
        const int at = line.indexOf(marker);
        if (at >= 0)
            lines << line.mid(at + marker.size());
    }
    return lines;
}
