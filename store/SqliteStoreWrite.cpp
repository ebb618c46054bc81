// Writing the store: in order, one transaction at a time, waiting in memory while it cannot be written.

#include "SqliteStore.h"

#include "RunLocks.h"
#include "SqliteStoreSql.h"
#include "StoreCheck.h"
#include "StoreFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QtDebug>

using namespace StoreSql;

bool SqliteStore::interruptRuns()
{
    QSqlQuery *running = exec(runningRuns);
    if (!running)
        return false;
    // Asked under the store's write lock: a writer that resumes a run takes its lock under it too.
    QList<qint64> cut;
    while (running->next()) {
        const qint64 id = running->value(0).toLongLong();
        if (!locks->alive(id))
            cut << id;
    }
    if (!done(*running))
        return false;
    for (const qint64 id : cut) {
        QSqlQuery *update = exec(interruptRun, {id});
        if (!update)
            return false;
        update->finish();
    }
    return true;
}

qint64 SqliteStore::resolve(qint64 id) const
{
    if (id >= 0)
        return id;
    const auto made = fresh.constFind(id);
    return made != fresh.constEnd() ? *made : resolved.value(id, 0);
}

SqliteStore::Written SqliteStore::write(qint64 run, Write body)
{
    if (!writable)
        return Written::Refused;
    const std::size_t mine = ++queued;
    pending.push_back(Queued{mine, run, std::move(body)});
    if (!retryAfter.hasExpired())
        return Written::Waits;
    writePending();
    return refused.contains(mine) ? Written::Refused : pending.empty() ? Written::Made : Written::Waits;
}

void SqliteStore::noteRefused(qint64 run, const QString &why)
{
    if (run == 0)
        return;
    const QString text =
        QStringLiteral("a write of this run to the results store was refused (%1): what it held is missing here").arg(why);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // Queued as a write of no run: a note that is refused in turn is not noted again.
    pending.push_back(Queued{++queued, 0, [this, run, now, text] {
                                 QSqlQuery *insert = exec(insertTrouble, {resolve(run), timeValue(now),
                                                                          QStringLiteral("results store"), text});
                                 if (insert)
                                     insert->finish();
                                 return insert != nullptr;
                             }});
}

bool SqliteStore::flush()
{
    return writePending();
}

bool SqliteStore::writePending()
{
    refused.clear();
    QString refusal;
    while (!pending.empty() && writable) {
        const qint64 now = QDeadlineTimer::current().deadline();
        // Immediate: the write lock is taken at the start, so that another program's commit
        // between a read and a write can never refuse the write half-way. Inside a batch a
        // savepoint stands for the transaction.
        lastCode = 0;
        bool ok = execOnce(inBatch ? QStringLiteral("SAVEPOINT store_write") : QStringLiteral("BEGIN IMMEDIATE"));
        fresh.clear();
        freshLocks.clear();
        freshEnded.clear();
        // A run whose writer was killed while this one writes is recorded so within a second,
        // not at the next opening alone: scripts reading the file see only this column.
        const bool interrupting = ok && interruptsDue.hasExpired();
        if (interrupting)
            ok = interruptRuns();
        std::size_t failing = pending.size();
        for (std::size_t i = 0; ok && i < pending.size(); ++i)
            if (!pending[i].body()) {
                failing = i;
                ok = false;
            }
        if (ok)
            ok = execOnce(inBatch ? QStringLiteral("RELEASE store_write") : QStringLiteral("COMMIT"));
        if (ok) {
            for (auto it = fresh.cbegin(); it != fresh.cend(); ++it)
                resolved.insert(it.key(), it.value());
            fresh.clear();
            freshLocks.clear();
            for (const qint64 id : qAsConst(freshEnded))
                if (locks->holds(id))
                    endedRuns.insert(id);
            freshEnded.clear();
            if (waitStarted != 0)
                news = QStringLiteral("the results store %1 answers again: the %2 writes that waited %3 s in memory "
                                      "are in it")
                           .arg(QDir::toNativeSeparators(file))
                           .arg(pending.size())
                           .arg(seconds(now - waitStarted));
            pending.clear();
            waitStarted = 0;
            retryAfter.setRemainingTime(0);
            if (interrupting)
                interruptsDue.setRemainingTime(interruptIntervalMs);
            problemText = refusal;
            return true;
        }
        // SQLite may have rolled the transaction back itself; whatever is left of it goes too.
        QSqlQuery undo(database);
        if (inBatch) {
            undo.exec(QStringLiteral("ROLLBACK TO store_write"));
            undo.exec(QStringLiteral("RELEASE store_write"));
        } else {
            undo.exec(QStringLiteral("ROLLBACK"));
        }
        fresh.clear();
        // The ids of runs rolled back may be given to another program's runs.
        for (const qint64 id : qAsConst(freshLocks))
            locks->release(id);
        freshLocks.clear();
        // A write that the store refuses as it is (a point of no run, an outcome that is none)
        // would be refused again and hold up every later one: it is dropped, the rest go on.
        if (failing < pending.size() && lastCode == Constraint) {
            refusal = problemText;
            refused.insert(pending[failing].number);
            const qint64 run = pending[failing].run;
            pending.erase(pending.begin() + std::ptrdiff_t(failing));
            noteRefused(run, refusal);
            continue;
        }
        if (waitStarted == 0)
            waitStarted = now;
        retryAfter.setRemainingTime(retryIntervalMs);
        qDebug() << "store:" << file << problem();
        return false;
    }
    if (!refusal.isEmpty())
        problemText = refusal;
    return pending.empty();
}

