// Measurement benchmark: a 1,000-point power measurement at delay 0 against the bench simulator,
// report rows included, plainly, with the live plot open, with the bench trace on and with limits
// judging every point; also what judging a point costs alone, the start-up time of the window and
// the peak memory of the process.

#include "DevicesWork.h"
#include "ExcelWorker.h"
#include "LinkTrace.h"
#include "MainWindow.h"
#include "MeasurementPlot.h"
#include "RunJudging.h"
#include "RunStatus.h"
#include "MeasurementTypes.h"

#include <QApplication>
#include <QStatusBar>
#include <QDir>
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
    DevicesWork *worker = nullptr;
    bool synthUp = false;
    bool meterUp = false;
    bool ended = false;
    // A worker in its thread, connected to the simulated bench with RF on; with a results store
    // when a path is given. False when the instruments did not connect.
    auto startWorker = [&](const QString &storePath) {
        worker = new DevicesWork;
        worker->setReportFolder(dir.path());
        worker->setStorePath(storePath);
        worker->moveToThread(&thread);
        thread.start();
        worker->initialization();
        QMetaObject::invokeMethod(worker, [] {}, Qt::BlockingQueuedConnection);
        synthUp = meterUp = false;
        QObject::connect(worker, &DevicesWork::deviceConnected, &app, [&] { synthUp = true; });
        QObject::connect(worker, &DevicesWork::powerMeterConnected, &app, [&] { meterUp = true; });
        QObject::connect(worker, &DevicesWork::stopingMeasure, &app, [&] { ended = true; });
        worker->connectToDevice(synth);
        worker->connectToPowerMeter(meter);
        worker->rfOn();
        if (waitFor([&] { return synthUp && meterUp; }, 5000))
            return true;
        std::fprintf(stderr, "bench_measure: instruments did not connect\n");
        return false;
    };
    if (!startWorker(QString()))
        return 1;

    ValueFormMeasurePower form;
    form.freqStart = 100;
    form.freqStop = 10090;
    form.pointsCount = 1000;
    form.power = -10;
    form.pointsMode = true;
    form.channelA = true;
    form.delay = 0;
    form.fetchValues = false;
    int runs = 0;
    auto msPerPoint = [&] {
        // A workbook of its own for each run, so that no run appends to a longer one.
        const QString folder = dir.filePath(QString::number(++runs));
        QDir().mkpath(folder);
        worker->reportWriter()->setDirectory(folder);
        ended = false;
        QElapsedTimer run;
        run.start();
        worker->measurePower(form);
        waitFor([&] { return ended; }, 600000);
        return run.nsecsElapsed() / 1e6 / 1000;
    };
    const double plain = msPerPoint();

    // The window's additions: the plot, open and following every point, and the run status.
    QStatusBar statusBar;
    RunStatus status(&statusBar);
    MeasurementPlot plot;
    plot.show();
    QObject::connect(worker, &DevicesWork::runStarted, &plot, &MeasurementPlot::clear);
    QObject::connect(worker, &DevicesWork::pointMeasured, &plot, &MeasurementPlot::addPoint);
    QObject::connect(worker, &DevicesWork::runStarted, &status, &RunStatus::runStarted);
    QObject::connect(worker, &DevicesWork::pointMeasured, &status, &RunStatus::pointMeasured);
    const double withPlot = msPerPoint();
    plot.hide();
    QObject::disconnect(worker, &DevicesWork::pointMeasured, &plot, &MeasurementPlot::addPoint);

    LinkTrace::start(dir.filePath(QStringLiteral("trace.log")));
    const double withTrace = msPerPoint();
    LinkTrace::stop();
    // Plain once more, so that a drift over the runs shows against the additions' cost.
    const double plainAgain = msPerPoint();
    // A flatness mask of many corners with a margin, relative to the output power: the dearest
    // kind of judging.
    MeasurementLimits limits;
    limits.present = true;
    limits.relativeTo = MeasurementLimits::RelativeTo::Output;
    limits.margin = 0.5;
    for (int corner = 0; corner <= 100; ++corner) {
        const double frequency = 100 + corner * 100.0;
        limits.upper << MaskPoint{frequency, 5.0 - corner * 0.01};
        limits.lower << MaskPoint{frequency, -80.0 + corner * 0.01};
    }
    form.limits = limits;
    const double withLimits = msPerPoint();
    form.limits = MeasurementLimits();
    // Judging alone, over many points, as the worker judges and counts each.
    RunJudging judging;
    judging.begin(limits, false, 1000);
    judging.pass(1, form.power, 1);
    const int judgedPoints = 1000000;
    QElapsedTimer judgingClock;
    judgingClock.start();
    double sink = 0;
    for (int i = 0; i < judgedPoints; ++i)
        sink += judging.power(1, quint64(i) + 1, 100 + (i % 1000) * 9.99, form.power, -70.0 + (i % 7) * 0.1, true).margin;
    const double msPerJudgement = judgingClock.nsecsElapsed() / 1e6 / judgedPoints;
    // The same run with the results store: every point committed before its row is saved.
    thread.quit();
    thread.wait();
    delete worker;
    if (!startWorker(dir.filePath(QStringLiteral("rfbench.sqlite"))))
        return 1;
    const double withStore = msPerPoint();
    std::printf("power points=1000 ms_per_point=%.2f plot_ms_per_point=%.2f trace_ms_per_point=%.2f "
                "plain_again_ms_per_point=%.2f store_ms_per_point=%.2f limits_ms_per_point=%.2f\n", plain, withPlot,
                withTrace, plainAgain, withStore, withLimits);
    std::printf("judging us_per_point=%.3f share_of_a_point=%.4f%% (checksum %.0f)\n", msPerJudgement * 1000,
                100 * msPerJudgement / plainAgain, sink);
    std::printf("peak_rss_kb=%ld\n", peakRssKb());

    thread.quit();
    thread.wait();
    delete worker;
    sim.terminate();
    sim.waitForFinished(3000);
    return ended ? 0 : 1;
}
