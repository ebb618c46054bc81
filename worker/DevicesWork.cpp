#include "DevicesWork.h"

#include "ComInitializer.h"
#include "Counted.h"
#include "ExcelWorker.h"
#include "FrequencyGrid.h"
#include "OrvaneDeviceDriver.h"
#include "PathLoss.h"
#include "Pause.h"
#include "PowerMeterDriver.h"
#include "Readings.h"
#include "RunRecorder.h"
#include "SqliteStore.h"
#include "SpectrumAnalyzerDriver.h"
#include "SpurEvaluation.h"

#include <QDate>
#include <QMetaObject>
#include <QRegularExpression>
#include <QThread>
#include <QtDebug>

#include <cmath>

namespace {

const unsigned long commandPauseMs = 300;
const unsigned long passPauseMs = 150;
const unsigned long adjustPauseMs = 7000;
const double powerCeilingDbm = 30.0;
const double spurPowerCeilingDbm = 15.0;
const int fetchedReadings = 20;

QString g6(double value)
{
    return QString::number(value, 'g', 6);
}

QString dotted(QString address)
{
    return address.replace(QLatin1Char(','), QLatin1Char('.'));
}

} // namespace

DevicesWork::DevicesWork(QObject *parent)
    : QObject(parent)
{
}

DevicesWork::~DevicesWork()
{
    for (QObject *object : std::initializer_list<QObject *>{synthesizer, powerMeter,
                                                            spectrumAnalyzer, excelWorker}) {
        if (!object)
            continue;
        object->disconnect();
        delete object;
    }
    recorder.reset();
}

bool DevicesWork::repost(const char *name, QGenericArgument a0, QGenericArgument a1,
                         QGenericArgument a2, QGenericArgument a3, QGenericArgument a4,
                         QGenericArgument a5)
{
    if (thread() == QThread::currentThread())
        return false;
    QMetaObject::invokeMethod(this, name, Qt::AutoConnection, a0, a1, a2, a3, a4, a5);
    return true;
}

void DevicesWork::traceThreads()
{
    qDebug() << "Thread" << thread() << "ThreadCurrent" << QThread::currentThread();
}

void DevicesWork::requestStop()
{
    // A stop also holds for every measurement asked for before it but not yet begun.
    stopTicket = startsAsked.load();
    stopFlag = true;
}

void DevicesWork::beginMeasurement()
{
    // Starts are served in the order they were asked, so the n-th begun is the n-th asked; a
    // start made in this thread is asked and begun at once.
    const quint64 ticket = ++startsBegun;
    quint64 asked = startsAsked.load();
    while (asked < ticket && !startsAsked.compare_exchange_weak(asked, ticket)) {
    }
    stopFlag = stopTicket.load() >= ticket;
}

void DevicesWork::setCycle(bool cycle, int step)
{
    cycleFlag = cycle;
    powerStep = step;
}

void DevicesWork::setDelay(int delay)
{
    delayMs = delay;
}

void DevicesWork::setFetchValues(bool fetchValues)
{
    fetchValuesFlag = fetchValues;
}

void DevicesWork::setShownRfOff(bool off)
{
    rfShownOff = off;
}

void DevicesWork::setChannelChosen(bool chosen)
{
    channelChosen = chosen;
}

void DevicesWork::setIdentify(bool on)
{
    identifyFlag = on;
}

QString DevicesWork::identities(bool spur)
{
    if (!identifyFlag || stopFlag)
        return QString();
    const auto line = [](const char *name, Identity &identity, const std::function<QString()> &ask) {
        if (!identity.linked)
            return QString();
        if (!identity.asked) {
            identity.text = ask();
            identity.asked = true;
        }
        return QLatin1String(name) + QStringLiteral(": ")
               + (identity.text.isEmpty() ? QStringLiteral("no answer to *IDN?") : identity.text);
    };
    QStringList lines{line("synthesizer", synthesizerIdentity, [this] { return synthesizer->identify(); })};
    if (spur)
        lines << line("spectrum analyzer", analyzerIdentity, [this] { return spectrumAnalyzer->identify(); });
    else
        lines << line("power meter", powerMeterIdentity, [this] { return powerMeter->identify(); });
    lines.removeAll(QString());
    return lines.join(QLatin1Char('\n'));
}

QStringList DevicesWork::startWarnings(bool spur, bool channelA, const QString &gridShortfall) const
{
    QStringList warnings;
    // Only what this program did is known: the synthesizer may have been switched on before it
    // started, at its front panel or by another program.
    if (rfSwitched < 0)
        warnings << QStringLiteral("RF output is off: readings are noise");
    else if (rfSwitched == 0 && rfShownOff)
        warnings << QStringLiteral("RF output not switched on by this program — check the synthesizer");
    if (!spur && !channelA && !channelChosen)
        warnings << QStringLiteral("No channel chosen: channel B is read");
    if (!gridShortfall.isEmpty())
        warnings << gridShortfall;
    const QString due = Corrections::dueWarning(pathTable, QDate::currentDate());
    if (!due.isEmpty())
        warnings << due;
    return warnings;
}

