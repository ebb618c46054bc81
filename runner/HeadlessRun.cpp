#include "HeadlessRun.h"

#include "Counted.h"
#include "DevicesWork.h"
#include "JunitReport.h"
#include "MeasuredPoint.h"
#include "MeasurementTypes.h"
#include "SetupFile.h"
#include "SetupRecords.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace {

const int shutdownWaitMs = 5000;

// Said by the measurements of a run that lost the synthesizer.
const char synthesizerLost[] = "Synthesizer connection lost: the readings are not at the stated frequencies";

QString instrumentAddress(const BenchSetup &setup, const char *instrument)
{
    if (qstrcmp(instrument, "synthesizer") == 0) {
        switch (setup.transport) {
        case BenchSetup::Transport::Lan: return setup.synthesizerAddress + QStringLiteral(":5023");
        case BenchSetup::Transport::Serial: return QStringLiteral("serial port ") + setup.synthesizerAddress;
        case BenchSetup::Transport::Hid: return QStringLiteral("USB-HID device ") + setup.synthesizerAddress;
        }
    }
    if (qstrcmp(instrument, "power meter") == 0)
        return setup.powerMeterAddress + QStringLiteral(":5025");
    return setup.analyzerAddress + QStringLiteral(":5025");
}

// A number for the JSON summary: null where there is none.
QJsonValue jsonNumber(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

} // namespace

HeadlessRun::HeadlessRun(const BenchSetup &setup, const Options &options, FILE *out, FILE *err, QObject *parent)
    : QObject(parent)
    , setup(setup)
    , options(options)
    , out(out)
    , err(err)
{
}

HeadlessRun::~HeadlessRun()
{
    shutDownWorker();
}

template <typename Signal>
bool HeadlessRun::waitFor(const std::function<void()> &request, Signal signal, int timeoutMs, bool *failed)
{
    QEventLoop loop;
    bool arrived = false;
    const QMetaObject::Connection done = connect(worker, signal, &loop, [&] {
        arrived = true;
        loop.quit();
    });
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (timeoutMs > 0)
        timer.start(timeoutMs);
    QMetaObject::Connection refused;
    if (failed) {
        *failed = false;
        refused = connect(worker, &DevicesWork::textIsClosePort, &loop, [&] {
            *failed = true;
            loop.quit();
        });
    }
    // A stop ends a wait for a connection at once; a running measurement is waited for.
    QMetaObject::Connection stop;
    if (timeoutMs > 0)
        stop = connect(this, &HeadlessRun::stopping, &loop, &QEventLoop::quit);
    // The request goes out only now: its answer may arrive before the loop runs, not before the
    // connections that catch it.
    request();
    if (!(timeoutMs > 0 && stopRequested))
        loop.exec();
    disconnect(done);
    disconnect(refused);
    disconnect(stop);
    return arrived;
}

