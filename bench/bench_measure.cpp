// Measurement benchmark: a 1,000-point power measurement at delay 0 against the bench simulator,
// report rows included; also the start-up time of the window and the peak memory of the process.

#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "MainWindow.h"
#include "MeasurementTypes.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <sys/resource.h>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

template<typename Predicate>
bool waitFor(Predicate done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QElapsedTimer startup;
    startup.start();
    QApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    {
        MainWindow window;
        window.show();
        waitFor([&] { return window.isVisible(); }, 5000);
        QCoreApplication::processEvents();
        std::printf("startup ms=%.1f\n", startup.nsecsElapsed() / 1e6);
    }

    const QString simulator = QCoreApplication::applicationDirPath() + QStringLiteral("/benchsim");
    const QString synth = QStringLiteral("127.61.0.1");
    const QString meter = QStringLiteral("127.61.0.2");
    QProcess sim;
    sim.start(simulator, {"--synth-address", synth, "--powermeter-address", meter, "--analyzer-address",
                          QStringLiteral("127.61.0.3")});
    if (!sim.waitForStarted(5000)
        || !waitFor([&] { return sim.readAllStandardOutput().contains("benchsim ready") || sim.state() != QProcess::Running; }, 5000)
        || sim.state() != QProcess::Running) {
        std::fprintf(stderr, "bench_measure: the simulator did not start\n");
        return 1;
    }

    MeasurementTypes::registerAll();
    QTemporaryDir dir;
    QThread thread;
    auto *worker = new DevicesWork;
    worker->moveToThread(&thread);
    thread.start();
    worker->initialization();
    QMetaObject::invokeMethod(worker, [] {}, Qt::BlockingQueuedConnection);
    worker->reportWriter()->setDirectory(dir.path());
    bool synthUp = false;
    bool meterUp = false;
    bool ended = false;
    QObject::connect(worker, &DevicesWork::deviceConnected, &app, [&] { synthUp = true; });
    QObject::connect(worker, &DevicesWork::powerMeterConnected, &app, [&] { meterUp = true; });
    QObject::connect(worker, &DevicesWork::stopingMeasure, &app, [&] { ended = true; });
    worker->connectToDevice(synth);
    worker->connectToPowerMeter(meter);
    worker->rfOn();
    if (!waitFor([&] { return synthUp && meterUp; }, 5000)) {
        std::fprintf(stderr, "bench_measure: instruments did not connect\n");
        return 1;
    }

    ValueFormMeasurePower form;
    form.freqStart = 100;
    form.freqStop = 10090;
    form.pointsCount = 1000;
    form.power = -10;
    form.pointsMode = true;
    form.channelA = true;
    form.delay = 0;
    form.fetchValues = false;
    QElapsedTimer run;
    run.start();
    worker->measurePower(form);
    waitFor([&] { return ended; }, 600000);
    const double ms = run.nsecsElapsed() / 1e6;
    std::printf("power points=1000 ms_per_point=%.2f\n", ms / 1000);
    std::printf("peak_rss_kb=%ld\n", peakRssKb());

    thread.quit();
    thread.wait();
    delete worker;
    sim.terminate();
    sim.waitForFinished(3000);
    return ended ? 0 : 1;
}
