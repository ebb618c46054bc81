#include "RunRecorder.h"

#include "Corrections.h"
#include "ExcelWorker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QMap>
#include <QThread>

#include <algorithm>
#include <QtDebug>

#include <cmath>

namespace {

// The first cells of the point's row, as the report writer fills them.
QVector<double> firstCells(const StoredPoint &point)
{
    if (point.row != StoredPoint::Row::Spur)
        return point.values;
    if (point.peakFrequencies.isEmpty() || point.peakLevels.isEmpty())
        return {};
    return {point.peakFrequencies.first() / 1e9, point.peakLevels.first()};
}

bool sameCells(const QVector<double> &cells, const QVector<double> &expected)
{
    if (expected.isEmpty())
        return false;
    for (int i = 0; i < expected.size(); ++i) {
        const double cell = cells.value(i, qQNaN());
        const double want = expected.at(i);
        if (std::isnan(want) ? !std::isnan(cell)
                             : !(std::fabs(cell - want) <= 1e-12 * std::max(1.0, std::fabs(want))))
            return false;
    }
    return true;
}

void write(ExcelWorker &writer, const StoredPoint &point)
{
    const QVector<double> &v = point.values;
    const auto at = [&v](int i) { return i < v.size() ? v.at(i) : qQNaN(); };
    // The corrected column as the run wrote it: present when a table applied, its reading plus the loss.
    std::optional<double> corrected;
    if (!std::isnan(point.correction))
        corrected = Corrections::corrected(at(1), point.correction);
    switch (point.row) {
    case StoredPoint::Row::Sweep:
        writer.writeFrequencySweepRow(point.workbook, point.pointIndex, at(0), at(1), at(2), at(3), point.id,
                                      corrected);
        break;
    case StoredPoint::Row::Step:
        writer.writePowerStepRow(point.workbook, point.pointIndex, at(0), at(1), at(2), at(3), at(4), point.id,
                                 corrected);
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

QString RunRecorder::userName()
{
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? qEnvironmentVariable("USERNAME") : user;
}

RunRecorder::~RunRecorder() = default;

QString RunRecorder::problem() const
{
    return results ? results->problem() : QStringLiteral("no results store");
}

QString RunRecorder::cause() const
{
    return results ? results->cause() : QStringLiteral("no results store");
}

void RunRecorder::setContext(const QByteArray &runSetup, const QString &runInstruments, const QString &runIdentities)
{
    setup = runSetup;
    instruments = runInstruments;
    identities = runIdentities;
}

void RunRecorder::placeRowsOf(ExcelWorker &writer)
{
    storeThread = QThread::currentThread();
    writer.setRowPlacer([this](const QVector<ExcelWorker::PlacedRow> &rows, QString *why) {
        // The store is used from its own thread alone; a save from the window's thread (rows
        // retried as it closes) goes without, and a later start finds its rows at the end of
        // their workbook.
        if (QThread::currentThread() != storeThread)
            return true;
        QList<RowPlace> places;
        for (const ExcelWorker::PlacedRow &row : rows)
            places << RowPlace{row.token, row.path, row.sheet, row.row};
        if (results->placeRows(places))
            return true;
        *why = QStringLiteral("the results store cannot record where the rows go: %1").arg(results->problem());
        return false;
    });
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
    start.tables = tables;
    start.dataFolder = dataFolder;
    start.unit = unitSerial;
    start.operatorName = unitOperator.isEmpty() ? userName() : unitOperator;
    notes.clear();
    run = results->beginRun(start);
    recorded << Recorded{run, 0, 0};
    addEarlierTroubles();
}

bool RunRecorder::resume(qint64 resumed)
{
    notes.clear();
    if (!results->reopenRun(resumed)) {
        run = 0;
        return false;
    }
    run = resumed;
    const auto begunHere = std::find_if(recorded.begin(), recorded.end(), [this](const Recorded &r) {
        return r.written == run;
    });
    if (begunHere == recorded.end())
        recorded << Recorded{run, results->run(run).points, 0};
    else
        recorded.append(recorded.takeAt(int(begunHere - recorded.begin())));
    addEarlierTroubles();
    return true;
}

qint64 RunRecorder::whole(const Recorded &entry) const
{
    const qint64 id = entry.written == 0 ? 0 : results->storedId(entry.written);
    // A point whose write waits or was refused is not counted by the store.
    return id > 0 && results->run(id).points >= entry.earlier + entry.given ? id : 0;
}

QList<qint64> RunRecorder::recordedRuns() const
{
    QList<qint64> runs;
    for (const Recorded &entry : recorded) {
        const qint64 id = whole(entry);
        if (id == 0)
            return {};
        if (!runs.contains(id))
            runs << id;
    }
    return runs;
}

namespace {
// Troubles kept between runs: the first ones tell what went wrong.
const int maxEarlierTroubles = 100;
} // namespace

void RunRecorder::addEarlierTroubles()
{
    if (run != 0)
        for (const RunTrouble &trouble : qAsConst(earlierTroubles))
            results->addTrouble(run, trouble);
    earlierTroubles.clear();
}

void RunRecorder::verdict(const RunVerdict &verdict)
{
    if (run != 0)
        results->setVerdict(run, verdict);
}

void RunRecorder::pass(int pass, double outputPower)
{
    if (run != 0)
        results->addPass(run, pass, outputPower, QDateTime::currentDateTime());
}

qint64 RunRecorder::point(StoredPoint point)
{
    if (!recorded.isEmpty())
        ++recorded.last().given;
    if (run == 0)
        return 0;
    point.run = run;
    return results->addPoint(point);
}

void RunRecorder::trouble(const QString &instrument, const QString &text)
{
    const RunTrouble trouble{QDateTime::currentDateTime(), instrument, text};
    if (run != 0)
        results->addTrouble(run, trouble);
    else if (earlierTroubles.size() < maxEarlierTroubles)
        earlierTroubles << trouble;
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

QList<StoredPoint> RunRecorder::atEndOfWorkbooks(ExcelWorker &writer, const QList<StoredPoint> &unplaced)
{
    QList<StoredPoint> missing;
    // Per workbook, the runs' points in the order measured. A workbook's rows are saved in that
    // order, so the rows saved before a kill end the workbook: the last group of a workbook whose
    // rows are found at its end tells that every group before it was saved whole.
    QStringList order;
    QMap<QString, QList<QList<StoredPoint>>> byWorkbook;
    for (const StoredPoint &point : unplaced) {
        if (!byWorkbook.contains(point.workbook))
            order << point.workbook;
        QList<QList<StoredPoint>> &groups = byWorkbook[point.workbook];
        if (groups.isEmpty() || groups.last().first().run != point.run)
            groups.append(QList<StoredPoint>());
        groups.last().append(point);
    }
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
        QList<qint64> atEnd;
        for (int g = 0; g < groups.size(); ++g)
            for (int i = 0; i < groups.at(g).size(); ++i) {
                if (i < there.at(g))
                    atEnd << groups.at(g).at(i).id;
                else
                    missing << groups.at(g).at(i);
            }
        if (!atEnd.isEmpty())
            results->markInWorkbook(atEnd, holder);
    }
    return missing;
}

RunRecorder::Recovery RunRecorder::recover(ExcelWorker &writer)
{
    Recovery recovery;
    const QList<StoredPoint> unsaved = results->pointsNotInWorkbook();
    if (unsaved.isEmpty())
        return recovery;
    // A point whose place is on record is looked for there: each workbook file is read once,
    // from the highest of its places.
    QMap<QString, int> firstPlaced;
    for (const StoredPoint &point : unsaved)
        if (!point.placedPath.isEmpty() && point.placedRow > 0) {
            auto at = firstPlaced.find(point.placedPath);
            if (at == firstPlaced.end())
                firstPlaced.insert(point.placedPath, point.placedRow);
            else
                *at = qMin(*at, point.placedRow);
        }
    QMap<QString, QList<QVector<double>>> placedRows;
    QSet<QString> unreadable;
    for (auto it = firstPlaced.cbegin(); it != firstPlaced.cend(); ++it) {
        QList<QVector<double>> rows;
        if (writer.rowsFrom(it.key(), it.value(), 5, &rows))
            placedRows.insert(it.key(), rows);
        else
            unreadable << it.key();
    }
    QMap<QString, QList<qint64>> present; // by the workbook that holds them
    QList<StoredPoint> unplaced;          // no place on record: the end of the workbook tells
    QList<StoredPoint> missing;
    for (const StoredPoint &point : unsaved) {
        if (point.placedPath.isEmpty() || point.placedRow <= 0 || unreadable.contains(point.placedPath)) {
            unplaced << point;
            continue;
        }
        const QList<QVector<double>> &rows = placedRows[point.placedPath];
        const int index = point.placedRow - firstPlaced.value(point.placedPath);
        if (index < rows.size() && sameCells(rows.at(index), firstCells(point)))
            present[QFileInfo(point.placedPath).completeBaseName()] << point.id;
        else
            missing << point;
    }
    for (auto it = present.cbegin(); it != present.cend(); ++it)
        results->markInWorkbook(it.value(), it.key());

    // Points without a place (recorded before places were, or saved from another thread) are
    // looked for at the end of their workbooks, in their run's folder.
    QMap<QString, QList<StoredPoint>> unplacedByFolder;
    for (const StoredPoint &point : qAsConst(unplaced))
        unplacedByFolder[point.dataFolder.isEmpty() ? writer.folder() : point.dataFolder] << point;
    for (auto it = unplacedByFolder.cbegin(); it != unplacedByFolder.cend(); ++it) {
        ExcelWorker inFolder;
        inFolder.setApplicationFactory(writer.applicationFactory());
        inFolder.setDirectory(it.key());
        missing += atEndOfWorkbooks(inFolder, it.value());
    }
    std::sort(missing.begin(), missing.end(),
              [](const StoredPoint &a, const StoredPoint &b) { return a.id < b.id; });

    // Each row goes to its run's own data folder; one recorded without a folder goes to this
    // writer's. A folder that is gone keeps its rows waiting in the store.
    QStringList folders;
    QMap<QString, QList<StoredPoint>> byFolder;
    for (const StoredPoint &point : qAsConst(missing)) {
        const QString folder = point.dataFolder.isEmpty() ? writer.folder() : point.dataFolder;
        if (!byFolder.contains(folder))
            folders << folder;
        byFolder[folder] << point;
    }
    for (const QString &folder : qAsConst(folders)) {
        const QList<StoredPoint> &points = byFolder[folder];
        if (!QFileInfo(folder).isDir()) {
            recovery.waiting += points.size();
            recovery.goneFolders << QDir::toNativeSeparators(folder);
            qDebug() << "store:" << points.size() << "rows wait: their data folder" << folder << "is gone";
            continue;
        }
        ExcelWorker inFolder;
        inFolder.setApplicationFactory(writer.applicationFactory());
        inFolder.setDirectory(folder);
        placeRowsOf(inFolder);
        inFolder.startExcel();
        for (const StoredPoint &point : points) {
            write(inFolder, point);
            const QString path = inFolder.workbookPath(point.workbook);
            if (!recovery.workbooks.contains(path))
                recovery.workbooks << path;
        }
        inFolder.quitExcel();
        const QList<QPair<qint64, QString>> saved = inFolder.takeSavedRows();
        // Rows that could not be saved now stay in the store for the next start.
        recovery.written += saved.size();
        recovery.waiting += points.size() - saved.size();
        rowsSaved(saved);
    }
    placeRowsOf(writer);
    qDebug() << "store:" << unsaved.size() - missing.size() << "unmarked rows were in their workbooks,"
             << recovery.written << "written";
    return recovery;
}
