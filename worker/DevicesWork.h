#pragma once

#include "MeasuredPoint.h"
#include "ResultsStore.h"
#include "RunJudging.h"
#include "StoreFile.h"
#include "ValueForm.h"
#include "ValueFormMeasurePower.h"

#include <QObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

class ExcelWorker;
struct FrequencyGrid;
class OrvaneDeviceDriver;
class PowerMeterDriver;
class SpectrumAnalyzerDriver;
class QGenericArgument;
class RunRecorder;

// The worker of the instrument thread: owns the three drivers and the report writer, turns the
// window's requests into command sequences and runs the power and spur measurements.
class DevicesWork : public QObject
{
    Q_OBJECT

public:
    explicit DevicesWork(QObject *parent = nullptr);
    ~DevicesWork() override;

    // Plain operations, run at once in the calling thread, so that they reach a running
    // measurement.
    void requestStop();
    void setCycle(bool cycle, int powerStep);
    void setDelay(int delay);
    void setFetchValues(bool fetchValues);
    // What the front end shows and the worker cannot know, for the warnings at a run's start:
    // the RF output as shown while this program has switched it neither on nor off (the
    // window's check box; the runner shows nothing), and whether a power meter channel was
    // chosen (none: channel B is read).
    void setShownRfOff(bool off);
    void setChannelChosen(bool chosen);
    // Whether the runs that start from now on record the identities of their instruments: each
    // instrument a run uses is asked *IDN? at the run's start, once per connection. Off, nothing
    // more goes on any wire and the runs record no identities.
    void setIdentify(bool on);

    // Folder of the report workbooks, taken by the report writer at initialization; the
    // application directory unless set before.
    void setReportFolder(const QString &folder) { reportFolder = folder; }
    // The results store's file, opened at initialization; none unless set before. A file a setup
    // named is never set aside: when it is not a store, the store is not written.
    void setStorePath(const QString &path, StoreFile::NamedBy namedBy = StoreFile::NamedBy::User)
    {
        storePath = path;
        storeNamedBy = namedBy;
    }
    // The name the store gives this bench's runs; empty: the host name. Set before the first run.
    void setStation(const QString &name) { station = name; }

    // The report writer; null until initialization.
    ExcelWorker *reportWriter() const { return sharedReportWriter; }

    // Report rows that could not be saved wait in the report writer. These plain operations
    // reach them from the window's thread, also while a measurement runs; each returns at once
    // or after the one save in progress.
    // Workbook base names with the number of rows waiting for each.
    QList<QPair<QString, int>> waitingReportRows() const;
    bool retryWaitingReportRows();
    bool saveWaitingReportRowsAs(const QString &workbook, const QString &path);
    int discardWaitingReportRows();