qint64 SqliteStore::beginRun(const RunStart &start)
{
    if (!writable)
        return 0;
    const qint64 handle = placeholder();
    const QDateTime started = start.started.isValid() ? start.started : QDateTime::currentDateTime();
    const Written made = write(0, [this, start, started, handle] {
        QSqlQuery *insert = exec(insertRun, {textValue(start.station), textValue(start.user), textValue(start.version),
                                             timeValue(started), textValue(start.measurement), bytesValue(start.setup),
                                             textValue(start.instruments), textValue(start.identities),
                                             textValue(start.note), thisWriter(), textValue(start.dataFolder),
                                             textValue(start.unit), textValue(start.operatorName)});
        if (!insert)
            return false;
        const qint64 id = insert->lastInsertId().toLongLong();
        insert->finish();
        // In the run's own transaction: a run is never seen without the tables it was corrected with.
        for (const RecordedTable &table : start.tables) {
            QSqlQuery *row = exec(insertRunTable, {id, textValue(table.path), textValue(table.source),
                                                   QVariant(table.text.isNull() ? QByteArray("") : table.text),
                                                   textValue(table.sha256),
                                                   table.due.isValid() ? QVariant(table.due.toString(Qt::ISODate))
                                                                       : QVariant(),
                                                   textValue(table.interpolation), textValue(table.beyond)});
            if (!row)
                return false;
            row->finish();
        }
        // Taken before the run is seen by anyone: from its first moment, its writer lives.
        if (id <= 0 || !locks->take(id)) {
            problemText = locks->why();
            return false;
        }
        freshLocks << id;
        fresh.insert(handle, id);
        return true;
    });
    return made == Written::Made ? resolved.take(handle) : made == Written::Waits ? handle : 0;
}

qint64 SqliteStore::addPoint(const StoredPoint &point)
{
    if (!writable)
        return 0;
    const QStringList names = valueNames(point.row);
    if (point.values.size() > names.size()) {
        problemText = QStringLiteral("a %1 point has at most %2 values, not %3")
                          .arg(kindText(point.row))
                          .arg(names.size())
                          .arg(point.values.size());
        const QString why = problemText;
        noteRefused(point.run, why);
        writePending();
        problemText = why;
        return 0;
    }
    const qint64 handle = placeholder();
    const Written made = write(point.run, [this, point, names, handle] {
        const QStringList columns = StoredRows::valueColumns();
        QVariantList values{resolve(point.run),
                            point.pass,
                            qint64(point.number),
                            timeValue(point.measuredAt),
                            kindText(point.row),
                            textValue(point.workbook),
                            qint64(point.pointIndex)};
        const int first = values.size();
        for (int i = 0; i < columns.size(); ++i)
            values << QVariant();
        for (int i = 0; i < point.values.size(); ++i)
            values[first + columns.indexOf(names.at(i))] = numberValue(point.values.at(i));
        values << (point.inWorkbook ? textValue(point.savedIn.isEmpty() ? point.workbook : point.savedIn) : QVariant());
        values << (point.verdict.isEmpty() ? QVariant() : QVariant(point.verdict)) << numberValue(point.limitMargin)
               << numberValue(point.limitUpper) << numberValue(point.limitLower) << numberValue(point.limitSpur)
               << numberValue(point.correction);
        QSqlQuery *insert = exec(insertPoint, values);
        if (!insert)
            return false;
        const qint64 id = insert->lastInsertId().toLongLong();
        insert->finish();
        const int peaks = qMax(point.peakFrequencies.size(), point.peakLevels.size());
        for (int i = 0; i < peaks; ++i) {
            QSqlQuery *peak = exec(insertPeak, {id, i + 1, numberValue(point.peakFrequencies.value(i, qQNaN())),
                                                numberValue(point.peakLevels.value(i, qQNaN())),
                                                numberValue(point.peakCorrections.value(i, qQNaN()))});
            if (!peak)
                return false;
            peak->finish();
        }
        fresh.insert(handle, id);
        return id > 0;
    });
    return made == Written::Made ? resolved.take(handle) : made == Written::Waits ? handle : 0;
}

void SqliteStore::addPass(qint64 run, int pass, double outputPower, const QDateTime &started)
{
    write(run, [this, run, pass, outputPower, started] {
        QSqlQuery *insert = exec(insertPass, {resolve(run), pass, numberValue(outputPower), timeValue(started)});
        if (insert)
            insert->finish();
        return insert != nullptr;
    });
}

