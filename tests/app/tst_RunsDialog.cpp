#include "PgCluster.h"
#include "ReportFile.h"
#include "RunsDialog.h"
#include "ServerUpload.h"
#include "SqliteStore.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The window's list of runs read from a shared results server: every station's runs, this bench's
// own told from the others', the server read off the window's thread.
class tst_RunsDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ownRunsAndOthers_data();
    void ownRunsAndOthers();
    void serverThatNeverAnswers();
    void reportOfTheSelectedRun_data();
    void reportOfTheSelectedRun();
    void reportNames_data();
    void reportNames();

private:
    QString address() const { return cluster->address(PgCluster::admin(), QStringLiteral("results")); }
    QString storeOf(const QString &station) const { return folder.filePath(station + QStringLiteral(".sqlite")); }

    std::unique_ptr<PgCluster> cluster;
    QTemporaryDir folder;
    QHash<QString, qint64> runOf; // each station's stopped run, by its local id
};

void tst_RunsDialog::initTestCase()
{
    const QString missing = PgCluster::missing();
    if (!missing.isEmpty()) {
        QVERIFY2(!qEnvironmentVariableIsSet("CI"), qPrintable(missing));
        QSKIP(qPrintable(missing));
    }
    cluster = std::make_unique<PgCluster>();
    QString error;
    QVERIFY2(cluster->start(&error), qPrintable(error));
    QProcess create;
    create.start(QStringLiteral("psql"), {QStringLiteral("-h"), cluster->socketFolder(), QStringLiteral("-p"),
                                          QString::number(cluster->port()), QStringLiteral("-U"), PgCluster::admin(),
                                          QStringLiteral("-d"), QStringLiteral("postgres"), QStringLiteral("-c"),
                                          QStringLiteral("CREATE DATABASE results")});
    QVERIFY(create.waitForFinished(30000) && create.exitCode() == 0);
    // Two benches, each with a stopped run of three points and an earlier finished one, sent up; the
    // stopped run failed at bench-a and had passed so far at bench-b.
    for (const QString &station : {QStringLiteral("bench-a"), QStringLiteral("bench-b")}) {
        {
            const std::unique_ptr<SqliteStore> store = SqliteStore::open(storeOf(station), SqliteStore::Mode::Write, nullptr);
            for (const char *outcome : {"finished", "stopped"}) {
                RunStart start;
                start.station = station;
                start.started = QDateTime::currentDateTimeUtc();
                start.measurement = QStringLiteral("power");
                start.setup = "{\"format\": 1, \"kind\": \"power\", \"points\": 11}";
                start.unit = QStringLiteral("SN-1");
                const qint64 run = store->beginRun(start);
                const bool failed = station == QLatin1String("bench-a") && QByteArray(outcome) == "stopped";
                store->setVerdict(run, failed ? RunVerdict{QStringLiteral("FAIL"), 2, 0, 0}
                                              : RunVerdict{QStringLiteral("PASS"), 0, 0, 0});
                for (int n = 1; n <= 3; ++n) {
                    StoredPoint point;
                    point.run = run;
                    point.number = quint64(n);
                    point.workbook = QStringLiteral("Table 0 dBm");
                    point.values = {1e9 + n, -10.0, 0.0, 20.0};
                    QVERIFY(store->addPoint(point) > 0);
                }
                store->endRun(run, QString::fromLatin1(outcome), QDateTime::currentDateTimeUtc());
                runOf.insert(station, run);
            }
        }
        ServerUpload::Options options;
        options.server = ServerAddress::parse(address(), &error);
        options.localPath = storeOf(station);
        options.station = station;
        ServerUpload upload(options);
        QVERIFY2(upload.uploadNow(), qPrintable(upload.problem()));
    }
}

void tst_RunsDialog::ownRunsAndOthers_data()
{
    QTest::addColumn<QString>("station");   // of the run selected
    QTest::addColumn<QString>("filter");    // the station chosen; empty: all
    QTest::addColumn<QString>("verdict");   // the verdict chosen; empty: any
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("resumable");

    QTest::newRow("this bench's stopped run") << "bench-a" << QString() << QString() << 4 << true;
    QTest::newRow("another bench's stopped run") << "bench-b" << QString() << QString() << 4 << false;
    QTest::newRow("another bench's, its station chosen") << "bench-b" << "bench-b" << QString() << 2 << false;
    QTest::newRow("the failed run") << "bench-a" << QString() << "FAIL" << 1 << true;
    QTest::newRow("a stopped run that passed so far") << "bench-b" << QString() << "INCOMPLETE" << 1 << false;
}

