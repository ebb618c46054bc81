// Reading the store: runs, points, passes and troubles as lists show them.

#include "SqliteStore.h"

#include "RunLocks.h"
#include "SqliteStoreSql.h"
#include "StoreCheck.h"
#include "StoreFile.h"

#include <QDir>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QtDebug>

using namespace StoreSql;

QList<StoredPoint> SqliteStore::pointsWhere(const char *sql, const char *peaksSql, const QVariantList &values)
{
    QList<StoredPoint> points;
    if (!readable)
        return points;
    QSqlQuery *query = exec(sql, values);
    if (!query)
        return points;
    const QStringList columns = StoredRows::valueColumns();
    QHash<qint64, int> at;
    while (query->next()) {
        StoredPoint point;
        point.id = query->value(0).toLongLong();
        point.run = query->value(1).toLongLong();
        point.pass = query->value(2).toInt();
        point.number = query->value(3).toULongLong();
        point.measuredAt = timeOf(query->value(4));
        point.row = kindOf(query->value(5).toString());
        point.workbook = query->value(6).toString();
        point.pointIndex = query->value(7).toULongLong();
        for (const QString &name : valueNames(point.row))
            point.values << numberOf(query->value(firstValueColumn + columns.indexOf(name)));
        point.inWorkbook = !query->value(15).isNull();
        point.savedIn = query->value(15).toString();
        point.placedPath = query->value(16).toString();
        point.placedSheet = query->value(17).toString();
        point.placedRow = query->value(18).toInt();
        point.dataFolder = query->value(19).toString();
        StoredRows::readJudgement(*query, firstJudgementColumn, &point);
        point.correction = numberOf(query->value(correctionColumn));
        at.insert(point.id, points.size());
        points << point;
    }
    if (!done(*query))
        return {};
    QSqlQuery *peaks = exec(peaksSql, values);
    if (!peaks)
        return {};
    while (peaks->next()) {
        const auto index = at.constFind(peaks->value(0).toLongLong());
        if (index == at.constEnd())
            continue; // a point written between the two queries
        StoredPoint &point = points[*index];
        point.peakFrequencies << numberOf(peaks->value(1));
        point.peakLevels << numberOf(peaks->value(2));
        point.peakCorrections << numberOf(peaks->value(3));
    }
    StoredRows::dropUncorrectedPeaks(&points);
    return done(*peaks) ? points : QList<StoredPoint>();
}

QList<StoredPoint> SqliteStore::pointsNotInWorkbook()
{
    // The rows of a run that is being written are on their way.
    QList<StoredPoint> waiting;
    QHash<qint64, bool> written;
    for (const StoredPoint &point : pointsWhere(waitingPoints, peaksOfWaiting, {})) {
        auto known = written.find(point.run);
        if (known == written.end())
            known = written.insert(point.run, locks->alive(point.run));
        if (!*known)
            waiting << point;
    }
    return waiting;
}

QList<RowPlace> SqliteStore::placedBelow(const QString &path, int row)
{
    QList<RowPlace> places;
    QSqlQuery *query = readable ? exec(placedRows, {textValue(path), row}) : nullptr;
    if (!query)
        return places;
    while (query->next())
        places << RowPlace{query->value(0).toLongLong(), query->value(1).toString(), query->value(2).toString(),
                           query->value(3).toInt()};
    return done(*query) ? places : QList<RowPlace>();
}

bool SqliteStore::runIsWritten(qint64 run)
{
    return locks->alive(run);
}

QString SqliteStore::dataFolderOf(qint64 run)
{
    if (layout < 4)
        return QString();
    QSqlQuery *query = readable ? exec(folderOfRun, {run}) : nullptr;
    if (!query)
        return QString();
    const QString folder = query->next() ? query->value(0).toString() : QString();
    done(*query);
    return folder;
}

QList<StoredPoint> SqliteStore::points(qint64 run)
{
    const char *sql = layout >= 6   ? pointsOfRun
                      : layout == 5 ? pointsOfUncorrectedRun
                      : layout == 4 ? pointsOfUnjudgedRun
                                    : pointsOfOlderRun;
    return pointsWhere(sql, layout >= 6 ? peaksOfRun : peaksOfUncorrectedRun, {run});
}

RunSummary SqliteStore::summaryOf(QSqlQuery &query)
{
    RunSummary run = StoredRows::summaryOf(query);
    // Seen from here before the next writer records it.
    if (run.outcome == QLatin1String("running") && !locks->alive(run.id))
        run.outcome = QStringLiteral("interrupted");
    StoredRows::readJudgement(query, firstRunJudgementColumn, &run);
    run.verdict.verdict = StoredRows::verdictShown(run.verdict.verdict, run.outcome);
    run.localId = run.id;
    run.store = identityText;
    return run;
}

