#pragma once

#include "MeasuredPoint.h"
#include "ValueForm.h"
#include "ValueFormMeasurePower.h"

#include <QObject>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <functional>
#include <initializer_list>

class ExcelWorker;
struct FrequencyGrid;
class OrvaneDeviceDriver;
class PowerMeterDriver;
class SpectrumAnalyzerDriver;
class QGenericArgument;

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

    // Folder of the report workbooks, taken by the report writer at initialization; the
    // application directory unless set before.
    void setReportFolder(const QString &folder) { reportFolder = folder; }

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
    void runEnded(bool stopped);
    // A trouble of an instrument's link as it happens ("Power meter", "no answer to FETC?").
    void instrumentTrouble(const QString &instrument, const QString &trouble);

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
    // Derives a measurement's grid and shows the derived step or count; in step mode the count
    // replaces the record's.
    FrequencyGrid announceGrid(bool pointsMode, double start, double stop, quint64 &count,
                               double step);
    // Between passes: the next power to the window and the synthesizer, which then returns to
    // the first frequency.
    void raisePower(double &power, quint32 step, double firstFrequency);
    void frequencySweep(double firstFrequency, double gridStep, const QString &tableName,
                        quint64 count, bool channelA);
    void oneFrequencyReading(double frequency, double power, const QString &tableName,
                             bool channelA);
    double readPowerMeter(double frequency, bool channelA);
    void reportPowerPoint(const QString &tableName, quint64 number, double frequency, double reading, double fetchedPower);
    void synthesizerValues(double *fetchedPower, double *temperature);
    void spurPass(const ValueForm &form, double gridStep, double power, const QString &tableName);
    // Passes a run will make from this power on, as cycling and the power step stand now; 0
    // when there is no end (a step of 0 while cycling).
    int passesFrom(double power, bool spur) const;
    // A pass at this power begins: its number and the passes expected go to the window.
    void beginPass(double power, bool spur);

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
    QString reportFolder;
    quint64 pointIndex = 0;
    // The pass under way and its output power, for the points reported to the window.
    int runPass = 0;
    double runPower = 0;
    bool usbHidConnected = false;
    QString requestedHidDevice;
};