void tst_RunsDialog::ownRunsAndOthers()
{
    QFETCH(QString, station);
    QFETCH(QString, filter);
    QFETCH(QString, verdict);
    QFETCH(int, rows);
    QFETCH(bool, resumable);

    RunsDialog dialog(address(), storeOf(QStringLiteral("bench-a")), QStringLiteral("bench-a"), folder.path());
    QSignalSpy refreshed(&dialog, &RunsDialog::refreshed);
    QVERIFY(refreshed.wait(10000));
    auto *table = dialog.findChild<QTableWidget *>(QStringLiteral("tableRuns"));
    auto *stations = dialog.findChild<QComboBox *>(QStringLiteral("comboBoxRunsStation"));
    QCOMPARE(stations->count(), 3);
    if (!filter.isEmpty()) {
        stations->setCurrentIndex(stations->findText(filter));
        dialog.refresh();
        QVERIFY(refreshed.wait(10000));
    }
    if (!verdict.isEmpty()) {
        auto *verdicts = dialog.findChild<QComboBox *>(QStringLiteral("comboBoxRunsVerdict"));
        verdicts->setCurrentIndex(verdicts->findText(verdict));
        QVERIFY(refreshed.wait(10000));
    }
    QCOMPARE(table->rowCount(), rows);
    int row = -1;
    for (int i = 0; i < table->rowCount(); ++i) {
        if (table->item(i, 9)->text() != station)
            QVERIFY(filter.isEmpty());
        else if (table->item(i, 6)->text() == QLatin1String("stopped"))
            row = i;
    }
    QVERIFY(row >= 0);
    QCOMPARE(table->item(row, 11)->text(), station == QLatin1String("bench-a") ? "FAIL" : "INCOMPLETE");
    table->selectRow(row);
    // Its details come from the server, under the server's number and its station's own.
    QTRY_VERIFY(dialog.details().startsWith(QStringLiteral("Run %1\n").arg(table->item(row, 0)->text())));
    QVERIFY2(dialog.details().contains(QStringLiteral("Station:      %1 (its run %2)\n").arg(station).arg(runOf.value(station))),
             qPrintable(dialog.details()));
    auto *resume = dialog.findChild<QPushButton *>(QStringLiteral("buttonRunsResume"));
    QCOMPARE(resume->isEnabled(), resumable);
    QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("buttonRunsOpenFolder"))->isEnabled(), resumable);
    QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("buttonRunsLoadSetup"))->isEnabled());
    QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("buttonRunsReport"))->isEnabled());
    // The server numbers the runs; going on takes this bench's own number of it.
    QSignalSpy resumed(&dialog, &RunsDialog::resumeRun);
    resume->click();
    QCOMPARE(resumed.count(), resumable ? 1 : 0);
    if (resumable)
        QCOMPARE(resumed.first().first().toLongLong(), runOf.value(station));
    const QString csv = folder.filePath(QStringLiteral("run.csv"));
    QSignalSpy exported(&dialog, &RunsDialog::exported);
    dialog.exportCsv(csv);
    QVERIFY(exported.wait(10000));
    QCOMPARE(exported.first().first().toString(), QString());
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count('\n'), 1 + 3);
}

void tst_RunsDialog::serverThatNeverAnswers()
{
    // Takes the connection and says nothing, as a server behind a dead route or a full backlog.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket *> held;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *socket = silent.nextPendingConnection())
            held << socket;
    });
    const QString address = QStringLiteral("postgresql://station@127.0.0.1:%1/results?connect_timeout=2")
                                .arg(silent.serverPort());
    RunsDialog dialog(address, storeOf(QStringLiteral("bench-a")), QStringLiteral("bench-a"), folder.path());
    // Asked, not waited for: the window goes on while the server is tried.
    QSignalSpy refreshed(&dialog, &RunsDialog::refreshed);
    QSignalSpy exported(&dialog, &RunsDialog::exported);
    const QString csv = folder.filePath(QStringLiteral("silent.csv"));
    dialog.exportCsv(csv);
    QCOMPARE(refreshed.count() + exported.count(), 0);
    QVERIFY(exported.wait(20000));
    QVERIFY2(exported.first().first().toString().contains(QLatin1String("is unreachable")),
             qPrintable(exported.first().first().toString()));
    QVERIFY(!QFile::exists(csv));
    QCOMPARE(refreshed.count(), 1);
    auto *message = dialog.findChild<QLabel *>(QStringLiteral("labelRunsMessage"));
    QVERIFY2(message->text().startsWith(QLatin1String("Not exported: the results server "))
                 && message->text().contains(QLatin1String("is unreachable")),
             qPrintable(message->text()));
    QCOMPARE(dialog.findChild<QTableWidget *>(QStringLiteral("tableRuns"))->rowCount(), 0);
    QVERIFY(!held.isEmpty());
    qDeleteAll(held);
}

