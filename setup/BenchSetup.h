#pragma once

#include "Corrections.h"
#include "Limits.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

// One measurement of a setup, with every field of the window's panel for it; fields that the
// other kind of measurement has keep their defaults and are not written.
struct MeasurementSetup
{
    enum class Kind { Power, Spur };

    Kind kind = Kind::Power;
    bool run = true; // false: kept in the file (the window's other tab) but not run
    double start = 160.0;    // MHz
    double stop = 22000.0;   // MHz
    bool pointsMode = true;  // the grid by its point count, else by its step
    quint64 points = 2185;
    double step = 10.0;      // MHz
    double power = 0.0;      // dBm
    int delay = 150;         // ms
    bool cycle = false;
    int powerStep = 1;       // dB per pass when cycling
    bool oneFrequency = false; // power only: the start frequency alone, once per pass
    bool fetchValues = true;   // power only: the synthesizer's own readings at each point
    double span = 10.0;        // spur only: MHz
    double displayLine = 73.0; // spur only: dB below the carrier
    MeasurementLimits limits;  // "limits": none unless present

    // The window's defaults for a measurement of this kind.
    static MeasurementSetup defaults(Kind kind);
};

// A path's correction table as the setup names it: a file, or points given in the setup itself.
struct CorrectionSource
{
    QString file; // as the setup gives it, relative to the setup file's folder; empty: the points
    QVector<Corrections::LossPoint> points;
    Corrections::Interpolation interpolation = Corrections::Interpolation::Linear;
    Corrections::Beyond beyond = Corrections::Beyond::Refuse;

    bool isSet() const { return !file.isEmpty() || !points.isEmpty(); }
    bool operator==(const CorrectionSource &other) const;
    bool operator!=(const CorrectionSource &other) const { return !(*this == other); }
};

// "corrections": a table per path between the unit and a meter, each optional.
struct CorrectionsSetup
{
    CorrectionSource meterA;   // "powerMeter.A"
    CorrectionSource meterB;   // "powerMeter.B"
    CorrectionSource analyzer; // "analyzer"
    bool enforceDue = false;   // a table past its due date refuses the run instead of warning

    const CorrectionSource &source(Corrections::Path path) const;
    // The source of a setup's path; path must not be None.
    CorrectionSource &source(Corrections::Path path);
    bool isEmpty() const { return !meterA.isSet() && !meterB.isSet() && !analyzer.isSet() && !enforceDue; }
    bool operator==(const CorrectionsSetup &other) const;
    bool operator!=(const CorrectionsSetup &other) const { return !(*this == other); }
};

// Everything one run needs: the instruments' addresses and the measurements, run one after
// another on the same connections.
struct BenchSetup
{
    enum class Transport { Lan, Serial, Hid };

    // Each instrument section is optional: a setup names what its measurements need.
    bool hasSynthesizer = false;
    Transport transport = Transport::Lan;
    QString synthesizerAddress; // host, serial port name or HID device name, by transport

    bool hasPowerMeter = false;
    QString powerMeterAddress;
    QString channel; // "A", "B", or empty: none chosen (channel B is read)

    bool hasAnalyzer = false;
    QString analyzerAddress;
    bool rohdeSchwarz = true; // the R&S dialect, else the KVD4471B's

    // Where the runs go: optional too, and each of its fields; a command line's choice wins.
    bool hasStore = false;
    QString storeAddress; // an SQLite file (relative: to the setup file's folder) or a postgresql:// address
    QString station;      // the bench's name on the results server
    // "store.identify": ask each instrument *IDN? once after connecting, for the run's record.
    // Unset: on for a setup with limits (a test), off otherwise.
    enum class Identify { Unset, On, Off } identify = Identify::Unset;

    // "unit": the unit under test. serial and operatorName come from the command line (or the
    // window's fields) as a rule; the setup may hold them too.
    QString unitSerial;      // "unit.serial"
    QString serialPattern;   // "unit.serialPattern": a regular expression the whole serial must match; empty: any
    bool serialRequired = false; // "unit.required": an empty serial is refused
    QString operatorName;    // "unit.operator"

    CorrectionsSetup corrections;

    // "report": the file name of the runs' test report, relative to the data folder, with
    // placeholders such as {unit} and {date} (ReportName); empty: none is written.
    QString reportName;

    QVector<MeasurementSetup> measurements;
};
