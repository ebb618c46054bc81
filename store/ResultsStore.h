#pragma once

#include "RunHistory.h"

// The results store: every run with its setup, its points and its troubles. Written only from
// the worker's thread; a write that fails never stops a measurement, it sets problem().
class ResultsStore : public RunHistory
{
public:
    // problem(): empty while the store is written; otherwise why not ("disk full", "read-only", ...).

    // Each returns the new id, or 0 when it could not be written.
    virtual qint64 beginRun(const RunStart &run) = 0;
    // Committed before it returns: a kill after it loses nothing of the point.
    virtual qint64 addPoint(const StoredPoint &point) = 0;
    virtual void addPass(qint64 run, int pass, double outputPower, const QDateTime &started) = 0;
    virtual void addTrouble(qint64 run, const RunTrouble &trouble) = 0;
    // The rows of these points are in the named workbook (their own, or its "(recovered)" one).
    virtual void markInWorkbook(const QList<qint64> &points, const QString &workbook) = 0;
    // outcome: "finished", "stopped" or "failed"; a run never ended reads as "interrupted".
    virtual void endRun(qint64 run, const QString &outcome, const QDateTime &ended) = 0;
    // A resumed run runs again: its outcome goes back to "running".
    virtual void reopenRun(qint64 run) = 0;

    // Points whose rows are not in their workbook, oldest first (a kill while rows waited).
    virtual QList<StoredPoint> pointsNotInWorkbook() = 0;
};
