#pragma once

#include "RunHistory.h"

// Where a point's row stands, or will once its workbook is saved.
struct RowPlace
{
    qint64 point = 0;
    QString path;  // the workbook's file
    QString sheet;
    int row = 0;   // from 1
};

// The results store: every run with its setup, its points and its troubles. Written only from
// the worker's thread; a write that fails never stops a measurement, it sets problem().
//
// Writes are kept in order: one that the store cannot take yet (another program holds it, the
// disk is full) waits in memory with every later one, and all are written together when the
// store answers again. The ids the writes return stand for the rows they make until then.
class ResultsStore : public RunHistory
{
public:
    // problem(): empty while the store is written; otherwise why not ("disk full", "read-only", ...).

    // Each returns the new id (negative while the write waits), or 0 when it is refused.
    virtual qint64 beginRun(const RunStart &run) = 0;
    // Committed before it returns unless it waits: a kill after it loses nothing of the point.
    virtual qint64 addPoint(const StoredPoint &point) = 0;
    virtual void addPass(qint64 run, int pass, double outputPower, const QDateTime &started) = 0;
    virtual void addTrouble(qint64 run, const RunTrouble &trouble) = 0;
    // Where the rows of these points will stand, committed before it returns for points already
    // in the store; false (with problem()) when that cannot be recorded now.
    virtual bool placeRows(const QList<RowPlace> &places) = 0;
    // The rows of these points are in the named workbook (their own, or its "(recovered)" one).
    virtual void markInWorkbook(const QList<qint64> &points, const QString &workbook) = 0;
    // outcome: "finished", "stopped" or "failed"; a run never ended reads as "interrupted".
    virtual void endRun(qint64 run, const QString &outcome, const QDateTime &ended) = 0;
    // The run's verdict as it stands, written over the one before: as its points are judged and at
    // its end. A verdict that is none of RunVerdict's is refused. Read back, a run that did not
    // reach its end shows INCOMPLETE unless it failed (StoredRows::verdictShown).
    virtual void setVerdict(qint64 run, const RunVerdict &verdict) = 0;
    // A resumed run runs again under this writer: its outcome goes back to "running". False,
    // with problem(), when another program writes it or the store cannot take it now.
    virtual bool reopenRun(qint64 run) = 0;
    // Writes what waits; true when nothing waits any longer.
    virtual bool flush() = 0;
    // How many writes wait in memory.
    virtual int waitingWrites() const = 0;
    // The store's id of a run or point that beginRun or addPoint returned: the same once
    // written, 0 while its write waits or when it was refused.
    virtual qint64 storedId(qint64 written) const = 0;
    // Why writes fail, without how long they have waited: what problem() begins with.
    virtual QString cause() const = 0;
    // What happened since last asked that the operator is to be told: writes that waited are
    // made. Empty when nothing.
    virtual QString takeNews() = 0;

    // Points whose rows are not in their workbook, oldest first, of runs whose writer has ended
    // (a kill while rows waited).
    virtual QList<StoredPoint> pointsNotInWorkbook() = 0;
    // Points of other runs placed in the workbook file below the row, in row order.
    virtual QList<RowPlace> placedBelow(const QString &path, int row) = 0;
};
