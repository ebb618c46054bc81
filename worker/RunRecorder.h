#pragma once

#include "ResultsStore.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

class ExcelWorker;
class QThread;

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
    // What problem() begins with: the same while the same cause lasts.
    QString cause() const;

    // The name the runs carry as their station; the host name unless set.
    void setStation(const QString &name) { stationName = name; }
    // The unit under test and who measures it, recorded with each run begun from now on; an
    // empty operator is recorded as userName().
    void setUnit(const QString &serial, const QString &operatorName)
    {
        unitSerial = serial;
        unitOperator = operatorName;
    }
    // The user this program runs as.
    static QString userName();
    // Where the runs' workbooks are, as recorded with each run.
    void setDataFolder(const QString &folder) { dataFolder = folder; }
    // Has the writer record in the store where each row will stand before saving it; rows saved
    // from another thread than this one's are saved without.
    void placeRowsOf(ExcelWorker &writer);
    // What the next run records as its setup, instruments and identities.
    void setContext(const QByteArray &setup, const QString &instruments, const QString &identities);
    // The instruments' identities alone, as the run that begins next records them.
    void setIdentities(const QString &text) { identities = text; }
    // The correction tables the run that begins next corrects its values with.
    void setTables(const QList<RecordedTable> &used) { tables = used; }
    // The run's verdict as it stands, when it changed.
    void verdict(const RunVerdict &verdict);
    void addNote(const QString &note) { notes << note; }
    // A measurement of this kind ("power" or "spur") begins, or a resumed run goes on.
    void begin(const QString &measurement);
    // False, with problem(), when the run cannot go on under this writer: another program writes
    // it, or the store does not answer.
    bool resume(qint64 run);
    void pass(int pass, double outputPower);
    // The point's id for the report writer's row, 0 when the store is not written.
    qint64 point(StoredPoint point);
    void trouble(const QString &instrument, const QString &text);
    // The rows the report writer has saved since last asked, marked in the store with any whose
    // mark the store could not take before.
    void rowsSaved(const QList<QPair<qint64, QString>> &saved);
    void end(bool stopped);
    qint64 currentRun() const { return run; }
    // The runs begun or resumed here, by their ids in the store, in the order begun; none unless
    // the store holds every one of them with every point given it (a report of some of them,
    // or of part of one, would say less than was measured).
    QList<qint64> recordedRuns() const;
    // The current run's id in the store when it holds the run with every point given it; else 0.
    qint64 wholeRun() const { return recorded.isEmpty() ? 0 : whole(recorded.last()); }

    struct Recovery
    {
        int written = 0;
        QStringList workbooks;  // written to, as paths
        int waiting = 0;        // rows whose data folder is gone
        QStringList goneFolders;
    };
    // Writes the rows of points that never reached their workbook (a kill while they waited),
    // each in its run's data folder, after taking out those the workbook holds already: at the
    // place recorded for them, or for points without one at the end of their workbook.
    Recovery recover(ExcelWorker &writer);

    ResultsStore *store() const { return results.get(); }

private:
    void addEarlierTroubles();
    // Of points without a place on record, those whose rows are not found at the end of their
    // workbooks in the writer's folder; the others are marked.
    QList<StoredPoint> atEndOfWorkbooks(ExcelWorker &writer, const QList<StoredPoint> &unplaced);

    std::unique_ptr<ResultsStore> results;
    QByteArray setup;
    QString instruments;
    QString identities;
    QString stationName;
    QString dataFolder;
    QString unitSerial;
    QString unitOperator;
    QStringList notes;
    QList<RecordedTable> tables;
    // Troubles met between runs, such as a link lost before a measurement began: the next run
    // records them, for its readings were taken after them.
    QList<RunTrouble> earlierTroubles;
    QThread *storeThread = nullptr;
    qint64 run = 0;
    // Every run begun or resumed here: as the store returned it (a placeholder while its write
    // waits, 0 when refused), the points it held before, and the points given it since.
    struct Recorded
    {
        qint64 written = 0;
        qint64 earlier = 0;
        qint64 given = 0;
    };
    QList<Recorded> recorded;
    // The run's id in the store when the store holds it with every point given it; else 0.
    qint64 whole(const Recorded &entry) const;
    QList<QPair<qint64, QString>> unmarked; // saved, but their marks not yet taken by the store
};
