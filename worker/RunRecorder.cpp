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
    start.station = QHostInfo::localHostName();
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

void RunRecorder::rowsSaved(const QList<QPair<qint64, QString>> &saved, bool now)
{
    // Marked in batches: a mark is a commit of its own, and a row saved but not yet marked when
    // the process ends is found in its workbook at the next start, not written twice.
    unmarked += saved;
    if (unmarked.size() < markBatch && !now)
        return;
    QMap<QString, QList<qint64>> byWorkbook;
    for (const auto &row : qAsConst(unmarked))
        byWorkbook[row.second].append(row.first);
    unmarked.clear();
    for (auto it = byWorkbook.cbegin(); it != byWorkbook.cend(); ++it)
        results->markInWorkbook(it.value(), it.key());
}

void RunRecorder::end(bool stopped)
{
    rowsSaved({}, true);
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
    // Per workbook in the order measured: the rows saved before the kill are the workbook's last.
    QStringList order;
    QMap<QString, QList<StoredPoint>> byWorkbook;
    for (const StoredPoint &point : unsaved) {
        if (!byWorkbook.contains(point.workbook))
            order << point.workbook;
        byWorkbook[point.workbook].append(point);
    }
    int written = 0;
    for (const QString &workbook : order) {
        const QList<StoredPoint> &points = byWorkbook[workbook];
        QList<QVector<double>> cells;
        for (const StoredPoint &point : points)
            cells << firstCells(point);
        const int there = writer.rowsAtEnd(workbook, cells);
        QList<qint64> present;
        for (int i = 0; i < there; ++i)
            present << points.at(i).id;
        if (!present.isEmpty())
            results->markInWorkbook(present, workbook);
        for (int i = there; i < points.size(); ++i)
            write(writer, points.at(i));
        if (there < points.size()) {
            written += points.size() - there;
            *workbooks << workbook;
        }
        qDebug() << "store: of" << points.size() << "rows for" << workbook << "not marked," << there
                 << "were in the workbook";
    }
    rowsSaved(writer.takeSavedRows(), true);
    return written;
}
