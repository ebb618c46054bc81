// Runs power and spur measurements against a bench simulator, headless and without end, and
// reports on standard output how many rows of each workbook are complete, for the crash test
// that kills it at random moments. With --storage-fault the workbooks cannot be written for a
// while during the run (the process's file-size limit is lowered, then lifted again), and it
// ends by itself two runs later.

#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "MeasurementTypes.h"
#include "Pause.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Every write past the limit fails with EFBIG after a partial write, as on a full disk.
void limitFileSize(bool low)
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = low ? 512 : limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
#else
    Q_UNUSED(low);
#endif
}

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
                       {"spur-first", "Start with the spur measurement."},
                       {"cycle", "Cycle each power run over two passes at rising power."},
                       {"storage-fault", "Make the workbooks unwritable for a while, then end."},
                       {"store", "Keep the runs in this results store.", "file"},
                       {"recover-only", "Write the rows the store holds but the workbooks lack, then end."}});
    parser.process(app);

    const bool storageFault = parser.isSet("storage-fault");
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    MeasurementTypes::registerAll();
    // The analyzer's settling pauses would make the runs slow; the rows are what matters here.
    Pause::setSleepFunction([](unsigned long ms) { QThread::msleep(qMin(ms, 2UL)); });

    QThread thread;
    DevicesWork worker;
    worker.setReportFolder(parser.value("dir"));
    worker.setStorePath(parser.value("store"));
    worker.moveToThread(&thread);
    thread.start();
    worker.initialization();
    worker.recoverUnsavedRows();
    QMetaObject::invokeMethod(&worker, [] {}, Qt::BlockingQueuedConnection);
    if (parser.isSet("recover-only")) {
        worker.recordReportRows();
        thread.quit();
        thread.wait();
        return 0;
    }
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
    // Two passes: 15 dBm, then 20 dBm; the next step would reach the ceiling.
    const bool cycled = parser.isSet("cycle");
    power.cycle = cycled;
    if (cycled) {
        power.power = 15;
        worker.setCycle(true, 5);
    }
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
    enum { Writable, Limited, Lifted } storage = Writable;
    int limitedAt = 0;
    int runsSinceLift = 0;
    auto report = [&] {
        std::printf("power %d spur %d\n", powerRows, spurRows);
        std::fflush(stdout);
        const int total = powerRows + spurRows;
        if (storageFault && storage == Writable && total >= 5) {
            limitFileSize(true);
            storage = Limited;
            limitedAt = total;
        } else if (storage == Limited && total >= limitedAt + 12) {
            limitFileSize(false);
            storage = Lifted;
        }
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
        const int total = int(spurRunning ? spur.pointsCount : power.pointsCount * (cycled ? 2 : 1));
        (spurRunning ? spurRows : powerRows) += total - runPoints;
        runPoints = 0;
        report();
        if (storage == Lifted && ++runsSinceLift > 2) {
            app.exit(0);
            return;
        }
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
    const int result = app.exec();
    thread.quit();
    thread.wait();
    return result;
}