bool HeadlessRun::connectInstruments()
{
    bool needsMeter = false;
    bool needsAnalyzer = false;
    for (const MeasurementSetup &m : setup.measurements) {
        if (!m.run)
            continue;
        needsMeter |= m.kind == MeasurementSetup::Kind::Power;
        needsAnalyzer |= m.kind == MeasurementSetup::Kind::Spur;
    }
    const auto unreachable = [this](const char *instrument, const QString &why) {
        note(QStringLiteral("rfbench run: the %1 at %2 could not be reached (%3)")
                 .arg(QLatin1String(instrument), instrumentAddress(setup, instrument), why));
        return false;
    };
    const QString noAnswer = QStringLiteral("no connection within %1 s").arg(options.connectTimeoutMs / 1000.0);

    // The LAN instruments first: an unreachable one is found before anything reaches the
    // synthesizer, and connecting sends no byte to any instrument.
    if (needsMeter) {
        if (!waitFor([this] { worker->connectToPowerMeter(setup.powerMeterAddress); },
                     &DevicesWork::powerMeterConnected, options.connectTimeoutMs))
            return stopRequested ? false : unreachable("power meter", noAnswer);
        powerMeterConnected = true;
    }
    if (needsAnalyzer) {
        if (!waitFor([this] { worker->connectToSpectrumAnalyzer(setup.analyzerAddress); },
                     &DevicesWork::spectrumAnalyzerConnected, options.connectTimeoutMs))
            return stopRequested ? false : unreachable("spectrum analyzer", noAnswer);
        analyzerConnected = true;
    }
    bool refused = false;
    switch (setup.transport) {
    case BenchSetup::Transport::Lan:
        if (!waitFor([this] { worker->connectToDevice(setup.synthesizerAddress); }, &DevicesWork::deviceConnected,
                     options.connectTimeoutMs))
            return stopRequested ? false : unreachable("synthesizer", noAnswer);
        break;
    case BenchSetup::Transport::Serial:
        if (!waitFor([this] { worker->connectToDeviceUsbCom(setup.synthesizerAddress); },
                     &DevicesWork::textIsOpenPort, options.connectTimeoutMs, &refused))
            return stopRequested ? false
                                 : unreachable("synthesizer", refused ? QStringLiteral("the port does not open") : noAnswer);
        break;
    case BenchSetup::Transport::Hid:
        worker->searchUsbHidDevices();
        if (!waitFor([this] { worker->connectToDeviceUsbHid(setup.synthesizerAddress); },
                     &DevicesWork::textIsOpenPort, options.connectTimeoutMs, &refused))
            return stopRequested ? false
                                 : unreachable("synthesizer", refused ? QStringLiteral("the device does not open") : noAnswer);
        break;
    }
    synthesizerConnected = true;
    return true;
}

void HeadlessRun::runMeasurement(int index)
{
    const MeasurementSetup &m = setup.measurements.at(index);
    worker->setRunRecord(SetupFile::write(SetupFile::only(setup, index)), SetupFile::describeInstruments(setup));
    if (options.resumeRun != 0)
        worker->setResume(options.resumeRun, options.resumePass, options.resumePoint);
    // The window's live options, as its fields would have set them before the start.
    worker->setCycle(m.cycle, m.powerStep);
    worker->setDelay(m.delay);
    worker->setFetchValues(m.kind == MeasurementSetup::Kind::Power && m.fetchValues);
    worker->setChannelChosen(!setup.channel.isEmpty());
    worker->setIdentify(SetupRecords::identifies(setup));
    lastJudgement = RunJudgement();
    waitFor(
        [this, &m] {
            const Corrections::CorrectionTable *table =
                options.corrections.table(SetupCorrections::pathOf(setup, m));
            if (m.kind == MeasurementSetup::Kind::Power) {
                ValueFormMeasurePower form = SetupRecords::powerRecord(setup, m);
                if (table)
                    form.correction = *table;
                worker->measurePower(form);
            } else {
                ValueForm form = SetupRecords::spurRecord(setup, m);
                if (table)
                    form.correction = *table;
                worker->measureSpectrum(form);
            }
        },
        &DevicesWork::stopingMeasure, 0);
    MeasurementDone done;
    done.kind = SetupFile::kindName(m.kind);
    done.measurement = progress.measurement();
    done.points = progress.measuredHere();
    done.runPoints = progress.done();
    done.withoutReading = progress.withoutReading();
    done.passes = progress.pass();
    done.stopped = progress.stopped();
    done.elapsedMs = runClock.elapsed();
    done.troubles = progress.troublesPerInstrument();
    done.index = index;
    done.started = runStartedAt;
    done.judgement = lastJudgement;
    finished << done;
}

void HeadlessRun::disconnectInstruments()
{
    if (powerMeterConnected)
        worker->disconnectFromPowerMeter();
    if (analyzerConnected)
        worker->disconnectFromSpectrumAnalyzer();
    if (synthesizerConnected) {
        switch (setup.transport) {
        case BenchSetup::Transport::Lan: worker->disconnectFromDevice(); break;
        case BenchSetup::Transport::Serial: worker->disconnectFromDeviceUsbCom(); break;
        case BenchSetup::Transport::Hid: worker->disconnectFromDeviceUsbHid(); break;
        }
    }
}

