#pragma once

#include "BenchSetup.h"
#include "RunHistory.h"

#include <QDate>
#include <QStringList>

// The correction tables a setup names, read and checked against the measurements that run.
namespace SetupCorrections {

struct Loaded
{
    QVector<Corrections::CorrectionTable> tables; // every table the setup names, each with its path
    QStringList warnings; // a used table past its due date, when the setup does not enforce it
    QString error;        // "corrections.powerMeter.A: cable.csv:7: ..."; empty when the run may start

    bool ok() const { return error.isEmpty(); }
    // The table of a path; null when the setup names none for it.
    const Corrections::CorrectionTable *table(Corrections::Path path) const;
};

// The path a measurement's readings come through: the power meter's channel read (B when none
// is chosen) or the analyzer.
Corrections::Path pathOf(const BenchSetup &setup, const MeasurementSetup &measurement);

// Reads each table file (a relative name from the setup file's folder) and checks the tables.
// The only part of reading a setup that reads other files.
Loaded load(const BenchSetup &setup, const QString &setupFolder, const QDate &today);

// Checks tables already read against the setup's measurements that run: a power measurement
// reading a channel without a table while the other channel has one, a table that does not
// cover its measurement's range (a spur measurement's carriers with half the span to each
// side), a used table past its due date. Returns the refusal, or empty; warnings are added.
QString check(const BenchSetup &setup, const QVector<Corrections::CorrectionTable> &tables, const QDate &today,
              QStringList *warnings);

// The tables of a resumed run as its record keeps them, checked as load() checks the files: its
// later points are corrected as its earlier ones were, whatever the files hold now. A path the
// setup names but the run never read need not be on record.
Loaded fromRecord(const BenchSetup &setup, const QList<RecordedTable> &recorded, const QDate &today);

} // namespace SetupCorrections
