#pragma once

#include <QStringList>

#include "RunHistory.h"

class QSqlQuery;
class QVariant;

// Reading the rows both the local store and the server give: times as UTC texts, NULL for no
// value, and a run's columns in one order.
// The value columns of a point, in their order in every points table (the local store's, the
// server's) and in every statement that reads or writes them all; the store's export and the
// upload take their names from here too.
#define STORED_POINT_VALUES "frequency, reading, output_power, synthesizer_power, temperature, span, bandwidth"
// What a point was judged, in its order in every points table and in the statements that read or
// write it all.
#define STORED_POINT_JUDGEMENT "verdict, limit_margin, limit_upper, limit_lower, limit_spur"

namespace StoredRows {

// STORED_POINT_VALUES as names.
QStringList valueColumns();

QDateTime timeOf(const QVariant &value);
double numberOf(const QVariant &value);
// Text or bytes, as the column holds it.
QByteArray bytesOf(const QVariant &value);
StoredPoint::Row kindOf(const QString &text);

// A run from a row whose first columns are id, station, user, version, started, ended,
// measurement, outcome, setup, instruments, identities, note, points, passes and troubles.
RunSummary summaryOf(const QSqlQuery &query);
// A run's unit, operator and recorded verdict from the row's columns from first on: unit, operator,
// verdict, failed, marginal and unread points.
void readJudgement(const QSqlQuery &query, int first, RunSummary *run);
// A point's judgement from the row's columns from first on, as STORED_POINT_JUDGEMENT names them.
void readJudgement(const QSqlQuery &query, int first, StoredPoint *point);

// Empties the peak corrections of each point none of whose peaks was corrected, as they were
// written: read per peak, they come as NaN for every one.
void dropUncorrectedPeaks(QList<StoredPoint> *points);

// The verdict a run shows: the one recorded, but INCOMPLETE for a run with limits that did not
// reach its end (stopped, failed or interrupted) unless it failed: a failed unit stays failed. A
// run still running shows its verdict so far. Both stores' filters match this.
QString verdictShown(const QString &recorded, const QString &outcome);
// The verdicts a run may show, heaviest last but INCOMPLETE.
QStringList verdicts();

} // namespace StoredRows