void DevicesWork::initialization()
{
    if (repost("initialization"))
        return;
    if (!synthesizer) {
        synthesizer = new OrvaneDeviceDriver;
        connect(synthesizer, &OrvaneDeviceDriver::deviceConnected, this, &DevicesWork::deviceConnected);
        connect(synthesizer, &OrvaneDeviceDriver::deviceDisconnected, this,
                &DevicesWork::deviceDisconnected);
        connect(synthesizer, &OrvaneDeviceDriver::labelAnswerFromDevice, this,
                &DevicesWork::labelAnswerFromDevice);
        connect(synthesizer, &OrvaneDeviceDriver::textIsOpenPort, this, &DevicesWork::textIsOpenPort);
        connect(synthesizer, &OrvaneDeviceDriver::textIsClosePort, this, &DevicesWork::textIsClosePort);
        connect(synthesizer, &OrvaneDeviceDriver::textIsOpenPort, this, &DevicesWork::onOpenPortText);
        connect(synthesizer, &OrvaneDeviceDriver::addItemComboBoxUsbHid, this,
                &DevicesWork::addItemComboBox);
        connect(synthesizer, &OrvaneDeviceDriver::linkTrouble, this, [this](const QString &trouble) {
            if (trouble == QLatin1String("connection lost"))
                synthesizerLost = true;
            emit instrumentTrouble(QStringLiteral("Synthesizer"), trouble);
        });
        connect(synthesizer, &OrvaneDeviceDriver::deviceConnected, this, [this] { synthesizerLost = false; });
        connect(synthesizer, &OrvaneDeviceDriver::textIsOpenPort, this, [this] { synthesizerLost = false; });
    }
    if (!powerMeter) {
        powerMeter = new PowerMeterDriver;
        connect(powerMeter, &PowerMeterDriver::powerMeterConnected, this, &DevicesWork::powerMeterConnected);
        connect(powerMeter, &PowerMeterDriver::powerMeterDisconnected, this,
                &DevicesWork::powerMeterDisconnected);
        connect(powerMeter, &PowerMeterDriver::labelAnswerFromPowerMeter, this,
                &DevicesWork::labelAnswerFromPowerMeter);
        connect(powerMeter, &PowerMeterDriver::linkTrouble, this,
                [this](const QString &trouble) { emit instrumentTrouble(QStringLiteral("Power meter"), trouble); });
    }
    if (!spectrumAnalyzer) {
        spectrumAnalyzer = new SpectrumAnalyzerDriver;
        connect(spectrumAnalyzer, &SpectrumAnalyzerDriver::spectrumAnalyzerConnected, this,
                &DevicesWork::spectrumAnalyzerConnected);
        connect(spectrumAnalyzer, &SpectrumAnalyzerDriver::spectrumAnalyzerDisconnected, this,
                &DevicesWork::spectrumAnalyzerDisconnected);
        connect(spectrumAnalyzer, &SpectrumAnalyzerDriver::linkTrouble, this, [this](const QString &trouble) {
            emit instrumentTrouble(QStringLiteral("Spectrum analyzer"), trouble);
        });
    }
    if (!excelWorker) {
        excelWorker = new ExcelWorker;
        if (!reportFolder.isEmpty())
            excelWorker->setDirectory(reportFolder);
        // Direct: the writer also reports from the window's thread when rows are retried there.
        connect(excelWorker, &ExcelWorker::rowsWaiting, this, &DevicesWork::reportRowsWaiting,
                Qt::DirectConnection);
        connect(excelWorker, &ExcelWorker::rowsSaved, this, &DevicesWork::reportRowsSaved,
                Qt::DirectConnection);
        connect(excelWorker, &ExcelWorker::rowsRecovered, this, &DevicesWork::reportRowsRecovered,
                Qt::DirectConnection);
        sharedReportWriter = excelWorker;
    }
    if (!recorder && !storePath.isEmpty()) {
        QStringList announcements;
        recorder = std::make_unique<RunRecorder>(
            SqliteStore::open(storePath, SqliteStore::Mode::Write, &announcements, storeNamedBy));
        if (!station.isEmpty())
            recorder->setStation(station);
        recorder->setDataFolder(excelWorker->folder());
        recorder->placeRowsOf(*excelWorker);
        for (const QString &text : announcements)
            emit storeNotice(text);
        noteStoreProblem();
        connect(this, &DevicesWork::instrumentTrouble, this, [this](const QString &instrument, const QString &text) {
            recorder->trouble(instrument, text);
            noteStoreProblem();
        });
    }
}

void DevicesWork::setRunRecord(const QByteArray &setup, const QString &instruments)
{
    if (repost("setRunRecord", Q_ARG(QByteArray, setup), Q_ARG(QString, instruments)))
        return;
    if (recorder)
        recorder->setContext(setup, instruments, QString());
}

void DevicesWork::recoverUnsavedRows()
{
    if (repost("recoverUnsavedRows"))
        return;
    if (!recorder || !excelWorker || !recorder->store())
        return;
    const RunRecorder::Recovery recovery = recorder->recover(*excelWorker);
    const QString cause = recorder->cause();
    if (!cause.isEmpty() && !storeProblemsSaid.contains(cause)) {
        storeProblemsSaid << cause;
        emit storeNotice(QStringLiteral("The rows of an earlier run could not all be taken from the results store %1 "
                                        "(%2); the next start tries again.")
                             .arg(storePath, recorder->problem()));
    }
    recordRowsSaved();
    if (recovery.written > 0)
        emit storeNotice(QStringLiteral("%1 of an earlier run, missing from the workbooks, written to them from "
                                        "the results store: “%2”")
                             .arg(Counted::of(recovery.written, "row"), recovery.workbooks.join(QStringLiteral("”, “"))));
    if (recovery.waiting > 0)
        emit storeNotice(
            QStringLiteral("%1 of an earlier run wait in the results store for their workbooks: %2")
                .arg(Counted::of(recovery.waiting, "row"),
                     recovery.goneFolders.isEmpty()
                         ? QStringLiteral("they could not be saved now")
                         : QStringLiteral("the data folder “%1” is gone").arg(recovery.goneFolders.join(QStringLiteral("”, “")))));
}

qint64 DevicesWork::recordPoint(StoredPoint::Row row, const QString &tableName, const QVector<double> &values,
                                const Verdict::Judgement &judgement, const QList<double> &frequencies,
                                const QList<double> &levels, double correction,
                                const QVector<double> &peakCorrections)
{
    if (!recorder)
        return 0;
    StoredPoint point;
    point.pass = qMax(runPass, 1);
    point.number = pointIndex + 1;
    point.measuredAt = QDateTime::currentDateTime();
    point.row = row;
    point.workbook = tableName;
    point.pointIndex = pointIndex;
    point.values = values;
    point.peakFrequencies = frequencies.toVector();
    point.peakLevels = levels.toVector();
    point.correction = correction;
    point.peakCorrections = peakCorrections;
    point.verdict = Verdict::text(judgement.grade);
    point.limitMargin = judgement.margin;
    point.limitUpper = judgement.upper;
    point.limitLower = judgement.lower;
    point.limitSpur = judgement.spurLimit;
    const qint64 id = recorder->point(point);
    noteStoreProblem();
    recordVerdict(judging.standing().tally.grade);
    return id;
}

