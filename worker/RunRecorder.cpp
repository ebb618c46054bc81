#include "RunRecorder.h"

#include "ExcelWorker.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QMap>
#include <QtDebug>

namespace {

QString userName()
{
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? qEnvironmentVariable("USERNAME") : user;
}

// The first cells of the point's row, as the report writer fills them.
QVector<double> firstCells(const StoredPoint &point)
{
    if (point.row != StoredPoint::Row::Spur)
        return point.values;
    if (point.peakFrequencies.isEmpty() || point.peakLevels.isEmpty())
        return {};
    return {point.peakFrequencies.first() / 1e9, point.peakLevels.first()};
}

void write(ExcelWorker &writer, const StoredPoint &point)
{
    const QVector<double> &v = point.values;
    const auto at = [&v](int i) { return i < v.size() ? v.at(i) : qQNaN(); };
    switch (point.row) {
    case StoredPoint::Row::Sweep:
        writer.writeFrequencySweepRow(point.workbook, point.pointIndex, at(0), at(1), at(2), at(3), point.id);
        break;
    case StoredPoint::Row::Step:
        writer.writePowerStepRow(point.workbook, point.pointIndex, at(0), at(1), at(2), at(3), at(4), point.id);
        break;
    case StoredPoint::Row::Spur: {
        quint32 count = quint32(point.peakFrequencies.size());
        writer.writeSpurRow(point.workbook, point.pointIndex, at(0), at(1), count, point.peakFrequencies.toList(),
                            point.peakLevels.toList(), point.id, point.measuredAt);
        break;
    }
    }
}

} // namespace

RunRecorder::RunRecorder(std::unique_ptr<ResultsStore> store) : results(std::move(store)) {}

RunRecorder::~RunRecorder() = default;

QString RunRecorder::problem() const
{
    return results ? results->problem() : QStringLiteral("no results store");
}

void RunRecorder::setContext(const QByteArray &runSetup, const QString &runInstruments, const QString &runIdentities)
{
    setup = runSetup;
    instruments = runInstruments;
    identities = runIdentities;
}

void RunRecorder::begin(const QString &measurement)
{
    RunStart start;
    start.station = stationName.isEmpty() ? QHostInfo::localHostName() : stationName;
    start.user = userName();
    start.version = QCoreApplication::applicationVersion();
    start.started = QDateTime::currentDateTime();
    start.measurement = measurement;
    start.setup = setup;
    start.instruments = instruments;
    start.identities = identities;
    start.note = notes.join(QLatin1Char('\n'));
    notes.clear();
    run = results->beginRun(start);
}

void RunRecorder::resume(qint64 resumed)
{
    run = resumed;
    notes.clear();
    results->reopenRun(run);
}

void RunRecorder::pass(int pass, double outputPower)
{
    if (run != 0)
        results->addPass(run, pass, outputPower, QDateTime::currentDateTime());
}

qint64 RunRecorder::point(StoredPoint point)
{
    if (run == 0)
        return 0;
    point.run = run;
    return results->addPoint(point);
}

void RunRecorder::trouble(const QString &instrument, const QString &text)
{
    if (run != 0)
        results->addTrouble(run, RunTrouble{QDateTime::currentDateTime(), instrument, text});
}

void RunRecorder::rowsSaved(const QList<QPair<qint64, QString>> &saved)
{
    // Each row is marked as soon as it is saved: the fewer rows saved but not marked at a kill,
    // the fewer the next start must find in their workbooks.
    unmarked += saved;
    QMap<QString, QList<QPair<qint64, QString>>> byWorkbook;
    for (const auto &row : qAsConst(unmarked))
        byWorkbook[row.second].append(row);
    unmarked.clear();
    for (auto it = byWorkbook.cbegin(); it != byWorkbook.cend(); ++it) {
        QList<qint64> ids;
        for (const auto &row : it.value())
            ids << row.first;
        results->markInWorkbook(ids, it.key());
        // A mark the store could not take is tried again with the next ones.
        if (!results->problem().isEmpty())
            unmarked += it.value();
    }
}

void RunRecorder::end(bool stopped)
{
    rowsSaved({});
    if (run != 0)
        results->endRun(run, stopped ? QStringLiteral("stopped") : QStringLiteral("finished"),
                        QDateTime::currentDateTime());
    run = 0;
}

int RunRecorder::recover(ExcelWorker &writer, QStringList *workbooks)
{
    const QList<StoredPoint> unsaved = results->pointsNotInWorkbook();
    if (unsaved.isEmpty())
        return 0;
    // Per workbook, the runs' points in the order measured. A workbook's rows are saved in that
    // order, so the rows saved before a kill end the workbook: the last group of a workbook whose
    // rows are found at its end tells that every group before it was saved whole.
    QStringList order;
    QMap<QString, QList<QList<StoredPoint>>> byWorkbook;
    for (const StoredPoint &point : unsaved) {
        if (!byWorkbook.contains(point.workbook))
            order << point.workbook;
        QList<QList<StoredPoint>> &groups = byWorkbook[point.workbook];
        if (groups.isEmpty() || groups.last().first().run != point.run)
            groups.append(QList<StoredPoint>());
        groups.last().append(point);
    }
    int written = 0;
    for (const QString &workbook : order) {
        const QList<QList<StoredPoint>> &groups = byWorkbook[workbook];
        // How many points of each group are in the workbook (or its "(recovered)" neighbour).
        QVector<int> there(groups.size(), 0);
        QString holder = workbook;
        for (int g = groups.size() - 1; g >= 0; --g) {
            const QList<StoredPoint> &points = groups.at(g);
            QList<QVector<double>> cells;
            for (const StoredPoint &point : points)
                cells << firstCells(point);
            // Only rows just below the run's own marked rows count: a run repeated with the same
            // values would otherwise have an earlier run's rows taken for its own. A run none of
            // whose rows was marked is written again rather than risk losing one.
            QVector<double> anchor;
            for (const StoredPoint &point : results->points(points.first().run))
                if (point.id < points.first().id && point.inWorkbook && point.workbook == workbook)
                    anchor = firstCells(point);
            if (anchor.isEmpty())
                continue;
            const QString neighbour = workbook + QStringLiteral(" (recovered)");
            int found = writer.rowsAtEnd(workbook, cells, anchor);
            const int inNeighbour = writer.rowsAtEnd(neighbour, cells, anchor);
            if (inNeighbour > found) {
                found = inNeighbour;
                holder = neighbour;
            }
            if (found == 0)
                continue;
            there[g] = found;
            for (int earlier = 0; earlier < g; ++earlier)
                there[earlier] = groups.at(earlier).size();
            break;
        }
        QList<qint64> present;
        for (int g = 0; g < groups.size(); ++g)
            for (int i = 0; i < there.at(g); ++i)
                present << groups.at(g).at(i).id;
        if (!present.isEmpty())
            results->markInWorkbook(present, holder);
        int count = 0;
        for (int g = 0; g < groups.size(); ++g)
            for (int i = there.at(g); i < groups.at(g).size(); ++i, ++count)
                write(writer, groups.at(g).at(i));
        if (count > 0) {
            written += count;
            *workbooks << workbook;
        }
        qDebug() << "store:" << present.size() << "unmarked rows of" << workbook << "were in it," << count
                 << "written";
    }
    rowsSaved(writer.takeSavedRows());
    return written;
}
