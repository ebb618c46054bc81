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

} // namespace StoredRows
