#pragma once

#include "Verdict.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

// The verdicts of "rfbench run" as JUnit XML, the report format CI systems read: one test suite
// per run of a measurement, one test case per pass. Plain functions without I/O.
namespace JunitReport {

struct Case
{
    QString classname;     // the measurement's kind: "power", "spur"
    QString name;          // "pass 1, -5 dBm"
    Verdict::Tally tally;  // its points; grade None: not judged
    QString skipped;       // why it was not judged to its end; empty: it was
    bool spur = false;     // its failures' values are dBc where they met the spur limit
};

struct Suite
{
    QString name;
    QString hostname;      // the station
    QDateTime timestamp;   // the run's start
    double seconds = 0;
    QList<QPair<QString, QString>> properties;
    QVector<Case> cases;
};

// A FAIL case becomes a <failure> naming its first ten failing points and their count, a NO
// READING one an <error>, a skipped one <skipped>; a MARGINAL case passes and says so in its
// <system-out>.
QByteArray write(const QVector<Suite> &suites);

// Whether a file that begins so is a JUnit report, which a run may write over: an XML text whose
// root is <testsuites> or <testsuite>. Anything else a --junit path names is another file.
bool isReport(const QByteArray &start);

// "point 3 at 12,400 MHz: -70.12 dBm, lower limit -20 dBm, by -50.12 dB" (value less limit).
QString failureLine(const Verdict::Tally::Failure &failure, bool spur);

} // namespace JunitReport