QList<RunSummary> SqliteStore::runs(const RunFilter &filter)
{
    QList<RunSummary> list;
    if (!readable)
        return list;
    const QString pattern = likePattern(filter.text);
    const QString text = textValue(filter.text).toString();
    const QVariant unit = textValue(filter.unit), verdict = textValue(filter.verdict);
    QSqlQuery *query = exec(layout >= 5 ? listRuns : listUnjudgedRuns,
                            {text, pattern, pattern, pattern, pattern,
                             filter.since.isValid() ? timeValue(filter.since) : QStringLiteral(""),
                             textValue(filter.station), textValue(filter.station), text, pattern, pattern, pattern,
                             unit, unit, verdict, verdict, verdict});
    if (!query)
        return list;
    // The newest that match, read until there are enough.
    while ((filter.limit <= 0 || list.size() < filter.limit) && query->next()) {
        const RunSummary run = summaryOf(*query);
        const bool textFound = text.isEmpty() || query->value(elsewhereColumn).toBool()
                            || likeContains(run.outcome, text) || likeContains(run.unit, text)
                            || likeContains(run.operatorName, text);
        if (textFound && (filter.verdict.isEmpty() || run.verdict.verdict == filter.verdict))
            list << run;
    }
    if (!done(*query))
        return {};
    for (RunSummary &run : list) {
        QSqlQuery *workbooks = exec(workbooksOfRun, {run.id});
        if (!workbooks)
            return {};
        while (workbooks->next())
            run.workbooks << workbooks->value(0).toString();
        if (!done(*workbooks))
            return {};
        run.dataFolder = dataFolderOf(run.id);
    }
    return list;
}

RunSummary SqliteStore::run(qint64 id)
{
    RunSummary found;
    if (!readable)
        return found;
    QSqlQuery *query = exec(layout >= 5 ? oneRun : oneUnjudgedRun, {id});
    if (!query)
        return found;
    if (query->next())
        found = summaryOf(*query);
    if (!done(*query) || found.id == 0)
        return RunSummary();
    QSqlQuery *workbooks = exec(workbooksOfRun, {id});
    if (!workbooks)
        return RunSummary();
    while (workbooks->next())
        found.workbooks << workbooks->value(0).toString();
    if (!done(*workbooks))
        return RunSummary();
    found.dataFolder = dataFolderOf(id);
    if (layout < 6)
        return found;
    QSqlQuery *tables = exec(tablesOfRun, {id});
    if (!tables)
        return RunSummary();
    while (tables->next()) {
        RecordedTable table;
        table.path = tables->value(0).toString();
        table.source = tables->value(1).toString();
        table.text = tables->value(2).toByteArray();
        table.sha256 = tables->value(3).toString();
        table.due = QDate::fromString(tables->value(4).toString(), Qt::ISODate);
        table.interpolation = tables->value(5).toString();
        table.beyond = tables->value(6).toString();
        found.tables << table;
    }
    return done(*tables) ? found : RunSummary();
}

QList<RunTrouble> SqliteStore::troubles(qint64 run)
{
    QList<RunTrouble> list;
    QSqlQuery *query = readable ? exec(troublesOfRun, {run}) : nullptr;
    if (!query)
        return list;
    while (query->next())
        list << RunTrouble{timeOf(query->value(0)), query->value(1).toString(), query->value(2).toString()};
    return done(*query) ? list : QList<RunTrouble>();
}

QList<StoredPass> SqliteStore::passes(qint64 run)
{
    QList<StoredPass> list;
    QSqlQuery *query = readable ? exec(passesOfRun, {run}) : nullptr;
    if (!query)
        return list;
    while (query->next())
        list << StoredPass{query->value(0).toInt(), numberOf(query->value(1)), timeOf(query->value(2))};
    return done(*query) ? list : QList<StoredPass>();
}

QStringList SqliteStore::stations()
{
    QStringList list;
    QSqlQuery *query = readable ? exec(stationsWithRuns) : nullptr;
    if (!query)
        return list;
    while (query->next())
        list << query->value(0).toString();
    return done(*query) ? list : QStringList();
}

QString SqliteStore::problem() const
{
    if (waitStarted == 0 || pending.empty())
        return problemText;
    return QStringLiteral("%1; %2 %3 waited in memory for %4 s and %5 written when the store answers")
        .arg(problemText)
        .arg(pending.size())
        .arg(pending.size() == 1 ? QStringLiteral("write has") : QStringLiteral("writes have"))
        .arg(seconds(QDeadlineTimer::current().deadline() - waitStarted))
        .arg(pending.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}

QString SqliteStore::takeNews()
{
    QString taken;
    taken.swap(news);
    return taken;
}
