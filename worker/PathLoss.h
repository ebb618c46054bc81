#pragma once

#include "Corrections.h"

#include <QList>
#include <QVector>

struct RecordedTable;

// What a path's correction table does to a point's values, in the units the worker reads them.
namespace PathLoss {

// The loss at a frequency in MHz; NaN without a table (path None), so that nothing is added.
double at(const Corrections::CorrectionTable &table, double frequencyMhz);

// Whether the table corrects anything: it is on a path.
bool applies(const Corrections::CorrectionTable &table);

// The loss at each peak, whose frequencies are in Hz as the analyzer gives them; empty without
// a table.
QVector<double> atPeaks(const Corrections::CorrectionTable &table, const QList<double> &frequenciesHz);

// The peaks' levels, each corrected by its own loss (no losses: as read; a NaN loss: no level).
QList<double> appliedToPeaks(const QList<double> &levels, const QVector<double> &losses);

// The table as a run's record keeps it.
RecordedTable record(const Corrections::CorrectionTable &table);

} // namespace PathLoss