void HeadlessRun::settleWaitingRows()
{
    if (worker->waitingReportRows().isEmpty() || worker->retryWaitingReportRows())
        return;
    // The process ends: rows that still wait go to a workbook in the temporary folder, so that
    // they outlive it; the message says where.
    const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
                               .filePath(QStringLiteral("rfbench unsaved rows"));
    QDir().mkpath(folder);
    savingElsewhere = true;
    for (const auto &rows : worker->waitingReportRows()) {
        const QString path = QDir(folder).filePath(rows.first + QStringLiteral(".xlsx"));
        const bool saved = worker->saveWaitingReportRowsAs(rows.first, path);
        if (saved)
            unsaved << QStringLiteral("%1 of “%2.xlsx” could not be saved there; they were saved to %3")
                           .arg(Counted::of(rows.second, "row"), rows.first, QDir::toNativeSeparators(path));
        else
            unsaved << QStringLiteral("%1 of “%2.xlsx” could not be saved, also not to %3: they are lost")
                           .arg(Counted::of(rows.second, "row"), rows.first, QDir::toNativeSeparators(path));
        // The summary counts them apart from the rows that reached the workbook.
        const QString name = recoveredNames.value(rows.first, rows.first);
        for (Workbook &w : workbooks)
            if (w.name == name) {
                w.notSaved = qMin(w.rows, rows.second);
                w.savedTo = saved ? path : QString();
            }
    }
}

void HeadlessRun::shutDownWorker()
{
    if (!workerThread)
        return;
    worker->recordReportRows();
    QMetaObject::invokeMethod(
        worker,
        [this] {
            worker->closeStore();
            storeRuns = worker->recordedRuns();
        },
        Qt::BlockingQueuedConnection);
    // Its notices are said before the summary.
    QCoreApplication::sendPostedEvents(this);
    workerThread->quit();
    const bool ended = workerThread->wait(shutdownWaitMs);
    // The store's last words, on marks it could not take, come after the measurements' event loops.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (ended) {
        delete worker;
        delete workerThread;
    }
    worker = nullptr;
    workerThread = nullptr;
}

