#include "RunResume.h"

#include "FrequencyGrid.h"
#include "ResultsStore.h"
#include "SetupFile.h"

namespace RunResume {

bool find(ResultsStore &store, qint64 run, Point *from, QByteArray *setup, QString *why)
{
    const RunSummary summary = store.run(run);
    if (summary.id == 0) {
        *why = QStringLiteral("no run %1 in the results store").arg(run);
        return false;
    }
    if (summary.outcome != QLatin1String("stopped") && summary.outcome != QLatin1String("interrupted")) {
        *why = QStringLiteral("run %1 is %2; only a stopped or interrupted run goes on").arg(QString::number(run), summary.outcome);
        return false;
    }
    const SetupFile::Result parsed = SetupFile::read(summary.setup, QStringLiteral("run %1").arg(run));
    if (!parsed.ok() || parsed.setup.measurements.size() != 1) {
        *why = QStringLiteral("the setup of run %1 cannot be read: %2").arg(QString::number(run), parsed.error);
        return false;
    }
    const MeasurementSetup &m = parsed.setup.measurements.first();
    const QList<StoredPoint> points = store.points(run);
    *from = Point();
    from->run = run;
    if (!points.isEmpty()) {
        const StoredPoint &last = points.last();
        const quint64 perPass = m.kind == MeasurementSetup::Kind::Power && m.oneFrequency
                                    ? 1
                                    : FrequencyGrid::derive(m.pointsMode, m.start, m.stop, m.points, m.step).count;
        from->pass = last.pass;
        from->point = last.number;
        if (last.number >= perPass) {
            // Only a cycling run has a pass after a complete one; the measurement tells whether
            // its power is below the ceiling.
            if (!m.cycle) {
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
