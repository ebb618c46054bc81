// Runs power and spur measurements against a bench simulator, headless and without end, and
// reports on standard output how many rows of each workbook are complete, for the crash test
// that kills it at random moments.

#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "MeasurementTypes.h"
#include "Pause.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    QCommandLineParser parser;
    parser.addOptions({{"dir", "Folder of the workbooks.", "path"},
                       {"synth", "Synthesizer address.", "address"},
                       {"powermeter", "Power meter address.", "address"},
                       {"analyzer", "Analyzer address.", "address"},
                       {"spur-first", "Start with the spur measurement."}});
    parser.process(app);

    MeasurementTypes::registerAll();
    // The analyzer's settling pauses would make the runs slow; the rows are what matters here.
    Pause::setSleepFunction([](unsigned long ms) { QThread::msleep(qMin(ms, 2UL)); });

    QThread thread;
    DevicesWork worker;
    worker.moveToThread(&thread);
    thread.start();
    worker.initialization();
    QMetaObject::invokeMethod(&worker, [] {}, Qt::BlockingQueuedConnection);
    worker.reportWriter()->setDirectory(parser.value("dir"));
    worker.connectToDevice(parser.value("synth"));
    worker.connectToPowerMeter(parser.value("powermeter"));
    worker.connectToSpectrumAnalyzer(parser.value("analyzer"));
    worker.rfOn();

    ValueFormMeasurePower power;
    power.freqStart = 100;
    power.freqStop = 5000;
    power.pointsCount = 20;
    power.power = -10;
    power.pointsMode = true;
    power.channelA = true;
    ValueForm spur;
    spur.freqStart = 1000;
    spur.freqStop = 1200;
    spur.pointsCount = 20;
    spur.power = -10;
    spur.pointsMode = true;
    spur.rohdeSchwarz = true;
    spur.span = 10;
    spur.displayLine = 60;

    // A point's number arrives before its row is written, so the row before it is complete.
    int powerRows = 0;
    int spurRows = 0;
    int runPoints = 0;
    bool spurRunning = parser.isSet("spur-first");
    auto report = [&] {
        std::printf("power %d spur %d\n", powerRows, spurRows);
        std::fflush(stdout);
    };
    auto pointStarted = [&](const QString &number) {
        const int point = number.toInt();
        if (point > 1) {
            (spurRunning ? spurRows : powerRows) += 1;
            ++runPoints;
            report();
        }
    };
    QObject::connect(&worker, &DevicesWork::labelCountPoints, &app, pointStarted);
    QObject::connect(&worker, &DevicesWork::labelCountPointsSpurs, &app, pointStarted);
    QObject::connect(&worker, &DevicesWork::stopingMeasure, &app, [&] {
        const int total = int(spurRunning ? spur.pointsCount : power.pointsCount);
        (spurRunning ? spurRows : powerRows) += total - runPoints;
        runPoints = 0;
        report();
        spurRunning = !spurRunning;
        if (spurRunning)
            worker.measureSpectrum(spur);
        else
            worker.measurePower(power);
    });
    if (spurRunning)
        worker.measureSpectrum(spur);
    else
        worker.measurePower(power);
    return app.exec();
}