void tst_RunsDialog::reportOfTheSelectedRun_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QByteArray>("there");  // the file's bytes before; empty: no file
    QTest::addColumn<QString>("written");   // the file the report goes to
    QTest::addColumn<QByteArray>("begins"); // its bytes after

    QTest::newRow("PDF") << "a.pdf" << QByteArray() << "a.pdf" << QByteArray("%PDF-");
    QTest::newRow("HTML") << "b.HTML" << QByteArray() << "b.HTML" << QByteArray("<!DOCTYPE html>");
    QTest::newRow("a name without a suffix") << "c" << QByteArray() << "c.pdf" << QByteArray("%PDF-");
    QTest::newRow("a name of another suffix") << "d.txt" << QByteArray() << "d.txt.pdf" << QByteArray("%PDF-");
    const QByteArray sheet = "%PDF-1.4 a datasheet, not a report\n";
    QTest::newRow("another program's file") << "sheet.pdf" << sheet << "sheet.pdf" << sheet;
}

void tst_RunsDialog::reportOfTheSelectedRun()
{
    QFETCH(QString, chosen);
    QFETCH(QByteArray, there);
    QFETCH(QString, written);
    QFETCH(QByteArray, begins);
    QTemporaryDir reports;
    if (!there.isEmpty()) {
        QFile file(reports.filePath(chosen));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(there) == there.size());
    }
    // Another bench's run, read from the server as the list reads it.
    RunsDialog dialog(address(), storeOf(QStringLiteral("bench-a")), QStringLiteral("bench-a"), folder.path());
    QSignalSpy refreshed(&dialog, &RunsDialog::refreshed);
    QVERIFY(refreshed.wait(10000));
    auto *button = dialog.findChild<QPushButton *>(QStringLiteral("buttonRunsReport"));
    QVERIFY(!button->isEnabled());
    auto *table = dialog.findChild<QTableWidget *>(QStringLiteral("tableRuns"));
    for (int row = 0; row < table->rowCount(); ++row)
        if (table->item(row, 9)->text() == QLatin1String("bench-b"))
            dialog.selectRun(table->item(row, 0)->text().toLongLong());
    QVERIFY(button->isEnabled());
    QSignalSpy done(&dialog, &RunsDialog::reportWritten);
    dialog.writeReport(reports.filePath(chosen));
    QVERIFY(done.wait(20000));
    const QString message = dialog.findChild<QLabel *>(QStringLiteral("labelRunsMessage"))->text();
    QVERIFY2(message.contains(there.isEmpty() ? "Report of run " : " is there and is not a report of rfbench; it is left as it is"),
             qPrintable(message));
    QFile file(reports.filePath(written));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith(begins));
    if (!there.isEmpty()) {
        QCOMPARE(bytes, there);
        return;
    }
    QCOMPARE(QDir(reports.path()).entryList(QDir::Files), QStringList{written});
    // The report names the run's unit where a reader sees it.
    QProcess text;
    if (begins.startsWith("%PDF"))
        text.start(QStringLiteral("pdftotext"), {file.fileName(), QStringLiteral("-")});
    const QByteArray shown = begins.startsWith("%PDF") && text.waitForFinished(20000) ? text.readAllStandardOutput() : bytes;
    QVERIFY2(shown.contains("SN-1") && shown.contains("bench-b"), shown.constData());
}

void tst_RunsDialog::reportNames_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("name");

    QTest::newRow("a unit") << "SN0042" << "SN0042 2026-03-04.pdf";
    QTest::newRow("no unit") << "" << "Run 7 2026-03-04.pdf";
    QTest::newRow("characters a file name cannot hold") << "SN 12/24:B*C?\"<>|\\" << "SN 12_24_B_C______ 2026-03-04.pdf";
}

void tst_RunsDialog::reportNames()
{
    QFETCH(QString, unit);
    QFETCH(QString, name);
    RunSummary run;
    run.id = 7;
    run.unit = unit;
    // Late in the day: the name takes the day where the bench is.
    run.started = QDateTime(QDate(2026, 3, 4), QTime(23, 30));
    QCOMPARE(ReportFile::proposedName(run), name);
}

QTEST_MAIN(tst_RunsDialog)
#include "tst_RunsDialog.moc"
