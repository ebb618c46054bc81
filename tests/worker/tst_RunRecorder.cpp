#include "ExcelWorker.h"
#include "RunRecorder.h"
#include "SqliteStore.h"
#include "XlsxDocument.h"
#include "XlsxSheet.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

// Rows written again from the results store after a kill: each missing row once, none that the
// workbook holds already.
class tst_RunRecorder : public QObject
{
    Q_OBJECT

private slots:
    void recover_data();
    void recover();
    void aRowIsMarkedOnlyOnceSaved();
};

void tst_RunRecorder::recover_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("written"); // by recovery
    QTest::addColumn<int>("rows");    // in the workbook at the end

    QTest::newRow("a stopped run whose rows never came") << "stopped" << 3 << 4;
    QTest::newRow("a run whose process ended mid-run") << "writer gone" << 3 << 4;
    QTest::newRow("a run killed before it ended") << "never ended" << 3 << 4;
    QTest::newRow("rows saved, their marks lost") << "saved unmarked" << 0 << 4;
    QTest::newRow("rows saved at their recorded places, their marks lost") << "placed, saved" << 0 << 4;
    QTest::newRow("places recorded, the save never made") << "placed, not saved" << 3 << 4;
    QTest::newRow("another program's row where one was to stand") << "placed, taken" << 3 << 5;
    QTest::newRow("the run's data folder is gone") << "folder gone" << 0 << 1;
}

void tst_RunRecorder::recover()
{
    QFETCH(QString, situation);
    QFETCH(int, written);
    QFETCH(int, rows);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    const QString workbook = QStringLiteral("Table -5 dBm");
    ExcelWorker writer;
    writer.setDirectory(folder.path());
    {
        const std::unique_ptr<SqliteStore> store = SqliteStore::open(path, SqliteStore::Mode::Write, nullptr);
        RunStart start;
        if (situation == QLatin1String("folder gone"))
            start.dataFolder = folder.filePath(QStringLiteral("pulled stick"));
        start.station = QStringLiteral("bench-a");
        start.started = QDateTime::currentDateTimeUtc();
        start.measurement = QStringLiteral("power");
        const qint64 run = store->beginRun(start);
        QList<qint64> ids;
        for (quint64 n = 0; n < 4; ++n) {
            StoredPoint point;
            point.run = run;
            point.number = n + 1;
            point.workbook = workbook;
            point.pointIndex = n;
            point.values = {1e9 + double(n), -10.0 - double(n), -5.0, 20.0};
            ids << store->addPoint(point);
            const bool saved = situation == QLatin1String("saved unmarked") || situation == QLatin1String("placed, saved");
            if (n == 0 || saved)
                writer.writeFrequencySweepRow(workbook, n, point.values.at(0), point.values.at(1),
                                              point.values.at(2), point.values.at(3), point.id);
            if (n == 1 && situation == QLatin1String("placed, taken"))
                writer.writeFrequencySweepRow(workbook, 1, 2e9, -70.0, -5.0, 20.0);
            if (n > 0 && situation.startsWith(QLatin1String("placed")))
                QVERIFY(store->placeRows({RowPlace{ids.last(), writer.workbookPath(workbook), ExcelWorker::sheetName,
                                                   int(n) + 1}}));
        }
        // The first row reached the workbook and the store knows it; the rest did not, or did unmarked.
        store->markInWorkbook({ids.first()}, workbook);
        if (situation == QLatin1String("stopped") || situation == QLatin1String("saved unmarked"))
            store->endRun(run, QStringLiteral("stopped"), QDateTime::currentDateTimeUtc());
    }
    if (situation == QLatin1String("writer gone")) {
        // Its writer a process of this machine that no longer runs.
        QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        raw.setDatabaseName(path);
        QVERIFY(raw.open());
        QVERIFY(QSqlQuery(raw).exec(QStringLiteral("UPDATE runs SET writer = '%1 2147483646'")
                                        .arg(QSysInfo::machineHostName())));
        raw.close();
        raw = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    }
    RunRecorder recorder(SqliteStore::open(path, SqliteStore::Mode::Write, nullptr));
    const RunRecorder::Recovery recovery = recorder.recover(writer);
    QCOMPARE(recovery.written, written);
    QCOMPARE(recovery.workbooks, written > 0 ? QStringList{writer.workbookPath(workbook)} : QStringList());
    if (situation == QLatin1String("folder gone")) {
        // Nothing is written elsewhere: the rows wait in the store for their folder.
        QCOMPARE(recovery.waiting, 3);
        QCOMPARE(recovery.goneFolders, QStringList{QDir::toNativeSeparators(folder.filePath(QStringLiteral("pulled stick")))});
        QCOMPARE(recorder.store()->pointsNotInWorkbook().size(), 3);
        return;
    }
    const std::unique_ptr<XlsxDocument> document = XlsxDocument::open(writer.workbookPath(workbook));
    QVERIFY(document);
    QCOMPARE(document->sheet().lastUsedRow(), rows);
    // Every point's row is in the workbook, and the store knows it.
    QCOMPARE(recorder.store()->pointsNotInWorkbook().size(), 0);
}

void tst_RunRecorder::aRowIsMarkedOnlyOnceSaved()
{
    // A workbook that cannot be written (its folder was pulled away): the row waits, and its
    // point is not marked as in the workbook, so that a kill now leaves it for the next start.
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("rfbench.sqlite"));
    const QString workbook = QStringLiteral("Table -5 dBm");
    ExcelWorker writer;
    writer.setDirectory(folder.filePath(QStringLiteral("pulled stick")));
    RunRecorder recorder(SqliteStore::open(path, SqliteStore::Mode::Write, nullptr));
    recorder.placeRowsOf(writer);
    recorder.begin(QStringLiteral("power"));
    StoredPoint point;
    point.workbook = workbook;
    point.values = {1e9, -10.0, -5.0, 20.0};
    const qint64 id = recorder.point(point);
    QVERIFY(id > 0);
    writer.startExcel();
    writer.writeFrequencySweepRow(workbook, 0, 1e9, -10.0, -5.0, 20.0, id);
    recorder.rowsSaved(writer.takeSavedRows());
    QCOMPARE(writer.waitingRows().size(), 1);
    const QList<StoredPoint> points = recorder.store()->points(recorder.currentRun());
    QCOMPARE(points.size(), 1);
    QVERIFY(!points.first().inWorkbook);
    writer.discardWaitingRows();
}

QTEST_GUILESS_MAIN(tst_RunRecorder)
#include "tst_RunRecorder.moc"
