#include "RunResume.h"

#include "ExcelWorker.h"
#include "ResultsStore.h"

#include <QDir>
#include <QSet>

#include <cmath>

namespace RunResume {

namespace {

// How many rows below the run's last stored row hold a number and are no stored point's.
int unknownRowsBelow(ResultsStore &store, const StoredPoint &last)
{
    if (last.placedPath.isEmpty() || last.placedRow <= 0)
        return 0;
    ExcelWorker reader;
    QList<QVector<double>> rows;
    if (!reader.rowsFrom(last.placedPath, last.placedRow + 1, 1, &rows))
        return 0;
    QSet<int> known;
    for (const RowPlace &place : store.placedBelow(last.placedPath, last.placedRow))
        known << place.row;
    int unknown = 0;
    for (int i = 0; i < rows.size(); ++i)
        if (!std::isnan(rows.at(i).value(0, qQNaN())) && !known.contains(last.placedRow + 1 + i))
            ++unknown;
    return unknown;
}

} // namespace

bool find(ResultsStore &store, qint64 run, const GridOf &gridOf, Point *from, QByteArray *setup, QString *why)
{
    const RunSummary summary = store.run(run);
    if (summary.id == 0) {
        *why = QStringLiteral("no run %1 in the results store").arg(run);
        return false;
    }
    if (summary.outcome == QLatin1String("running")) {
        *why = QStringLiteral("another program is measuring run %1 now").arg(run);
        return false;
    }
    if (summary.outcome != QLatin1String("stopped") && summary.outcome != QLatin1String("interrupted")) {
        *why = QStringLiteral("run %1 is %2; only a stopped or interrupted run goes on").arg(QString::number(run), summary.outcome);
        return false;
    }
    Grid grid;
    QString unreadable;
    if (!gridOf(summary.setup, &grid, &unreadable)) {
        *why = QStringLiteral("the setup of run %1 cannot be read: %2").arg(QString::number(run), unreadable);
        return false;
    }
    if (!summary.dataFolder.isEmpty() && !QDir(summary.dataFolder).exists()) {
        *why = QStringLiteral("the data folder of run %1, %2, is gone")
                   .arg(QString::number(run), QDir::toNativeSeparators(summary.dataFolder));
        return false;
    }
    const QList<StoredPoint> points = store.points(run);
    *from = Point();
    from->run = run;
    from->dataFolder = summary.dataFolder;
    if (!points.isEmpty()) {
        const StoredPoint &last = points.last();
        const int unknown = unknownRowsBelow(store, last);
        if (unknown > 0) {
            *why = QStringLiteral("its workbook %1 holds %2 rows below row %3, the last the results store knows of run "
                                  "%4, that the store does not know: points of the run may have missed the store, and "
                                  "going on would measure and write them again")
                       .arg(QDir::toNativeSeparators(last.placedPath))
                       .arg(unknown)
                       .arg(last.placedRow)
                       .arg(run);
            return false;
        }
        from->pass = last.pass;
        from->point = last.number;
        if (last.number >= grid.perPass) {
            // Only a cycling run has a pass after a complete one; the measurement tells whether
            // its power is below the ceiling.
            if (!grid.cycle) {
                *why = QStringLiteral("every point of run %1 is measured").arg(run);
                return false;
            }
            from->pass = last.pass + 1;
            from->point = 0;
        }
    }
    *setup = summary.setup;
    return true;
}

} // namespace RunResume
