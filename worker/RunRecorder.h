#pragma once

#include "ResultsStore.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

class ExcelWorker;

// Keeps the worker's runs in the results store: the run with its setup, its passes, each point
// before its row goes to the report writer, the troubles, and which rows have reached their
// workbooks; at start-up it writes the rows an earlier process left only in the store.
class RunRecorder
{
public:
    explicit RunRecorder(std::unique_ptr<ResultsStore> store);
    ~RunRecorder();

    // Why the store is not written; empty while it is.
    QString problem() const;

    // The name the runs carry as their station; the host name unless set.
    void setStation(const QString &name) { stationName = name; }
    // What the next run records as its setup, instruments and identities.
    void setContext(const QByteArray &setup, const QString &instruments, const QString &identities);
    void addNote(const QString &note) { notes << note; }
    // A measurement of this kind ("power" or "spur") begins, or a resumed run goes on.
    void begin(const QString &measurement);
    void resume(qint64 run);
    void pass(int pass, double outputPower);
    // The point's id for the report writer's row, 0 when the store is not written.
    qint64 point(StoredPoint point);
    void trouble(const QString &instrument, const QString &text);
    // The rows the report writer has saved since last asked, marked in the store with any whose
    // mark the store could not take before.
    void rowsSaved(const QList<QPair<qint64, QString>> &saved);
    void end(bool stopped);
    qint64 currentRun() const { return run; }

    // Writes the rows of points that never reached their workbook (a kill while they waited),
    // after taking out those the workbook holds already; returns how many were written, with
    // the workbooks in *workbooks.
    int recover(ExcelWorker &writer, QStringList *workbooks);

    ResultsStore *store() const { return results.get(); }

private:
    std::unique_ptr<ResultsStore> results;
    QByteArray setup;
    QString instruments;
    QString identities;
    QString stationName;
    QStringList notes;
    qint64 run = 0;
    QList<QPair<qint64, QString>> unmarked; // saved, but their marks not yet taken by the store
};