void DevicesWork::noteStoreProblem()
{
    // Asked right after each write; each cause is said once, with how long writes have waited.
    // The measurement and its workbooks go on while the store's writes wait, and when what
    // waited is written that is said too.
    const QString news = recorder->store() ? recorder->store()->takeNews() : QString();
    if (!news.isEmpty())
        emit storeNotice(news.left(1).toUpper() + news.mid(1) + QLatin1Char('.'));
    const QString cause = recorder->cause();
    if (cause.isEmpty() || storeProblemsSaid.contains(cause))
        return;
    storeProblemsSaid << cause;
    emit storeNotice(QStringLiteral("The results store %1 is not being written (%2); the workbooks are.")
                         .arg(storePath, recorder->problem()));
}

void DevicesWork::setUnit(const QString &serial, const QString &operatorName)
{
    if (repost("setUnit", Q_ARG(QString, serial), Q_ARG(QString, operatorName)))
        return;
    unitSerial = serial;
    unitOperator = operatorName;
}

void DevicesWork::beginJudging(const MeasurementLimits &limits, bool spur, const FrequencyGrid &grid,
                               quint64 pointsPerPass, qint64 resumedRun)
{
    judging.begin(limits, spur, pointsPerPass);
    recordedVerdict = RunVerdict();
    // The earlier process's points are judged as this one's are: a unit that failed then has
    // not passed because the run went on.
    if (limits.present && resumedRun != 0 && recorder && recorder->store())
        judging.earlier(recorder->store()->points(resumedRun), recorder->store()->passes(resumedRun), grid,
                        recorder->store()->run(resumedRun).verdict.unread);
}

void DevicesWork::endRun()
{
    const RunJudgement ended = judging.end(!stopFlag);
    recordVerdict(ended.grade);
    emit runJudged(ended);
    if (recorder)
        emit runRecorded(recorder->wholeRun());
    emit runEnded(stopFlag);
}

void DevicesWork::recordVerdict(Verdict::Grade grade)
{
    const RunJudgement &now = judging.standing();
    if (!recorder || !now.limits.present || grade == Verdict::Grade::None)
        return;
    const RunVerdict verdict{Verdict::text(grade), now.tally.failed, now.tally.marginal, now.tally.unread};
    if (verdict == recordedVerdict)
        return;
    recordedVerdict = verdict;
    recorder->verdict(verdict);
    noteStoreProblem();
}

void DevicesWork::setResume(qint64 run, int pass, quint64 point)
{
    if (repost("setResume", Q_ARG(qint64, run), Q_ARG(int, pass), Q_ARG(quint64, point)))
        return;
    resumeRun = run;
    resumePass = qMax(1, pass);
    resumePoint = point;
}

DevicesWork::Resume DevicesWork::takeResume(const QString &measurement)
{
    Resume from;
    if (resumeRun != 0) {
        from.pass = resumePass;
        from.point = resumePoint;
        if (recorder && !recorder->resume(resumeRun)) {
            from.refused = QStringLiteral("run %1 does not go on: %2").arg(QString::number(resumeRun), recorder->problem());
        }
    } else if (recorder) {
        // The folder the rows go to now is the run's.
        recorder->setDataFolder(excelWorker->folder());
        recorder->setUnit(unitSerial, unitOperator);
        recorder->begin(measurement);
    }
    if (recorder)
        noteStoreProblem();
    resumeRun = 0;
    return from;
}

void DevicesWork::closeStore()
{
    if (repost("closeStore"))
        return;
    if (!recorder || !recorder->store())
        return;
    ResultsStore &store = *recorder->store();
    // Another program may hold the store for a moment as this one ends: it is asked a while
    // before what waits is given up.
    for (int waited = 0; !store.flush() && waited < storeCloseWaitMs; waited += storeRetryMs)
        Pause::sleepMs(storeRetryMs);
    if (store.waitingWrites() > 0)
        emit storeNotice(QStringLiteral("The results store %1 lacks what %2 writes held (%3): it could not be written "
                                        "before the end. The workbooks have every row.")
                             .arg(storePath)
                             .arg(store.waitingWrites())
                             .arg(store.problem()));
    else if (const QString news = store.takeNews(); !news.isEmpty())
        emit storeNotice(news.left(1).toUpper() + news.mid(1) + QLatin1Char('.'));
}

QList<qint64> DevicesWork::recordedRuns() const
{
    if (!recorder || !recorder->store() || recorder->store()->waitingWrites() > 0)
        return {};
    return recorder->recordedRuns();
}

void DevicesWork::recordReportRows()
{
    if (repost("recordReportRows"))
        return;
    if (excelWorker)
        recordRowsSaved();
}

void DevicesWork::recordRowsSaved()
{
    if (recorder) {
        recorder->rowsSaved(excelWorker->takeSavedRows());
        noteStoreProblem();
    }
}

QList<QPair<QString, int>> DevicesWork::waitingReportRows() const
{
    QList<QPair<QString, int>> waiting;
    if (ExcelWorker *writer = sharedReportWriter)
        for (const ExcelWorker::WaitingRows &rows : writer->waitingRows())
            waiting.append(qMakePair(rows.workbook, rows.rows));
    return waiting;
}

bool DevicesWork::retryWaitingReportRows()
{
    ExcelWorker *writer = sharedReportWriter;
    return !writer || writer->retryWaitingRows();
}

