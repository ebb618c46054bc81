#pragma once

#include "ResultsStore.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The texts of a run's record for people and other programs: its points as CSV, numbers and
// times as they are written there. Free of I/O.
namespace RunExport {

// Every point with its pass, number, time, row, values and peaks, then its verdict, margin and
// limits, then the path loss added and the corrected value (a spur row's per peak, space
// separated; empty without a table); one line each, CR LF, UTF-8.
QByteArray csv(const QList<StoredPoint> &points);

// C locale, as short as reads back the same; empty when not a number. Frequencies in hertz stay
// whole numbers ("1002000000", not "1.002e+09"); only the very large and small take an exponent.
QString number(double value);

// "2026-12-08T09:32:00.000Z"; empty for a null time.
QString utcText(const QDateTime &time);

} // namespace RunExport