int HeadlessRun::exec()
{
    totalClock.start();
    MeasurementTypes::registerAll();
    worker = new DevicesWork;
    workerThread = new QThread;
    worker->setReportFolder(options.workbookFolder);
    worker->setStorePath(options.storePath, options.storeNamedBy);
    worker->setStation(options.station);
    worker->setUnit(options.unit, options.operatorName);
    connect(worker, &DevicesWork::storeNotice, this, &HeadlessRun::note);
    connect(worker, &DevicesWork::runJudged, this, [this](const RunJudgement &judgement) { lastJudgement = judgement; });
    // Another program went on with the run between the check and the start.
    connect(worker, &DevicesWork::runRefused, this, [this](const QString &why) {
        refusedResume = why;
        note(QStringLiteral("rfbench run: ") + why);
        stopRequested = true;
    });
    connect(worker, &DevicesWork::runStarted, this, &HeadlessRun::onRunStarted);
    connect(worker, &DevicesWork::passStarted, this, &HeadlessRun::onPassStarted);
    connect(worker, &DevicesWork::pointMeasured, this, &HeadlessRun::onPoint);
    connect(worker, &DevicesWork::pointWithoutReading, this, [this](int pass, quint64 number) {
        progress.pointWithoutReading(pass, number);
        drawStatus();
    });
    connect(worker, &DevicesWork::runEnded, this, &HeadlessRun::onRunEnded);
    connect(worker, &DevicesWork::instrumentTrouble, this, &HeadlessRun::onTrouble);
    // A warning of a run's start goes out at once and again in the measurement's summary. The
    // RF output is never warned of here: this program sends no RF command in a run and cannot
    // tell how the synthesizer was left.
    connect(worker, &DevicesWork::runWarning, this, [this](const QString &text) {
        progress.warning(text);
        warnings << text;
        note(QStringLiteral("Warning: ") + text);
    });
    connect(worker, &DevicesWork::analyzerSettling, this, [this](bool settling) {
        if (settling)
            progress.settlingStarted(runClock.elapsed());
        else
            progress.settlingEnded(runClock.elapsed());
        drawStatus();
    });
    connect(worker, &DevicesWork::reportRowsWaiting, this, [this](const QString &workbook, int rows, const QString &reason) {
        note(QStringLiteral("Not saved: %1 for “%2.xlsx” (%3); they wait in memory and are saved with the next row")
                 .arg(Counted::of(rows, "row"), workbook, reason));
    });
    connect(worker, &DevicesWork::reportRowsSaved, this, [this](const QString &workbook, int rows) {
        if (savingElsewhere)
            return;
        note(QStringLiteral("%1 saved to “%2.xlsx”; none waits any more.").arg(Counted::of(rows, "waiting row"), workbook));
    });
    connect(worker, &DevicesWork::reportRowsRecovered, this,
            [this](const QString &workbook, const QString &recovered, const QString &reason) {
                note(QStringLiteral("“%1.xlsx” could not be used (%2): its rows go to “%3.xlsx”")
                         .arg(workbook, reason, recovered));
                // The summary names the workbook that holds the rows.
                recoveredNames.insert(workbook, recovered);
                for (Workbook &w : workbooks)
                    if (w.name == workbook)
                        w.name = recovered;
            });
    QTimer clockTick;
    connect(&clockTick, &QTimer::timeout, this, &HeadlessRun::drawStatus);
    if (options.terminal)
        clockTick.start(1000);

    worker->moveToThread(workerThread);
    workerThread->start();
    worker->initialization();
    // Rows an earlier run left only in the store reach their workbooks before anything is measured.
    worker->recoverUnsavedRows();
    // The connections' time-outs count from here: a store held by another program, or many rows
    // to write, must not pass for an instrument that does not answer.
    QMetaObject::invokeMethod(worker, [] {}, Qt::BlockingQueuedConnection);

    if (!connectInstruments()) {
        disconnectInstruments();
        shutDownWorker();
        const int code = stopRequested ? Stopped : Unreachable;
        printSummary(code, stopRequested ? QStringLiteral("stopped before the first measurement") : QString());
        return code;
    }
    // A resumed run is one measurement: the run records its setup alone, not the sequence it
    // may have come from.
    if (options.resumeRun != 0)
        note(QStringLiteral("rfbench run: %1 goes on with its own %2 measurement alone; measurements that followed it "
                            "in a sequence are not run")
                 .arg(options.setupName, SetupFile::kindName(setup.measurements.first().kind)));
    for (int i = 0; i < setup.measurements.size(); ++i) {
        if (!setup.measurements.at(i).run)
            continue;
        if (!stopRequested)
            runMeasurement(i);
        else
            notStarted << QStringLiteral("measurements[%1] (%2)").arg(i).arg(SetupFile::kindName(setup.measurements.at(i).kind));
    }
    settleWaitingRows();
    disconnectInstruments();
    shutDownWorker();
    // A failed unit outranks a lost link and a stop; a point without a reading is outranked by
    // both, which tell why it had none.
    const Verdict::Grade grade = overall().grade;
    const int code = !refusedResume.isEmpty()           ? BadSetup
                     : !unsaved.isEmpty()               ? RowsNotSaved
                     : grade == Verdict::Grade::Fail    ? NotPassed
                     : !lostLink.isEmpty()              ? LinkLost
                     : stopRequested                    ? Stopped
                     : grade == Verdict::Grade::NoReading ? NotPassed
                                                        : Finished;
    QString why;
    if (!lostLink.isEmpty())
        why = QStringLiteral("the %1's connection was lost during the run").arg(lostLink.toLower());
    if (lostLink == QLatin1String("Synthesizer"))
        why += QStringLiteral(": the readings are not at the stated frequencies");
    printSummary(code, why);
    return code;
}

void HeadlessRun::requestStop()
{
    if (!stopAnnounced)
        note(QStringLiteral("stopping: the point under way is finished and saved"));
    stopAnnounced = true;
    stopRequested = true;
    if (worker)
        worker->requestStop();
    emit stopping();
}