bool DevicesWork::saveWaitingReportRowsAs(const QString &workbook, const QString &path)
{
    ExcelWorker *writer = sharedReportWriter;
    return !writer || writer->saveWaitingRowsAs(workbook, path);
}

int DevicesWork::discardWaitingReportRows()
{
    ExcelWorker *writer = sharedReportWriter;
    return writer ? writer->discardWaitingRows() : 0;
}

double DevicesWork::someSlots()
{
    qDebug() << "Thread " << thread() << "ThreadCurrent " << QThread::currentThread()
             << "SomeSlots " << 1.6;
    return 1.6;
}

void DevicesWork::onOpenPortText(const QString &text)
{
    // A successful USB-HID open reports the device's name followed by "connect"; a serial port
    // opened after it takes over the line.
    if (!requestedHidDevice.isNull() && text == requestedHidDevice + QLatin1String("connect"))
        usbHidConnected = true;
    else if (text == QLatin1String("ComPort open"))
        usbHidConnected = false;
}

void DevicesWork::searchUsbHidDevices()
{
    if (repost("searchUsbHidDevices"))
        return;
    synthesizer->searchUsbHidDevices();
}

void DevicesWork::withPauses(std::initializer_list<std::function<void()>> steps)
{
    bool first = true;
    for (const std::function<void()> &step : steps) {
        if (!first)
            Pause::sleepMs(commandPauseMs);
        first = false;
        step();
    }
}

void DevicesWork::startSweepFreq(double freq, double ampl, double freqStart, double freqStop,
                                 double freqStepMhz, double sweepTime)
{
    if (repost("startSweepFreq", Q_ARG(double, freq), Q_ARG(double, ampl), Q_ARG(double, freqStart),
               Q_ARG(double, freqStop), Q_ARG(double, freqStepMhz), Q_ARG(double, sweepTime)))
        return;
    OrvaneDeviceDriver *s = synthesizer;
    withPauses({[this, s] { s->rfOn(); rfSwitched = 1; }, [s, freq] { s->setFrequency(freq); },
                [s, ampl] { s->setAmplitude(ampl); }, [s, freqStart] { s->setFreqStart(freqStart); },
                [s, freqStop] { s->setFreqStop(freqStop); },
                [s, freqStepMhz] { s->setFreqStep(freqStepMhz); }, [s] { s->freqModeList(); },
                [s] { s->listTypeStep(); }, [s] { s->listModeAuto(); }, [s] { s->sweepTimeAutoOff(); },
                [s, sweepTime] { s->setSweepTime(sweepTime); }, [s] { s->triggerSourceBus(); },
                [s] { s->initContinuousOn(); }, [s] { s->initiate(); }, [s] { s->triggerBus(); }});
}

void DevicesWork::stopSweepFreq()
{
    if (repost("stopSweepFreq"))
        return;
    OrvaneDeviceDriver *s = synthesizer;
    withPauses({[s] { s->abortSweep(); }, [s] { s->freqModeCw(); }});
}

void DevicesWork::startSweepAmpl(double freq, double ampl, double amplStart, double amplStop,
                                 double amplStep, double sweepTime)
{
    if (repost("startSweepAmpl", Q_ARG(double, freq), Q_ARG(double, ampl), Q_ARG(double, amplStart),
               Q_ARG(double, amplStop), Q_ARG(double, amplStep), Q_ARG(double, sweepTime)))
        return;
    OrvaneDeviceDriver *s = synthesizer;
    withPauses({[this, s] { s->rfOn(); rfSwitched = 1; }, [s, freq] { s->setFrequency(freq); },
                [s, ampl] { s->setAmplitude(ampl); }, [s, amplStart] { s->setPowerStart(amplStart); },
                [s, amplStop] { s->setPowerStop(amplStop); }, [s, amplStep] { s->setPowerStep(amplStep); },
                [s] { s->powerModeList(); }, [s] { s->listTypeStep(); }, [s] { s->listModeAuto(); },
                [s] { s->sweepTimeAutoOff(); }, [s, sweepTime] { s->setSweepTime(sweepTime); },
                [s] { s->triggerSourceBus(); }, [s] { s->initContinuousOn(); }, [s] { s->initiate(); },
                [s] { s->triggerBus(); }});
}

void DevicesWork::stopSweepAmpl()
{
    if (repost("stopSweepAmpl"))
        return;
    OrvaneDeviceDriver *s = synthesizer;
    withPauses({[s] { s->abortSweep(); }, [s] { s->powerModeFix(); }});
}

void DevicesWork::startAm(double freq, double ampl, bool hz, double freqAm,
                          const QString &formSignal, double depthAm)
{
    if (repost("startAm", Q_ARG(double, freq), Q_ARG(double, ampl), Q_ARG(bool, hz),
               Q_ARG(double, freqAm), Q_ARG(QString, formSignal), Q_ARG(double, depthAm)))
        return;
    OrvaneDeviceDriver *s = synthesizer;
    withPauses({[this, s] { s->rfOn(); rfSwitched = 1; }, [s, freq] { s->setFrequency(freq); },
                [s, ampl] { s->setAmplitude(ampl); }, [s] { s->amSourceInternal(); },
                [s, hz, freqAm] {
                    if (hz)
                        s->setAmFrequencyHz(freqAm);
                    else
                        s->setAmFrequencyKhz(freqAm);
                },
                [s, formSignal] { s->setAmShape(formSignal); }, [s, depthAm] { s->setAmDepth(depthAm); },
                [s] { s->modulationOn(); }});
}

void DevicesWork::stopAm()
{
    if (repost("stopAm"))
        return;
    synthesizer->modulationOff();
}