    Q_INVOKABLE void startSweepFreq(double freq, double ampl, double freqStart, double freqStop,
                                    double freqStep, double sweepTime);
    Q_INVOKABLE void stopSweepFreq();
    Q_INVOKABLE void startSweepAmpl(double freq, double ampl, double amplStart, double amplStop,
                                    double amplStep, double sweepTime);
    Q_INVOKABLE void stopSweepAmpl();
    Q_INVOKABLE void startAm(double freq, double ampl, bool hz, double freqAm,
                             const QString &formSignal, double depthAm);
    Q_INVOKABLE void stopAm();
    Q_INVOKABLE void startPm(const QString &timeUnitPwid, const QString &timeUnitPer,
                             double pulseWidth, double period);
    Q_INVOKABLE void stopPm();
    Q_INVOKABLE void rfOn();
    Q_INVOKABLE void rfOff();
    Q_INVOKABLE void alcOn();
    Q_INVOKABLE void alcOff();
    Q_INVOKABLE void setFrequency(double freq);
    Q_INVOKABLE void setAmplitude(double ampl);
    Q_INVOKABLE void setCommand(const QString &command);
    Q_INVOKABLE void connectToDevice(const QString &ip);
    Q_INVOKABLE void connectToDeviceUsbCom(const QString &numberComPort);
    Q_INVOKABLE void connectToDeviceUsbHid(const QString &nameDevice);
    Q_INVOKABLE void connectToPowerMeter(const QString &ip);
    Q_INVOKABLE void connectToSpectrumAnalyzer(const QString &ip);
    Q_INVOKABLE void disconnectFromDevice();
    Q_INVOKABLE void disconnectFromDeviceUsbCom();
    Q_INVOKABLE void disconnectFromDeviceUsbHid();
    Q_INVOKABLE void disconnectFromPowerMeter();
    Q_INVOKABLE void disconnectFromSpectrumAnalyzer();
    Q_INVOKABLE void measurePower(ValueFormMeasurePower valueFormMeasurePower);
    Q_INVOKABLE void measureSpectrum(ValueForm valueForm);
    Q_INVOKABLE void initialization();
    Q_INVOKABLE double someSlots();
    // Enumerates the USB-HID devices in the worker thread, like every other request.
    Q_INVOKABLE void searchUsbHidDevices();
    // What the next run records as its setup (in the setup file's format) and its instruments.
    Q_INVOKABLE void setRunRecord(const QByteArray &setup, const QString &instruments);
    // Writes the rows that an earlier process left only in the results store.
    Q_INVOKABLE void recoverUnsavedRows();
    // Writes what waits for the results store, asking it for at most storeCloseWaitMs, and says
    // what could not be written.
    Q_INVOKABLE void closeStore();
    // After closeStore, from the worker's thread: the results store's runs the measurements
    // recorded their points in, by their ids there, in order; none while writes wait, for the
    // store then lacks some of their points.
    QList<qint64> recordedRuns() const;
    static constexpr int storeCloseWaitMs = 10000;
    static constexpr int storeRetryMs = 250;
    // Marks in the results store the rows that reached a workbook (or were discarded) outside a
    // measurement, as by a retry from the window; front ends ask for it before the thread ends.
    Q_INVOKABLE void recordReportRows();
    // The next measurement goes on with a stopped or interrupted run of the results store: from
    // this pass (from 1) and point index (from 0), recorded as part of that run.
    Q_INVOKABLE void setResume(qint64 run, int pass, quint64 point);
    // The unit under test and its operator, recorded with each new run from now on; an empty
    // operator is recorded as the user this program runs as.
    Q_INVOKABLE void setUnit(const QString &serial, const QString &operatorName);

signals:
    void deviceConnected();
    void deviceDisconnected();
    void powerMeterConnected();
    void powerMeterDisconnected();
    void spectrumAnalyzerConnected();
    void spectrumAnalyzerDisconnected();
    void textIsOpenPort(const QString &text);
    void textIsClosePort(const QString &text);
    void labelAnswerFromDevice(const QString &text);
    void labelAnswerFromPowerMeter(const QString &text);
    void labelCountPoints(const QString &text);
    void labelCountPointsSpurs(const QString &text);
    void labelCountSpurs(const QString &text);
    void labelMinimumSpur(const QString &text);
    void stopMeasureSpectrum();
    void freqStep(const QString &text);
    void pointsCount(const QString &text);
    void changePower(double value);
    void stopingMeasure();
    void addItemComboBox(const QString &text);
    // From the report writer: rows of a workbook wait in memory (how many, why); all of them
    // were saved; the rows of a workbook went to its "(recovered)" neighbour.
    void reportRowsWaiting(const QString &workbook, int rows, const QString &reason);
    void reportRowsSaved(const QString &workbook, int rows);
    void reportRowsRecovered(const QString &workbook, const QString &recovered, const QString &reason);
    // The course of a measurement: its start (the points of one pass and the passes expected,
    // 0 when they cannot be told), each pass, each point once its row is written, its end.
    void runStarted(const QString &measurement, quint64 pointsPerPass, int passes);
    void passStarted(int pass, int passes);
    void pointMeasured(const MeasuredPoint &point);
    // A point of a spur pass that gave no row: the analyzer found no peak there.
    void pointWithoutReading(int pass, quint64 number);
    void runEnded(bool stopped);
    // Right before runEnded: the run's number in the results store, a new one or the one
    // resumed, when the store holds it with every point; 0 when it does not (its writes wait or
    // were refused). Not sent when no store is written.
    void runRecorded(qint64 run);
    // Right before runEnded: the run's verdict with its counts and first failures; grade None
    // for a run without limits.
    void runJudged(const RunJudgement &judgement);
    // A trouble of an instrument's link as it happens ("Power meter", "no answer to FETC?").
    void instrumentTrouble(const QString &instrument, const QString &trouble);
    // The results store's news: a damaged file set aside, rows written from it, why it is not
    // written.
    void storeNotice(const QString &text);
    // A resumed run was refused at its start (another program goes on with it): nothing was
    // measured.
    void runRefused(const QString &why);
    // A warning of a run's start, right after runStarted: the RF output is off, no power meter
    // channel was chosen, or the range fits fewer points than were asked. The run goes on.
    void runWarning(const QString &text);
    // The derived step and count again, with the measurement that derived them, so that each
    // tab shows its own; freqStep and pointsCount carry both measurements' as before.
    void derivedStep(bool spur, const QString &text);
    void derivedCount(bool spur, const QString &text);
    // The spur measurement's one-off settling after adjusting the analyzer at a pass's first
    // point: true as the pause begins, false once it has ended.
    void analyzerSettling(bool settling);

private:
    // Re-posts the named operation into the worker thread when called from another thread;
    // true when it did (the caller then returns).
    bool repost(const char *name, QGenericArgument a0 = QGenericArgument(),
                QGenericArgument a1 = QGenericArgument(), QGenericArgument a2 = QGenericArgument(),
                QGenericArgument a3 = QGenericArgument(), QGenericArgument a4 = QGenericArgument(),
                QGenericArgument a5 = QGenericArgument());
    void traceThreads();
    // Clears the stop flag for a measurement that begins, unless a stop came after it was asked.
    void beginMeasurement();
    void onOpenPortText(const QString &text);
    // Runs the steps in order with the fixed command pause between two of them.
    void withPauses(std::initializer_list<std::function<void()>> steps);
    // Derives a measurement's grid and shows the derived step or count.
    FrequencyGrid announceGrid(bool pointsMode, double start, double stop, quint64 count,
                               double step, bool spur);
    // The warnings of a run that starts now, as runWarning words them; a grid that fits fewer
    // points than were asked says so among them.
    QStringList startWarnings(bool spur, bool channelA, const QString &gridShortfall) const;
    // Between passes: the next power to the window and the synthesizer, which then returns to
    // the first frequency.
    void raisePower(double &power, quint32 step, double firstFrequency);
    void frequencySweep(const FrequencyGrid &grid, const QString &tableName, bool channelA, quint64 firstPoint);
    void oneFrequencyReading(double frequency, double power, const QString &tableName,
                             bool channelA);
    double readPowerMeter(double frequency, bool channelA);
    // reading: at the unit; correction: the loss added to the meter's reading (NaN: none).
    void reportPowerPoint(const QString &tableName, quint64 number, double frequency, double reading, double correction,
                          double fetchedPower, const Verdict::Judgement &judgement);
    // The run's correction table: the run records it, and its warning when past due.
    void takeTable(const Corrections::CorrectionTable &table);
    // The power at the unit from a reading through the run's path of this loss; none without a table.
    std::optional<double> atUnit(double reading, double loss) const;
    void synthesizerValues(double *fetchedPower, double *temperature);
    void spurPass(const ValueForm &form, const FrequencyGrid &grid, double power, const QString &tableName,
                  quint64 firstPoint);
    // Passes a run will make from this power on, as cycling and the power step stand now; 0
    // when there is no end (a step of 0 while cycling).
    int passesFrom(double power, bool spur) const;
    // A pass at this power begins: its number and the passes expected go to the window.
    void beginPass(double power, bool spur);
    // The point in the results store before its row goes to the report writer: its id, the
    // row's tag, or 0.
    qint64 recordPoint(StoredPoint::Row row, const QString &tableName, const QVector<double> &values,
                       const Verdict::Judgement &judgement, const QList<double> &frequencies = {},
                       const QList<double> &levels = {}, double correction = qQNaN(),
                       const QVector<double> &peakCorrections = {});
    // Why the store's last write failed, as a storeNotice, unless that was said before.
    void noteStoreProblem();
    // The rows the report writer has saved are marked in the store.
    void recordRowsSaved();
    struct Resume
    {
        int pass = 1;
        quint64 point = 0;
        QString refused; // why a resumed run cannot go on: nothing is measured
    };
    // Where a measurement that begins starts, and its run in the store (a new one, or the
    // resumed one).
    Resume takeResume(const QString &measurement);
    // An instrument's answer to *IDN? on its present connection.
    struct Identity
    {
        explicit Identity(bool linked = false) : linked(linked) {}
        bool linked; // a connection was asked for and has not been given up since
        bool asked = false;
        QString text;
    };
    // The identities of the instruments a run of this kind uses, asked for where not yet asked on
    // their connections; one line each, "synthesizer: ..." (empty when identifying is off, and
    // when the run was stopped before it began: nothing is sent then).
    QString identities(bool spur);
    // The run's judging begins; a resumed run's earlier points count with this process's.
    void beginJudging(const MeasurementLimits &limits, bool spur, const FrequencyGrid &grid, quint64 pointsPerPass,
                      qint64 resumedRun);
    // The run's end: its verdict to the front end, then the end itself.
    void endRun();
    // The run's verdict to the store whenever it changes, so that a run cut short keeps it.
    void recordVerdict(Verdict::Grade grade);