void HeadlessRun::onRunStarted(const QString &measurement, quint64 pointsPerPass, int passes)
{
    sayUnsaidCounts();
    floods.clear(); // counted again from the run's start, as the progress counts them
    progress.runStarted(measurement, pointsPerPass, passes);
    runStartedAt = QDateTime::currentDateTime();
    if (lostLink == QLatin1String("Synthesizer"))
        progress.warning(QLatin1String(synthesizerLost));
    runClock.start();
    if (!options.terminal)
        note(QStringLiteral("%1: %2 per pass%3").arg(measurement, Counted::of(qint64(pointsPerPass), "point"))
                 .arg(passes > 1 ? QStringLiteral(", %1 passes").arg(passes) : QString()));
    drawStatus();
}

void HeadlessRun::onPassStarted(int pass, int passes)
{
    progress.passStarted(pass, passes);
    if (!options.terminal && pass > 1)
        note(QStringLiteral("%1: pass %2%3").arg(progress.measurement()).arg(pass)
                 .arg(passes > 0 ? QStringLiteral(" of %1").arg(passes) : QString()));
    drawStatus();
}

void HeadlessRun::onPoint(const MeasuredPoint &point)
{
    progress.pointMeasured(point);
    const QString name = recoveredNames.value(point.workbook, point.workbook);
    auto it = std::find_if(workbooks.begin(), workbooks.end(), [&name](const Workbook &w) { return w.name == name; });
    if (it == workbooks.end())
        workbooks << Workbook{name, 1, 0, QString()};
    else
        ++it->rows;
    if (runClock.elapsed() - lastDraw >= 100)
        drawStatus();
}

void HeadlessRun::onRunEnded(bool stopped)
{
    progress.runEnded(stopped);
    if (options.terminal && statusShown) {
        std::fputs("\r\x1b[K", err);
        statusShown = false;
    }
    sayUnsaidCounts();
    note(progress.summary(runClock.elapsed()));
    if (lastJudgement.limits.present)
        note(progress.measurement() + QStringLiteral(": ") + lastJudgement.summary());
}

void HeadlessRun::onTrouble(const QString &instrument, const QString &trouble)
{
    // The run goes on as in the window, but its points after the loss measured nothing, or, for
    // the synthesizer, at frequencies it was never set to: also when the link was lost between
    // the connection and the measurement.
    if (trouble == QLatin1String("connection lost") && lostLink.isEmpty()) {
        lostLink = instrument;
        if (instrument == QLatin1String("Synthesizer") && progress.isRunning())
            progress.warning(QLatin1String(synthesizerLost));
    }
    // A flood of one trouble would bury everything else said here: it is summarised.
    Flood &flood = floods[instrument + QStringLiteral(": ") + trouble];
    flood.line = progress.trouble(instrument, trouble);
    if (TroubleFlood::arrive(flood.state, totalClock.elapsed()))
        note(flood.line);
}

void HeadlessRun::sayUnsaidCounts()
{
    for (Flood &flood : floods) {
        if (!TroubleFlood::countUnsaid(flood.state))
            continue;
        TroubleFlood::shown(flood.state, totalClock.elapsed());
        note(flood.line);
    }
}

void HeadlessRun::note(const QString &line)
{
    if (options.terminal && statusShown)
        std::fputs("\r\x1b[K", err);
    std::fputs(line.toLocal8Bit().constData(), err);
    std::fputc('\n', err);
    statusShown = false;
    if (options.terminal && progress.isRunning())
        drawStatus();
    std::fflush(err);
}

void HeadlessRun::drawStatus()
{
    if (!options.terminal || !progress.isRunning())
        return;
    lastDraw = runClock.elapsed();
    const QByteArray line = progress.progressText(lastDraw).toLocal8Bit();
    std::fprintf(err, "\r%s\x1b[K", line.constData());
    std::fflush(err);
    statusShown = true;
}