void SqliteStore::addTrouble(qint64 run, const RunTrouble &trouble)
{
    write(run, [this, run, trouble] {
        QSqlQuery *insert = exec(insertTrouble, {resolve(run), timeValue(trouble.when), textValue(trouble.instrument),
                                                 textValue(trouble.text)});
        if (insert)
            insert->finish();
        return insert != nullptr;
    });
}

bool SqliteStore::placeRows(const QList<RowPlace> &places)
{
    if (places.isEmpty() || !writable)
        return true;
    // A point that waits in memory is not on record either: after a kill there is nothing of it to
    // write again, so its row need not wait for its place to be recorded.
    bool recorded = true;
    for (const RowPlace &place : places)
        recorded = recorded && resolve(place.point) == 0;
    const Written made = write(0, [this, places] {
        for (const RowPlace &place : places) {
            QSqlQuery *update = exec(placeRow, {textValue(place.path), textValue(place.sheet), place.row,
                                                resolve(place.point)});
            if (!update)
                return false;
            update->finish();
        }
        return true;
    });
    return made == Written::Made || recorded;
}

void SqliteStore::markInWorkbook(const QList<qint64> &points, const QString &workbook)
{
    if (points.isEmpty())
        return;
    write(0, [this, points, workbook] {
        for (const qint64 id : points) {
            QSqlQuery *update = exec(placePoint, {textValue(workbook), resolve(id)});
            if (!update)
                return false;
            update->finish();
        }
        return true;
    });
    // Marked points are not asked about again.
    if (pending.empty()) {
        for (const qint64 id : points)
            resolved.remove(id);
        releaseEnded();
    }
}

void SqliteStore::endRun(qint64 run, const QString &outcome, const QDateTime &ended)
{
    write(run, [this, run, outcome, ended] {
        QSqlQuery *update = exec(endRunSql, {textValue(outcome), timeValue(ended), resolve(run)});
        if (update)
            update->finish();
        freshEnded << resolve(run);
        return update != nullptr;
    });
    releaseEnded();
}

void SqliteStore::setVerdict(qint64 run, const RunVerdict &verdict)
{
    write(run, [this, run, verdict] {
        QSqlQuery *update = exec(verdictSql, {textValue(verdict.verdict), verdict.failed, verdict.marginal,
                                              verdict.unread, resolve(run)});
        if (update)
            update->finish();
        return update != nullptr;
    });
}

void SqliteStore::releaseEnded()
{
    // An ended run's writer lets its lock go once every row of it is in a workbook: until then a
    // row that waits in this process's memory must not be written again by another's start.
    for (auto it = endedRuns.begin(); it != endedRuns.end();) {
        QSqlQuery *query = exec(unmarkedOfRun, {*it});
        const bool known = query && query->next();
        const bool allPlaced = known && query->value(0).toInt() == 0;
        if (query)
            done(*query);
        if (!allPlaced) {
            ++it;
            continue;
        }
        locks->release(*it);
        it = endedRuns.erase(it);
    }
}

bool SqliteStore::reopenRun(qint64 run)
{
    if (!writable)
        return false;
    // Not queued: a run that another program goes on with at the same moment must be refused
    // before anything is measured. What waits goes first, in order.
    if (!writePending())
        return false;
    bool ok = execOnce(QStringLiteral("BEGIN IMMEDIATE"));
    QSqlQuery *query = ok ? exec(oneRun, {run}) : nullptr;
    QString outcome;
    if (query) {
        if (query->next())
            outcome = query->value(7).toString();
        ok = done(*query);
    } else {
        ok = false;
    }
    if (ok && outcome.isEmpty()) {
        problemText = QStringLiteral("there is no run %1 in the results store").arg(run);
        ok = false;
    }
    if (ok && outcome != QLatin1String("stopped") && outcome != QLatin1String("interrupted")
        && !(outcome == QLatin1String("running") && !locks->alive(run))) {
        problemText = outcome == QLatin1String("running")
                          ? QStringLiteral("another program is measuring run %1 now").arg(run)
                          : QStringLiteral("run %1 is %2").arg(QString::number(run), outcome);
        ok = false;
    }
    const bool held = locks->holds(run);
    if (ok && !locks->take(run)) {
        problemText = locks->why();
        ok = false;
    }
    if (ok) {
        QSqlQuery *update = exec(reopenRunSql, {thisWriter(), run});
        ok = update != nullptr;
        if (update)
            update->finish();
    }
    if (ok && execOnce(QStringLiteral("COMMIT"))) {
        endedRuns.remove(run);
        return true;
    }
    QSqlQuery(database).exec(QStringLiteral("ROLLBACK"));
    if (!held)
        locks->release(run);
    return false;
}

SqliteStore::Batch::Batch(SqliteStore &store) : store(store)
{
    if (store.writable && !store.inBatch && store.execOnce(QStringLiteral("BEGIN IMMEDIATE")))
        store.inBatch = true;
}

SqliteStore::Batch::~Batch()
{
    if (!store.inBatch)
        return;
    store.inBatch = false;
    if (!store.execOnce(QStringLiteral("COMMIT")))
        QSqlQuery(store.database).exec(QStringLiteral("ROLLBACK"));
}