void DevicesWork::startPm(const QString &timeUnitPwid, const QString &timeUnitPer,
                          double pulseWidth, double period)
{
    if (repost("startPm", Q_ARG(QString, timeUnitPwid), Q_ARG(QString, timeUnitPer),
               Q_ARG(double, pulseWidth), Q_ARG(double, period)))
        return;
    OrvaneDeviceDriver *s = synthesizer;
    withPauses({[s] { s->pulseSourceInternal(); },
                [s, pulseWidth, timeUnitPwid] {
                    for (int i = 0; i < 10; ++i)
                        s->setPulseWidth(pulseWidth, timeUnitPwid);
                },
                [s, period, timeUnitPer] {
                    for (int i = 0; i < 10; ++i)
                        s->setPulsePeriod(period, timeUnitPer);
                },
                [s] { s->modulationOn(); }});
}

void DevicesWork::stopPm()
{
    if (repost("stopPm"))
        return;
    synthesizer->modulationOff();
}

void DevicesWork::rfOn()
{
    if (repost("rfOn"))
        return;
    synthesizer->rfOn();
    rfSwitched = 1;
}

void DevicesWork::rfOff()
{
    if (repost("rfOff"))
        return;
    synthesizer->rfOff();
    rfSwitched = -1;
}

void DevicesWork::alcOn()
{
    if (repost("alcOn"))
        return;
    synthesizer->alcOn();
}

void DevicesWork::alcOff()
{
    if (repost("alcOff"))
        return;
    synthesizer->alcOff();
}

void DevicesWork::setFrequency(double freq)
{
    if (repost("setFrequency", Q_ARG(double, freq)))
        return;
    synthesizer->setFrequency(freq);
}

void DevicesWork::setAmplitude(double ampl)
{
    traceThreads();
    if (repost("setAmplitude", Q_ARG(double, ampl)))
        return;
    synthesizer->setAmplitude(ampl);
}