void HeadlessRun::printSummary(int code, const QString &why)
{
    sayUnsaidCounts();
    for (const QString &line : unsaved)
        note(line);
    if (!why.isEmpty())
        note(QStringLiteral("rfbench run: ") + why);
    if (!notStarted.isEmpty())
        note(QStringLiteral("rfbench run: the sequence stopped before %1; --resume goes on with a stopped run's own "
                            "measurement alone, not with these: run them from the setup file")
                 .arg(notStarted.join(QStringLiteral(", "))));
    static const char *const outcomes[] = {"finished", "failed", "bad setup", "unreachable", "stopped",
                                              "rows not saved", "connection lost", "not passed"};
    const Overall verdict = overall();
    const QString outcome = QLatin1String(outcomes[code]);
    quint64 points = 0;
    quint64 runPoints = 0;
    quint64 withoutReading = 0;
    int passes = 0;
    QMap<QString, int> troubles;
    for (const MeasurementDone &f : finished) {
        points += f.points;
        runPoints += f.runPoints;
        withoutReading += f.withoutReading;
        passes += f.passes;
        for (auto it = f.troubles.cbegin(); it != f.troubles.cend(); ++it)
            troubles[it.key()] += it.value();
    }
    if (!options.json) {
        QString text = QStringLiteral("%1: %2").arg(options.setupName, outcome);
        if (!why.isEmpty())
            text += QStringLiteral(" (%1)").arg(why);
        text += QStringLiteral(", %1%2 in %3, %4")
                    .arg(Counted::of(qint64(points), "point"))
                    .arg(withoutReading > 0 ? QStringLiteral(", %1 without a reading,").arg(withoutReading) : QString())
                    .arg(Counted::of(finished.size(), "measurement"), RunProgress::duration(totalClock.elapsed()));
        if (runPoints != points)
            text += QStringLiteral("; the resumed run has %1").arg(Counted::of(qint64(runPoints), "point"));
        for (const Workbook &w : workbooks) {
            text += QStringLiteral("\n  %1 to “%2.xlsx”").arg(Counted::of(w.rows - w.notSaved, "row"), w.name);
            if (w.notSaved > 0)
                text += w.savedTo.isEmpty() ? QStringLiteral("; %1 lost").arg(w.notSaved)
                                            : QStringLiteral("; %1 to %2").arg(w.notSaved).arg(QDir::toNativeSeparators(w.savedTo));
        }
        for (const QString &measurement : notStarted)
            text += QStringLiteral("\n  %1 not started").arg(measurement);
        if (verdict.hasLimits)
            text += QLatin1Char('\n') + verdict.summary();
        std::fprintf(out, "%s\n", text.toLocal8Bit().constData());
        std::fflush(out);
        return;
    }
    QJsonObject summary;
    summary.insert(QStringLiteral("setup"), options.setupName);
    summary.insert(QStringLiteral("outcome"), outcome);
    summary.insert(QStringLiteral("exitCode"), code);
    if (!why.isEmpty())
        summary.insert(QStringLiteral("reason"), why);
    summary.insert(QStringLiteral("elapsedMs"), double(totalClock.elapsed()));
    summary.insert(QStringLiteral("points"), double(points));
    summary.insert(QStringLiteral("runPoints"), double(runPoints));
    summary.insert(QStringLiteral("withoutReading"), double(withoutReading));
    summary.insert(QStringLiteral("passes"), passes);
    QJsonArray measurements;
    for (const MeasurementDone &f : finished) {
        QJsonObject entry;
        entry.insert(QStringLiteral("kind"), f.kind);
        entry.insert(QStringLiteral("points"), double(f.points));
        entry.insert(QStringLiteral("runPoints"), double(f.runPoints));
        entry.insert(QStringLiteral("withoutReading"), double(f.withoutReading));
        entry.insert(QStringLiteral("passes"), f.passes);
        entry.insert(QStringLiteral("stopped"), f.stopped);
        entry.insert(QStringLiteral("elapsedMs"), double(f.elapsedMs));
        entry.insert(QStringLiteral("verdict"), f.judgement.limits.present ? QJsonValue(Verdict::text(f.judgement.grade))
                                                                           : QJsonValue(QJsonValue::Null));
        measurements.append(entry);
    }
    summary.insert(QStringLiteral("measurements"), measurements);
    summary.insert(QStringLiteral("notStarted"), QJsonArray::fromStringList(notStarted));
    // Each workbook with the rows that reached it; rows that did not are counted where they went.
    QJsonArray books;
    for (const Workbook &w : workbooks) {
        QJsonObject book{{QStringLiteral("workbook"), QDir(options.workbookFolder).filePath(w.name + QStringLiteral(".xlsx"))},
                         {QStringLiteral("rows"), w.rows - w.notSaved}};
        if (w.notSaved > 0 && w.savedTo.isEmpty())
            book.insert(QStringLiteral("lost"), w.notSaved);
        else if (w.notSaved > 0)
            book.insert(QStringLiteral("savedElsewhere"),
                        QJsonObject{{QStringLiteral("workbook"), w.savedTo}, {QStringLiteral("rows"), w.notSaved}});
        books.append(book);
    }
    summary.insert(QStringLiteral("workbooks"), books);
    // The values above are at the unit, corrected by these; the workbooks and the store keep the
    // meters' readings too.
    QJsonArray tables;
    for (const Corrections::CorrectionTable &table : options.corrections.tables)
        tables.append(QJsonObject{{QStringLiteral("path"), Corrections::pathKey(table.path)},
                                  {QStringLiteral("source"), table.source},
                                  {QStringLiteral("sha256"), table.sha256},
                                  {QStringLiteral("due"), table.due.isNull() ? QJsonValue()
                                                                             : QJsonValue(table.due.toString(Qt::ISODate))}});
    summary.insert(QStringLiteral("corrections"), tables);
    QJsonObject troubleCounts;
    for (auto it = troubles.cbegin(); it != troubles.cend(); ++it)
        troubleCounts.insert(it.key(), it.value());
    summary.insert(QStringLiteral("troubles"), troubleCounts);
    summary.insert(QStringLiteral("unsaved"), QJsonArray::fromStringList(unsaved));
    summary.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(warnings));
    summary.insert(QStringLiteral("unit"), options.unit.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(options.unit));
    summary.insert(QStringLiteral("operator"), options.operatorName.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                                              : QJsonValue(options.operatorName));
    summary.insert(QStringLiteral("verdict"), verdict.hasLimits ? QJsonValue(Verdict::text(verdict.grade))
                                                                : QJsonValue(QJsonValue::Null));
    summary.insert(QStringLiteral("failed"), double(verdict.tally.failed));
    summary.insert(QStringLiteral("marginal"), double(verdict.tally.marginal));
    summary.insert(QStringLiteral("unread"), double(verdict.tally.unread));
    // The first ten failed points of the whole sequence, in the order measured.
    QJsonArray failures;
    for (const MeasurementDone &f : finished)
        for (const Verdict::Tally::Failure &failure : f.judgement.tally.firstFailures) {
            if (failures.size() >= 10)
                break;
            const Verdict::Judgement &j = failure.judgement;
            failures.append(QJsonObject{{QStringLiteral("measurement"), measurementName(f.index)},
                                        {QStringLiteral("pass"), failure.pass},
                                        {QStringLiteral("point"), double(failure.number)},
                                        {QStringLiteral("frequencyMhz"), failure.frequency},
                                        {QStringLiteral("value"), jsonNumber(j.value)},
                                        {QStringLiteral("limit"), jsonNumber(j.limit)},
                                        // Without the noise of the subtraction in its last digits.
                                        {QStringLiteral("by"), jsonNumber(std::round((j.value - j.limit) * 1e9) / 1e9)},
                                        {QStringLiteral("what"), j.failure}});
        }
    summary.insert(QStringLiteral("firstFailures"), failures);
    std::fputs(QJsonDocument(summary).toJson(QJsonDocument::Compact).constData(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

QString HeadlessRun::Overall::summary() const
{
    Verdict::Tally shown = tally;
    shown.grade = grade;
    return shown.summary();
}

HeadlessRun::Overall HeadlessRun::overall() const
{
    Overall result;
    bool reachedItsEnd = true;
    for (int i = 0; i < setup.measurements.size(); ++i) {
        const MeasurementSetup &m = setup.measurements.at(i);
        if (!m.run || !m.limits.present)
            continue;
        result.hasLimits = true;
        const auto done = std::find_if(finished.cbegin(), finished.cend(), [i](const MeasurementDone &f) { return f.index == i; });
        // Not started, or refused at its start: the unit was not tested to the end.
        if (done == finished.cend() || !done->judgement.limits.present) {
            reachedItsEnd = false;
            continue;
        }
        result.tally.merge(done->judgement.tally);
        reachedItsEnd = reachedItsEnd && done->judgement.reachedItsEnd;
    }
    result.grade = Verdict::ofRun(result.tally.grade, reachedItsEnd, result.hasLimits);
    return result;
}

QString HeadlessRun::measurementName(int index) const
{
    return QStringLiteral("measurements[%1] (%2)").arg(index).arg(SetupFile::kindName(setup.measurements.at(index).kind));
}

QByteArray HeadlessRun::junitReport() const
{
    const QString station = options.station.isEmpty() ? QHostInfo::localHostName() : options.station;
    int runs = 0;
    for (const MeasurementSetup &m : setup.measurements)
        runs += m.run;
    const auto passName = [](int pass, double power) {
        return QStringLiteral("pass %1, %2 dBm").arg(pass).arg(QString::number(power, 'g', 6));
    };
    QVector<JunitReport::Suite> suites;
    for (int i = 0; i < setup.measurements.size(); ++i) {
        const MeasurementSetup &m = setup.measurements.at(i);
        if (!m.run)
            continue;
        const QString kind = SetupFile::kindName(m.kind);
        JunitReport::Suite suite;
        suite.name = runs > 1 ? options.setupName + QLatin1Char(' ') + measurementName(i) : options.setupName;
        suite.hostname = station;
        suite.properties << qMakePair(QStringLiteral("unit"), options.unit)
                         << qMakePair(QStringLiteral("operator"), options.operatorName)
                         << qMakePair(QStringLiteral("station"), station)
                         << qMakePair(QStringLiteral("measurement"), measurementName(i));
        if (m.limits.present) {
            // As the setup file gives them.
            const QJsonObject written = QJsonDocument::fromJson(SetupFile::write(SetupFile::only(setup, i))).object();
            suite.properties << qMakePair(QStringLiteral("limits"),
                                          QString::fromUtf8(QJsonDocument(written.value(QStringLiteral("limits")).toObject())
                                                                .toJson(QJsonDocument::Compact)));
        }
        const auto done = std::find_if(finished.cbegin(), finished.cend(), [i](const MeasurementDone &f) { return f.index == i; });
        if (done == finished.cend()) {
            suite.timestamp = QDateTime::currentDateTime();
            suite.cases << JunitReport::Case{kind, QStringLiteral("not run"), Verdict::Tally(),
                                             QStringLiteral("not run: the run ended before this measurement"), false};
            suites << suite;
            continue;
        }
        const RunJudgement &j = done->judgement;
        suite.timestamp = done->started;
        suite.seconds = done->elapsedMs / 1000.0;
        for (const RunJudgement::Pass &p : j.passes) {
            QString skipped;
            if (!j.limits.present)
                skipped = QStringLiteral("no limits: not judged");
            else if (p.points < j.pointsPerPass)
                skipped = QStringLiteral("stopped after %1 of %2 points").arg(p.points).arg(j.pointsPerPass);
            suite.cases << JunitReport::Case{kind, passName(p.pass, p.outputPower), p.tally, skipped, j.spur};
        }
        if (j.passes.isEmpty() && j.limits.present) {
            // A run with limits that made no pass judged nothing.
            Verdict::Tally none;
            none.grade = j.reachedItsEnd ? Verdict::Grade::NoReading : Verdict::Grade::None;
            suite.cases << JunitReport::Case{kind, QStringLiteral("no pass"), none,
                                             j.reachedItsEnd ? QString() : QStringLiteral("not run: stopped"), j.spur};
        }
        // The passes a stop kept from starting.
        if (!j.passes.isEmpty())
            for (int pass = j.passes.last().pass + 1; pass <= j.passesExpected; ++pass)
                suite.cases << JunitReport::Case{
                    kind, passName(pass, j.passes.last().outputPower + double(m.powerStep) * (pass - j.passes.last().pass)),
                    Verdict::Tally(), QStringLiteral("not run: the run was stopped"), j.spur};
        suites << suite;
    }
    return JunitReport::write(suites);
}