    OrvaneDeviceDriver *synthesizer = nullptr;
    PowerMeterDriver *powerMeter = nullptr;
    SpectrumAnalyzerDriver *spectrumAnalyzer = nullptr;
    ExcelWorker *excelWorker = nullptr;
    // The same writer, published to other threads once it exists.
    std::atomic<ExcelWorker *> sharedReportWriter{nullptr};
    std::atomic<bool> stopFlag{false};
    // Measurements asked for from other threads and begun in this one, and the newest start a
    // stop was asked after: a stop between a start's request and its beginning is kept.
    std::atomic<quint64> startsAsked{0};
    std::atomic<quint64> startsBegun{0};
    std::atomic<quint64> stopTicket{0};
    std::atomic<bool> cycleFlag{false};
    std::atomic<bool> fetchValuesFlag{false};
    std::atomic<int> powerStep{0};
    std::atomic<int> delayMs{0};
    std::atomic<bool> rfShownOff{false};
    Corrections::CorrectionTable pathTable; // of the measurement under way; path None: none
    std::atomic<bool> channelChosen{true};
    std::atomic<bool> identifyFlag{false};
    Identity synthesizerIdentity;
    Identity powerMeterIdentity;
    Identity analyzerIdentity;
    // The RF output as this program last switched it: 1 on, -1 off, 0 not yet.
    int rfSwitched = 0;
    QString reportFolder;
    QString storePath;
    StoreFile::NamedBy storeNamedBy = StoreFile::NamedBy::User;
    QString station;
    std::unique_ptr<RunRecorder> recorder;
    QStringList storeProblemsSaid;
    qint64 resumeRun = 0;
    int resumePass = 1;
    quint64 resumePoint = 0;
    quint64 pointIndex = 0;
    // The pass under way and its output power, for the points reported to the window.
    int runPass = 0;
    double runPower = 0;
    RunJudging judging;
    RunVerdict recordedVerdict; // what the store was last given of the run's verdict
    // Set when the synthesizer's connection was lost and not made again: what is read since is
    // not at the frequencies the points name.
    bool synthesizerLost = false;
    QString unitSerial;
    QString unitOperator;
    bool usbHidConnected = false;
    QString requestedHidDevice;
};