void DevicesWork::setCommand(const QString &command)
{
    traceThreads();
    if (repost("setCommand", Q_ARG(QString, command)))
        return;
    synthesizer->setCommand(command);
    // RF switched by hand in the command line counts as switched by the check box.
    static const QRegularExpression rfCommand(QStringLiteral("^\\s*:?OUTP(UT)?(:STAT(E)?)?\\s+(ON|1|OFF|0)\\s*$"),
                                              QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch rf = rfCommand.match(command);
    if (rf.hasMatch())
        rfSwitched = rf.captured(4).compare(QLatin1String("ON"), Qt::CaseInsensitive) == 0 || rf.captured(4) == QLatin1String("1") ? 1 : -1;
    if (command.right(1) == QLatin1String("?"))
        synthesizer->readAnswer();
}

void DevicesWork::connectToDevice(const QString &ip)
{
    traceThreads();
    if (repost("connectToDevice", Q_ARG(QString, ip)))
        return;
    synthesizerIdentity = Identity(true);
    usbHidConnected = false;
    synthesizer->connectToDevice(dotted(ip));
    synthesizer->readAnswer();
}

void DevicesWork::connectToDeviceUsbCom(const QString &numberComPort)
{
    if (repost("connectToDeviceUsbCom", Q_ARG(QString, numberComPort)))
        return;
    synthesizerIdentity = Identity(true);
    synthesizer->connectToDeviceUsbCom(numberComPort);
}

void DevicesWork::connectToDeviceUsbHid(const QString &nameDevice)
{
    if (repost("connectToDeviceUsbHid", Q_ARG(QString, nameDevice)))
        return;
    synthesizerIdentity = Identity(true);
    requestedHidDevice = nameDevice.isNull() ? QStringLiteral("") : nameDevice;
    synthesizer->connectToDeviceUsbHid(nameDevice);
}

void DevicesWork::connectToPowerMeter(const QString &ip)
{
    traceThreads();
    if (repost("connectToPowerMeter", Q_ARG(QString, ip)))
        return;
    powerMeterIdentity = Identity(true);
    powerMeter->connectToPowerMeter(dotted(ip));
}

void DevicesWork::connectToSpectrumAnalyzer(const QString &ip)
{
    traceThreads();
    if (repost("connectToSpectrumAnalyzer", Q_ARG(QString, ip)))
        return;
    analyzerIdentity = Identity(true);
    spectrumAnalyzer->connectToAnalyzer(dotted(ip));
}

void DevicesWork::disconnectFromDevice()
{
    if (repost("disconnectFromDevice"))
        return;
    synthesizerIdentity = Identity();
    synthesizer->disconnectFromDevice();
}

void DevicesWork::disconnectFromDeviceUsbCom()
{
    if (repost("disconnectFromDeviceUsbCom"))
        return;
    synthesizerIdentity = Identity();
    synthesizer->disconnectFromDeviceUsbCom();
}

void DevicesWork::disconnectFromDeviceUsbHid()
{
    if (repost("disconnectFromDeviceUsbHid"))
        return;
    synthesizerIdentity = Identity();
    usbHidConnected = false;
    synthesizer->disconnectFromDeviceUsbHid();
}

void DevicesWork::disconnectFromPowerMeter()
{
    if (repost("disconnectFromPowerMeter"))
        return;
    powerMeterIdentity = Identity();
    powerMeter->disconnectFromPowerMeter();
}

void DevicesWork::disconnectFromSpectrumAnalyzer()
{
    if (repost("disconnectFromSpectrumAnalyzer"))
        return;
    analyzerIdentity = Identity();
    spectrumAnalyzer->disconnectFromAnalyzer();
}

void DevicesWork::measurePower(ValueFormMeasurePower form)
{
    traceThreads();
    if (thread() != QThread::currentThread())
        ++startsAsked;
    if (repost("measurePower", Q_ARG(ValueFormMeasurePower, form)))
        return;
    const ComInitializer com;
    beginMeasurement();
    cycleFlag = form.cycle;
    fetchValuesFlag = form.fetchValues;
    delayMs = form.delay;
    excelWorker->startExcel();
    takeTable(form.correction);

    auto tableName = [&form] {
        return form.justPower ? QStringLiteral("Table ") + g6(form.freqStart) + QStringLiteral(" MHz")
                              : QStringLiteral("Table ") + g6(form.power) + QStringLiteral(" dBm");
    };
    const FrequencyGrid grid =
        announceGrid(form.pointsMode, form.freqStart, form.freqStop, form.pointsCount, form.freqStep, false);
    const QStringList warnings = startWarnings(false, form.channelA, form.justPower ? QString() : grid.shortfall);
    const QString identified = identities(false);
    if (recorder) {
        for (const QString &warning : warnings)
            recorder->addNote(warning);
        recorder->setIdentities(identified);
    }
    const qint64 resumed = resumeRun;
    const Resume from = takeResume(QStringLiteral("power"));
    if (!from.refused.isEmpty()) {
        excelWorker->quitExcel();
        emit runRefused(from.refused);
        emit stopingMeasure();
        return;
    }
    beginJudging(form.limits, false, grid, form.justPower ? 1 : grid.count, resumed);
    // A resumed run goes on at the output power of the pass it goes on with.
    for (int pass = 1; pass < from.pass; ++pass)
        form.power += quint32(powerStep.load());
    QString table = tableName();
    setAmplitude(form.power);
    Pause::sleepMs(passPauseMs);
    qDebug() << "power step" << quint32(powerStep.load());
    emit runStarted(QStringLiteral("Power measurement"), form.justPower ? 1 : grid.count,
                    passesFrom(form.power, false));
    for (const QString &warning : warnings)
        emit runWarning(warning);
    runPass = from.pass - 1;
    quint64 firstPoint = from.point;

    while (form.power + quint32(powerStep.load()) < powerCeilingDbm && !stopFlag) {
        beginPass(form.power, false);
        if (form.justPower)
            oneFrequencyReading(form.freqStart, form.power, table, form.channelA);
        else
            frequencySweep(grid, table, form.channelA, firstPoint);
        firstPoint = 0;
        if (stopFlag)
            break;
        const quint32 step = quint32(powerStep.load());
        qDebug() << (cycleFlag ? "true" : "false") << step << form.power + step << powerCeilingDbm;
        if (!cycleFlag || !(form.power + step < powerCeilingDbm))
            break;
        raisePower(form.power, step, form.freqStart);
        table = tableName();
    }
    excelWorker->quitExcel();
    recordRowsSaved();
    if (recorder) {
        recorder->end(stopFlag);
        noteStoreProblem();
    }
    endRun();
    emit stopingMeasure();
}

int DevicesWork::passesFrom(double power, bool spur) const
{
    const bool cycle = cycleFlag;
    const quint32 step = quint32(powerStep.load());
    const double ceiling = spur ? spurPowerCeilingDbm : powerCeilingDbm;
    if (cycle && step == 0)
        return 0;
    // As the measurement loops count: a power run makes a pass while the next step stays below
    // its ceiling; a spur run makes its first pass in any case.
    int passes = spur ? 1 : 0;
    double p = power;
    if (spur) {
        while (cycle && p + step < ceiling && passes < 100000) {
            ++passes;
            p += step;
        }
    } else {
        while (p + step < ceiling && passes < 100000) {
            ++passes;
            if (!cycle)
                break;
            p += step;
        }
    }
    return passes;
}

void DevicesWork::beginPass(double power, bool spur)
{
    ++runPass;
    runPower = power;
    if (recorder) {
        recorder->pass(runPass, power);
        noteStoreProblem();
    }
    const int remaining = passesFrom(power, spur);
    const int passes = remaining == 0 ? 0 : runPass - 1 + remaining;
    judging.pass(runPass, power, passes);
    emit passStarted(runPass, passes);
}

FrequencyGrid DevicesWork::announceGrid(bool pointsMode, double start, double stop, quint64 count,
                                       double step, bool spur)
{
    const FrequencyGrid grid = FrequencyGrid::derive(pointsMode, start, stop, count, step);
    if (pointsMode) {
        emit freqStep(grid.stepText);
        emit derivedStep(spur, grid.stepText);
    } else {
        emit pointsCount(grid.countText);
        emit derivedCount(spur, grid.countText);
    }
    return grid;
}

void DevicesWork::raisePower(double &power, quint32 step, double firstFrequency)
{
    power += step;
    emit changePower(power);
    setAmplitude(power);
    Pause::sleepMs(passPauseMs);
    setFrequency(firstFrequency);
    Pause::sleepMs(passPauseMs);
}

void DevicesWork::reportPowerPoint(const QString &tableName, quint64 number, double frequency, double reading,
                                   double correction, double fetchedPower, const Verdict::Judgement &judgement)
{
    MeasuredPoint point;
    point.pass = runPass;
    point.number = number;
    point.frequency = frequency;
    point.outputPower = runPower;
    point.reading = reading;
    point.correction = correction;
    point.fetched = fetchValuesFlag;
    point.fetchedPower = fetchedPower;
    point.workbook = tableName;
    point.judgement = judgement;
    emit pointMeasured(point);
}

void DevicesWork::takeTable(const Corrections::CorrectionTable &table)
{
    pathTable = table;
    if (recorder)
        recorder->setTables(PathLoss::applies(table) ? QList<RecordedTable>{PathLoss::record(table)}
                                                      : QList<RecordedTable>());
}

std::optional<double> DevicesWork::atUnit(double reading, double loss) const
{
    if (!PathLoss::applies(pathTable))
        return std::nullopt;
    return Corrections::corrected(reading, loss);
}

double DevicesWork::readPowerMeter(double frequency, bool channelA)
{
    setFrequency(frequency);
    if (channelA)
        powerMeter->setFrequencyChannelA(frequency);
    else
        powerMeter->setFrequencyChannelB(frequency);
    Pause::sleepMs(static_cast<unsigned long>(qMax(0, delayMs.load())));
    const double reading = channelA ? powerMeter->fetchChannelA() : powerMeter->fetchChannelB();
    emit labelCountPoints(QString::number(pointIndex + 1));
    emit labelAnswerFromPowerMeter(Readings::labelText(reading));
    return reading;
}

void DevicesWork::synthesizerValues(double *fetchedPower, double *temperature)
{
    *fetchedPower = 0;
    *temperature = 0;
    if (!fetchValuesFlag)
        return;
    if (usbHidConnected) {
        *fetchedPower = synthesizer->fetchPower();
    } else {
        // The fetches that gave no number are left out of the mean, which is in whole dBm.
        QList<double> readings;
        for (int i = 0; i < fetchedReadings; ++i)
            readings.append(synthesizer->fetchPower());
        const double mean = Readings::meanOfNumbers(readings);
        *fetchedPower = std::isnan(mean) ? mean : double(qRound64(mean));
    }
    *temperature = synthesizer->readTemperature();
}

void DevicesWork::frequencySweep(const FrequencyGrid &grid, const QString &tableName, bool channelA,
                                 quint64 firstPoint)
{
    pointIndex = firstPoint;
    if (grid.count == 0)
        return;
    while (!stopFlag) {
        const double frequency = grid.at(pointIndex);
        const double reading = readPowerMeter(frequency, channelA);
        double fetchedPower = 0;
        double temperature = 0;
        synthesizerValues(&fetchedPower, &temperature);
        const double loss = PathLoss::at(pathTable, frequency);
        const std::optional<double> corrected = atUnit(reading, loss);
        const Verdict::Judgement judgement =
            judging.power(runPass, pointIndex + 1, frequency, runPower, corrected.value_or(reading), !synthesizerLost);
        // In the store before the report writer has it: a kill cannot lose the point.
        const qint64 id = recordPoint(StoredPoint::Row::Sweep, tableName, {frequency, reading, fetchedPower, temperature},
                                      judgement, {}, {}, loss);
        excelWorker->writeFrequencySweepRow(tableName, pointIndex, frequency, reading, fetchedPower,
                                            temperature, id, corrected);
        recordRowsSaved();
        reportPowerPoint(tableName, pointIndex + 1, frequency, corrected.value_or(reading), loss, fetchedPower,
                         judgement);
        ++pointIndex;
        if (pointIndex >= grid.count)
            return;
    }
}

void DevicesWork::oneFrequencyReading(double frequency, double power, const QString &tableName,
                                      bool channelA)
{
    if (stopFlag)
        return;
    const double reading = readPowerMeter(frequency, channelA);
    double fetchedPower = 0;
    double temperature = 0;
    synthesizerValues(&fetchedPower, &temperature);
    const double loss = PathLoss::at(pathTable, frequency);
    const std::optional<double> corrected = atUnit(reading, loss);
    const Verdict::Judgement judgement =
        judging.power(runPass, 1, frequency, power, corrected.value_or(reading), !synthesizerLost);
    const qint64 id = recordPoint(StoredPoint::Row::Step, tableName, {frequency, reading, power, fetchedPower, temperature},
                                  judgement, {}, {}, loss);
    excelWorker->writePowerStepRow(tableName, pointIndex, frequency, reading, power, fetchedPower,
                                   temperature, id, corrected);
    recordRowsSaved();
    reportPowerPoint(tableName, 1, frequency, corrected.value_or(reading), loss, fetchedPower, judgement);
}

void DevicesWork::measureSpectrum(ValueForm form)
{
    traceThreads();
    if (thread() != QThread::currentThread())
        ++startsAsked;
    if (repost("measureSpectrum", Q_ARG(ValueForm, form)))
        return;
    const ComInitializer com;
    beginMeasurement();
    cycleFlag = form.cycle;
    delayMs = form.delay;
    excelWorker->startExcel();
    takeTable(form.correction);
    const FrequencyGrid grid =
        announceGrid(form.pointsMode, form.freqStart, form.freqStop, form.pointsCount, form.freqStep, true);
    const QStringList warnings = startWarnings(true, false, grid.shortfall);
    const QString identified = identities(true);
    if (recorder) {
        for (const QString &warning : warnings)
            recorder->addNote(warning);
        recorder->setIdentities(identified);
    }
    const qint64 resumed = resumeRun;
    const Resume from = takeResume(QStringLiteral("spur"));
    if (!from.refused.isEmpty()) {
        excelWorker->quitExcel();
        emit runRefused(from.refused);
        emit stopingMeasure();
        return;
    }
    beginJudging(form.limits, true, grid, grid.count, resumed);
    for (int pass = 1; pass < from.pass; ++pass)
        form.power += quint32(powerStep.load());
    QString table = from.pass > 1 ? QStringLiteral("Table spur ") + g6(form.power) + QStringLiteral(" dBm")
                                  : QStringLiteral("Table spur");
    setAmplitude(form.power);
    Pause::sleepMs(passPauseMs);
    emit runStarted(QStringLiteral("Spur measurement"), grid.count, passesFrom(form.power, true));
    for (const QString &warning : warnings)
        emit runWarning(warning);
    runPass = from.pass - 1;
    quint64 firstPoint = from.point;
    // A resumed run's later pass is made only where an unbroken run would have made it.
    const bool passDue = !(from.pass > 1 && firstPoint == 0) || form.power < spurPowerCeilingDbm;
    while (!stopFlag && passDue) {
        beginPass(form.power, true);
        spurPass(form, grid, form.power, table, firstPoint);
        firstPoint = 0;
        if (stopFlag || !cycleFlag)
            break;
        const quint32 step = quint32(powerStep.load());
        if (!(form.power + step < spurPowerCeilingDbm))
            break;
        raisePower(form.power, step, form.freqStart);
        // Later passes keep to spur workbooks of their own, apart from the power measurement's.
        table = QStringLiteral("Table spur ") + g6(form.power) + QStringLiteral(" dBm");
    }
    excelWorker->quitExcel();
    recordRowsSaved();
    if (recorder) {
        recorder->end(stopFlag);
        noteStoreProblem();
    }
    endRun();
    emit stopingMeasure();
}

void DevicesWork::spurPass(const ValueForm &form, const FrequencyGrid &grid, double power,
                           const QString &tableName, quint64 firstPoint)
{
    pointIndex = firstPoint;
    quint32 spurCount = 0;
    double minimumDistance = 100.0;
    if (grid.count == 0)
        return;
    const bool rs = form.rohdeSchwarz;
    while (!stopFlag) {
        const double frequency = grid.at(pointIndex);
        setFrequency(frequency);
        // A resumed pass sets the analyzer up at its first point as a pass does at its start.
        if (pointIndex == firstPoint) {
            if (rs) {
                spectrumAnalyzer->adjustAll();
                emit analyzerSettling(true);
                Pause::sleepMs(adjustPauseMs);
                emit analyzerSettling(false);
                spectrumAnalyzer->setReferenceLevel(power + 3.0);
                spectrumAnalyzer->setSweepPoints(32000);
                spectrumAnalyzer->setVideoBandwidth(50);
                spectrumAnalyzer->setSweepPoints(32000);
                spectrumAnalyzer->setSpan(10);
                spectrumAnalyzer->setResolutionBandwidth(300);
            } else {
                spectrumAnalyzer->tuneImmediate();
                emit analyzerSettling(true);
                Pause::sleepMs(adjustPauseMs);
                emit analyzerSettling(false);
            }
        } else {
            spectrumAnalyzer->setStartFrequency(frequency - 0.1);
            spectrumAnalyzer->setStopFrequency(frequency + form.span);
            const int delay = qMax(0, form.delay);
            Pause::sleepMs(static_cast<unsigned long>(frequency < 18300.0 ? delay : delay + 500));
        }
        for (int i = 0, times = rs ? 10 : 1; i < times; ++i)
            spectrumAnalyzer->markerToMaximum();
        Pause::sleepMs(frequency > 19300.0 ? 50 : 1);
        spectrumAnalyzer->markerFrequency();
        const QList<double> markerLevels = spectrumAnalyzer->markerLevel();

        SpurEvaluation peaks;
        if (!markerLevels.isEmpty()) {
            // A marker level that is no number steers the analyzer as the 0 dBm it was once read
            // as, so that the commands sent stay as they were; the trouble has been reported.
            double carrier = std::isnan(markerLevels.first()) ? 0.0 : markerLevels.first();
            if (power - carrier > 2.0 || power - carrier < 1.0)
                spectrumAnalyzer->setReferenceLevel(power + 1.0);
            if (carrier - form.displayLine < -90.0)
                carrier = -20.0;
            spectrumAnalyzer->thresholdOn();
            const double threshold = carrier - form.displayLine;
            if (rs) {
                spectrumAnalyzer->setThreshold(threshold);
                spectrumAnalyzer->sortPeakListByLevel();
                spectrumAnalyzer->peakListOn();
                const QList<double> levels = spectrumAnalyzer->peakListLevels();
                const QList<double> frequencies = spectrumAnalyzer->peakListFrequencies();
                peaks = SpurEvaluation::fromLists(frequencies, levels);
            } else {
                spectrumAnalyzer->setPeakThreshold(threshold);
                spectrumAnalyzer->peakExcursionOff();
                spectrumAnalyzer->sortPeakTableByAmplitude();
                spectrumAnalyzer->peakTableOn();
                peaks = SpurEvaluation::fromTable(spectrumAnalyzer->peakTable());
            }
            peaks.evaluate(form.displayLine, &spurCount, &minimumDistance);
        } else {
            qDebug() << "no marker level from the analyzer at" << frequency << "MHz";
        }
        emit labelCountPointsSpurs(QString::number(pointIndex + 1));
        if (peaks.size() > 1) {
            emit labelMinimumSpur(QStringLiteral("Min spur = ") + g6(minimumDistance));
            emit labelCountSpurs(QString::number(spurCount));
        }
        if (peaks.size() == 0) {
            // No row, but judged: a point that gave nothing never passes.
            judging.spur(runPass, pointIndex + 1, frequency, power, qQNaN(), false, 0.0, !synthesizerLost);
            recordVerdict(judging.standing().tally.grade);
            emit pointWithoutReading(runPass, pointIndex + 1);
            emit stopMeasureSpectrum();
        } else {
            MeasuredPoint point;
            point.spur = true;
            point.pass = runPass;
            point.number = pointIndex + 1;
            point.frequency = frequency;
            point.outputPower = power;
            // Each peak at the unit, corrected at its own frequency, so that a loss sloping over
            // the span shows in the dBc; the store and the workbook keep the analyzer's levels.
            const QVector<double> losses = PathLoss::atPeaks(pathTable, peaks.frequencies);
            const QList<double> levels = PathLoss::appliedToPeaks(peaks.levels, losses);
            point.carrierLevel = levels.at(0);
            point.correction = losses.value(0, qQNaN());
            // Without a table the analyzer's order ranks them, as it always has.
            const int strongest = pathTable.path == Corrections::Path::None ? peaks.strongestOther()
                                                                            : peaks.strongestOther(levels);
            point.hasSpur = strongest > 0;
            point.spurLevel = point.hasSpur ? levels.at(strongest) - levels.at(0) : 0.0;
            point.workbook = tableName;
            point.judgement = judging.spur(runPass, point.number, frequency, power, point.carrierLevel, point.hasSpur,
                                           point.spurLevel, !synthesizerLost);
            quint32 count = quint32(peaks.size());
            const qint64 id = recordPoint(StoredPoint::Row::Spur, tableName, {form.span, 50.0}, point.judgement,
                                          peaks.frequencies.mid(0, int(qMin<quint32>(count, 8))),
                                          peaks.levels.mid(0, int(qMin<quint32>(count, 8))), qQNaN(),
                                          losses.mid(0, int(qMin<quint32>(count, 8))));
            excelWorker->writeSpurRow(tableName, pointIndex, form.span, 50.0, count,
                                      peaks.frequencies, peaks.levels, id);
            recordRowsSaved();
            emit pointMeasured(point);
        }
        ++pointIndex;
        if (pointIndex >= grid.count)
            return;
    }
}
