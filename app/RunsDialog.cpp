#include "RunsDialog.h"

#include "Counted.h"
#include "ReportFile.h"
#include "RunDetails.h"
#include "RunExport.h"
#include "SetupFile.h"
#include "SqliteStore.h"
#include "StoredRows.h"
#include "TestReport.h"

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTableWidget>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The setup in a few words: "1000–2000 MHz, 101 points, -5 dBm, cycle 5 dB".
QString setupInShort(const QByteArray &setup)
{
    const SetupFile::Result parsed = SetupFile::read(setup, QString());
    if (!parsed.ok() || parsed.setup.measurements.isEmpty())
        return QString();
    const MeasurementSetup &m = parsed.setup.measurements.first();
    QString text = m.kind == MeasurementSetup::Kind::Power && m.oneFrequency
                       ? QStringLiteral("%1 MHz").arg(QString::number(m.start, 'g', 10))
                       : QStringLiteral("%1–%2 MHz, %3")
                             .arg(QString::number(m.start, 'g', 10), QString::number(m.stop, 'g', 10),
                                  m.pointsMode ? Counted::of(qint64(m.points), "point")
                                               : QStringLiteral("step %1 MHz").arg(QString::number(m.step, 'g', 10)));
    text += QStringLiteral(", %1 dBm").arg(QString::number(m.power, 'f', 1));
    if (m.cycle)
        text += QStringLiteral(", cycle %1 dB").arg(m.powerStep);
    return text;
}

enum Column { RunColumn, WhenColumn, MeasurementColumn, SetupColumn, PointsColumn, PassesColumn, EndedColumn,
              WorkbooksColumn, TroublesColumn, StationColumn, UnitColumn, VerdictColumn, Columns };

// The colour a verdict is read by at a glance: red, amber, green; none for the others.
QColor verdictColour(const QString &verdict)
{
    if (verdict == QLatin1String("FAIL") || verdict == QLatin1String("NO READING"))
        return QColor(0xc6, 0x28, 0x28);
    if (verdict == QLatin1String("MARGINAL"))
        return QColor(0xb2, 0x6a, 0x00);
    if (verdict == QLatin1String("PASS"))
        return QColor(0x2e, 0x7d, 0x32);
    return QColor();
}

} // namespace

void RunsReader::read(int generation, const RunFilter &filter)
{
    // Typing in the filter asks for a read at each key: only the last one is of use.
    if (generation < *latest)
        return;
    const std::unique_ptr<RunHistory> store = RunHistory::open(history);
    QList<RunSummary> runs;
    QStringList stations;
    if (store->problem().isEmpty())
        runs = store->runs(filter);
    if (store->problem().isEmpty())
        stations = store->stations();
    QString ownStore;
    if (history != localStore) {
        const std::unique_ptr<SqliteStore> own = SqliteStore::open(localStore, SqliteStore::Mode::Read, nullptr);
        if (own->problem().isEmpty())
            ownStore = own->identity();
    }
    emit done(generation, runs, stations, store->problem(), ownStore);
}

void RunsReader::readDetails(qint64 run)
{
    // Moving through the list asks at each row: only the one selected last is of use.
    if (run != *shown)
        return;
    const std::unique_ptr<RunHistory> store = RunHistory::open(history);
    QString text;
    if (store->problem().isEmpty()) {
        const RunSummary summary = store->run(run);
        if (summary.id != 0)
            text = RunDetails::read(*store, summary);
    }
    emit detailsRead(run, store->problem().isEmpty() ? text : QString(), store->problem());
}

void RunsReader::exportRun(qint64 run, const QString &path)
{
    const std::unique_ptr<RunHistory> store = RunHistory::open(history);
    QByteArray table;
    if (store->problem().isEmpty())
        table = RunExport::csv(store->points(run));
    // A read that failed half-way leaves no file that looks whole.
    QString error = store->problem();
    QSaveFile file(path);
    if (error.isEmpty() && (!file.open(QIODevice::WriteOnly) || file.write(table) != table.size() || !file.commit()))
        error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    emit exported(run, path, error);
}

void RunsReader::readReport(qint64 run, const QString &path)
{
    const std::unique_ptr<RunHistory> store = RunHistory::open(history);
    ReportContent::Report report;
    QString why = store->problem();
    bool unknownRun = false;
    if (why.isEmpty())
        TestReport::read(*store, {run}, &report, &why, &unknownRun);
    emit reportRead(run, path, report, why);
}

RunsDialog::RunsDialog(const QString &history, const QString &localStore, const QString &station,
                       const QString &workbookFolder, QWidget *parent)
    : QDialog(parent)
    , history(history)
    , localStore(localStore)
    , station(station)
    , onServer(history != localStore)
    , workbookFolder(workbookFolder)
    , readerThread(new QThread(this))
    , filter(new QLineEdit(this))
    , stationFilter(new QComboBox(this))
    , unitFilter(new QLineEdit(this))
    , verdictFilter(new QComboBox(this))
    , sinceOn(new QCheckBox(QStringLiteral("Since"), this))
    , since(new QDateEdit(QDate::currentDate().addMonths(-1), this))
    , table(new QTableWidget(0, Columns, this))
    , message(new QLabel(this))
    , detailsText(new QPlainTextEdit(this))
    , openFolder(new QPushButton(QStringLiteral("Open folder"), this))
    , load(new QPushButton(QStringLiteral("Load setup"), this))
    , exportButton(new QPushButton(QStringLiteral("Export CSV…"), this))
    , report(new QPushButton(QStringLiteral("Report…"), this))
    , resume(new QPushButton(QStringLiteral("Resume"), this))
{
    setObjectName(QStringLiteral("runsDialog"));
    setWindowTitle(QStringLiteral("Runs"));
    resize(960, 600);
    filter->setObjectName(QStringLiteral("editRunsFilter"));
    filter->setPlaceholderText(QStringLiteral("Filter: measurement, workbook, station, unit, operator, how it ended…"));
    filter->setClearButtonEnabled(true);
    stationFilter->setObjectName(QStringLiteral("comboBoxRunsStation"));
    stationFilter->addItem(QStringLiteral("All stations"));
    stationFilter->setToolTip(QStringLiteral("The runs of one bench alone"));
    stationFilter->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    unitFilter->setObjectName(QStringLiteral("editRunsUnit"));
    unitFilter->setPlaceholderText(QStringLiteral("Unit (serial)"));
    unitFilter->setToolTip(QStringLiteral("The runs of one unit alone: its whole serial number, as recorded"));
    unitFilter->setClearButtonEnabled(true);
    verdictFilter->setObjectName(QStringLiteral("comboBoxRunsVerdict"));
    verdictFilter->addItem(QStringLiteral("Any verdict"));
    verdictFilter->addItems(StoredRows::verdicts());
    verdictFilter->setToolTip(QStringLiteral("The runs of one verdict alone"));
    sinceOn->setObjectName(QStringLiteral("checkBoxRunsSince"));
    since->setObjectName(QStringLiteral("dateRunsSince"));
    since->setCalendarPopup(true);
    since->setEnabled(false);
    table->setObjectName(QStringLiteral("tableRuns"));
    table->setHorizontalHeaderLabels({QStringLiteral("Run"), QStringLiteral("When"), QStringLiteral("Measurement"),
                                      QStringLiteral("Setup"), QStringLiteral("Points"), QStringLiteral("Passes"),
                                      QStringLiteral("Ended"), QStringLiteral("Workbooks"), QStringLiteral("Troubles"),
                                      QStringLiteral("Station"), QStringLiteral("Unit"), QStringLiteral("Verdict")});
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    message->setObjectName(QStringLiteral("labelRunsMessage"));
    message->setWordWrap(true);
    detailsText->setObjectName(QStringLiteral("textRunDetails"));
    detailsText->setReadOnly(true);
    detailsText->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Aligned in columns, as "rfbench runs show" prints it.
    detailsText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    detailsText->setPlaceholderText(QStringLiteral("The selected run, with its passes and troubles"));
    openFolder->setObjectName(QStringLiteral("buttonRunsOpenFolder"));
    load->setObjectName(QStringLiteral("buttonRunsLoadSetup"));
    exportButton->setObjectName(QStringLiteral("buttonRunsExport"));
    report->setObjectName(QStringLiteral("buttonRunsReport"));
    resume->setObjectName(QStringLiteral("buttonRunsResume"));
    openFolder->setToolTip(QStringLiteral("Open the folder of the run's workbooks"));
    load->setToolTip(QStringLiteral("Fill the form with the run's setup, to repeat it; nothing is started"));
    exportButton->setToolTip(QStringLiteral("Write every point of the run to a CSV file"));
    report->setToolTip(QStringLiteral("Write the run's test report: a PDF on A4 or one HTML file"));

    auto *filters = new QHBoxLayout;
    filters->addWidget(filter, 1);
    filters->addWidget(stationFilter);
    filters->addWidget(unitFilter);
    filters->addWidget(verdictFilter);
    filters->addWidget(sinceOn);
    filters->addWidget(since);
    auto *buttons = new QHBoxLayout;
    for (QPushButton *button : {openFolder, load, exportButton, report, resume})
        buttons->addWidget(button);
    buttons->addStretch(1);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    buttons->addWidget(close);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(table);
    split->addWidget(detailsText);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addWidget(message);
    layout->addLayout(buttons);

    qRegisterMetaType<RunFilter>();
    qRegisterMetaType<QList<RunSummary>>();
    qRegisterMetaType<ReportContent::Report>();
    auto *reader = new RunsReader(history, localStore, latest, detailsOf);
    reader->moveToThread(readerThread);
    connect(readerThread, &QThread::finished, reader, &QObject::deleteLater);
    connect(this, &RunsDialog::readRuns, reader, &RunsReader::read);
    connect(this, &RunsDialog::exportRun, reader, &RunsReader::exportRun);
    connect(this, &RunsDialog::readDetails, reader, &RunsReader::readDetails);
    connect(this, &RunsDialog::readReport, reader, &RunsReader::readReport);
    connect(reader, &RunsReader::done, this, &RunsDialog::fill);
    connect(reader, &RunsReader::detailsRead, this, &RunsDialog::showDetails);
    connect(reader, &RunsReader::exported, this, [this](qint64 run, const QString &path, const QString &error) {
        message->setText(error.isEmpty() ? QStringLiteral("Points of run %1 written to %2")
                                               .arg(QString::number(run), QDir::toNativeSeparators(path))
                                         : QStringLiteral("Not exported: ") + error);
        emit exported(error);
    });
    connect(reader, &RunsReader::reportRead, this,
            [this](qint64 run, const QString &path, const ReportContent::Report &read, const QString &why) {
                const QString error = why.isEmpty() ? ReportFile::write(read, path) : why;
                message->setText(error.isEmpty() ? QStringLiteral("Report of run %1 written to %2")
                                                       .arg(QString::number(run), QDir::toNativeSeparators(path))
                                                 : QStringLiteral("No report written: ") + error);
                emit reportWritten(error);
            });
    readerThread->setObjectName(QStringLiteral("runs reader"));
    readerThread->start();

    connect(filter, &QLineEdit::textChanged, this, &RunsDialog::refresh);
    connect(stationFilter, QOverload<int>::of(&QComboBox::activated), this, &RunsDialog::refresh);
    connect(unitFilter, &QLineEdit::textChanged, this, &RunsDialog::refresh);
    connect(verdictFilter, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &RunsDialog::refresh);
    connect(sinceOn, &QCheckBox::toggled, this, [this](bool on) {
        since->setEnabled(on);
        refresh();
    });
    connect(since, &QDateEdit::dateChanged, this, &RunsDialog::refresh);
    connect(table, &QTableWidget::itemSelectionChanged, this, [this] {
        updateButtons();
        requestDetails();
    });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    // A run's own folder: the data folder may have been another when it was measured.
    connect(openFolder, &QPushButton::clicked, this, [this] {
        const RunSummary *run = selectedSummary();
        QDesktopServices::openUrl(QUrl::fromLocalFile(run && !run->dataFolder.isEmpty() ? run->dataFolder
                                                                                      : this->workbookFolder));
    });
    connect(load, &QPushButton::clicked, this, [this] {
        if (const RunSummary *run = selectedSummary())
            emit loadSetup(run->setup);
    });
    connect(exportButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Export the run's points"),
            QDir(this->workbookFolder).filePath(QStringLiteral("run %1.csv").arg(selectedRun())),
            QStringLiteral("CSV files (*.csv)"));
        if (!path.isEmpty())
            exportCsv(path);
    });
    connect(report, &QPushButton::clicked, this, [this] {
        const RunSummary *run = selectedSummary();
        if (!run)
            return;
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save the run's test report"),
            QDir(this->workbookFolder).filePath(ReportFile::proposedName(*run)),
            QStringLiteral("PDF (*.pdf);;HTML (*.html)"));
        if (!path.isEmpty())
            writeReport(path);
    });
    connect(resume, &QPushButton::clicked, this, [this] {
        if (const RunSummary *run = selectedSummary())
            emit resumeRun(run->localId);
    });
    refresh();
}

RunsDialog::~RunsDialog()
{
    // A read under way waits on the server at most its timeouts; it ends on its own rather than
    // hold the window, and its thread goes with it.
    readerThread->quit();
    if (!readerThread->wait(200)) {
        readerThread->setParent(nullptr);
        connect(readerThread, &QThread::finished, readerThread, &QObject::deleteLater);
        // It may have finished before the connection was made; deleted once either way.
        if (readerThread->isFinished())
            readerThread->deleteLater();
    }
}

void RunsDialog::refresh()
{
    RunFilter runFilter;
    runFilter.text = filter->text().trimmed();
    if (sinceOn->isChecked())
        runFilter.since = since->date().startOfDay();
    if (stationFilter->currentIndex() > 0)
        runFilter.station = stationFilter->currentText();
    runFilter.unit = unitFilter->text().trimmed();
    if (verdictFilter->currentIndex() > 0)
        runFilter.verdict = verdictFilter->currentText();
    if (onServer)
        message->setText(QStringLiteral("Reading the runs of every station from %1…").arg(history));
    *latest = ++generation;
    emit readRuns(generation, runFilter);
}

void RunsDialog::fill(int readGeneration, const QList<RunSummary> &runs, const QStringList &stations,
                      const QString &problem, const QString &ownStore)
{
    // A read overtaken by a later one is of a filter no longer shown.
    if (readGeneration != generation)
        return;
    localIdentity = ownStore;
    const qint64 selected = selectedRun();
    shown = runs;
    const QString where = onServer ? history : QDir::toNativeSeparators(history);
    message->setText(problem.isEmpty() ? QStringLiteral("%1 in %2").arg(Counted::of(shown.size(), "run"), where)
                                       : (onServer ? QStringLiteral("The results server cannot be read: ")
                                                   : QStringLiteral("The results store cannot be read: "))
                                             + problem);
    // The station list keeps its choice; a station with no run left in it stays until it is changed.
    const QString chosen = stationFilter->currentIndex() > 0 ? stationFilter->currentText() : QString();
    QStringList names = stations;
    if (!chosen.isEmpty() && !names.contains(chosen))
        names << chosen;
    stationFilter->clear();
    stationFilter->addItem(QStringLiteral("All stations"));
    stationFilter->addItems(names);
    stationFilter->setCurrentIndex(chosen.isEmpty() ? 0 : stationFilter->findText(chosen));
    table->setColumnHidden(StationColumn, !onServer && stations.size() < 2);
    table->setRowCount(shown.size());
    for (int row = 0; row < shown.size(); ++row) {
        const RunSummary &run = shown.at(row);
        const QStringList cells{QString::number(run.id),
                                run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                                run.measurement,
                                setupInShort(run.setup),
                                QString::number(run.points),
                                QString::number(run.passes),
                                run.outcome,
                                run.workbooks.join(QStringLiteral(", ")),
                                QString::number(run.troubles),
                                run.station,
                                run.unit,
                                run.verdict.verdict};
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells.at(column));
            if (column == EndedColumn && !run.note.isEmpty())
                item->setToolTip(run.note);
            if (column == VerdictColumn && !run.verdict.verdict.isEmpty()) {
                const QColor colour = verdictColour(run.verdict.verdict);
                if (colour.isValid())
                    item->setForeground(colour);
                item->setToolTip(QStringLiteral("%1 failed, %2 marginal, %3 without a reading%4")
                                     .arg(run.verdict.failed)
                                     .arg(run.verdict.marginal)
                                     .arg(run.verdict.unread)
                                     .arg(run.outcome == QLatin1String("running") ? QStringLiteral(", so far")
                                                                                  : QString()));
            }
            if (column == UnitColumn && !run.operatorName.isEmpty())
                item->setToolTip(QStringLiteral("Measured by %1").arg(run.operatorName));
            if (column == RunColumn && onServer)
                item->setToolTip(QStringLiteral("Run %1 of %2").arg(QString::number(run.localId), run.station));
            table->setItem(row, column, item);
        }
    }
    table->resizeColumnsToContents();
    selectRun(selected);
    updateButtons();
    // Read again with the list: a run that went on since has more passes and troubles.
    requestDetails();
    emit refreshed();
}

qint64 RunsDialog::selectedRun() const
{
    const QList<QTableWidgetItem *> items = table->selectedItems();
    return items.isEmpty() ? 0 : table->item(items.first()->row(), 0)->text().toLongLong();
}

void RunsDialog::selectRun(qint64 id)
{
    for (int row = 0; row < table->rowCount(); ++row)
        if (table->item(row, 0)->text().toLongLong() == id)
            table->selectRow(row);
}

void RunsDialog::exportCsv(const QString &path)
{
    message->setText(QStringLiteral("Writing the points of run %1 to %2…")
                         .arg(QString::number(selectedRun()), QDir::toNativeSeparators(path)));
    emit exportRun(selectedRun(), path);
}

void RunsDialog::writeReport(const QString &path)
{
    const QString target = ReportFile::withFormat(path);
    message->setText(QStringLiteral("Writing the report of run %1 to %2…")
                         .arg(QString::number(selectedRun()), QDir::toNativeSeparators(target)));
    emit readReport(selectedRun(), target);
}

void RunsDialog::requestDetails()
{
    const qint64 run = selectedRun();
    if (run == 0) {
        *detailsOf = 0;
        detailsText->clear();
        return;
    }
    *detailsOf = run;
    emit readDetails(run);
}

void RunsDialog::showDetails(qint64 run, const QString &text, const QString &problem)
{
    if (run != selectedRun())
        return;
    detailsText->setPlainText(problem.isEmpty() ? text : QStringLiteral("Run %1 cannot be read: %2").arg(run).arg(problem));
    emit detailsShown();
}

QString RunsDialog::details() const
{
    return detailsText->toPlainText();
}

void RunsDialog::resumeAnswered(qint64 run, const QString &why)
{
    // Named as the list numbers it: on a server, by the server's number.
    qint64 listed = run;
    QString measurement;
    for (const RunSummary &summary : qAsConst(shown))
        if (summary.localId == run && isOwn(summary)) {
            listed = summary.id;
            measurement = summary.measurement;
        }
    message->setText(why.isEmpty()
                         ? QStringLiteral("Run %1 goes on from the point after its last one. Only its own %2 "
                                          "measurement goes on: measurements that followed it in a sequence are not "
                                          "run.")
                               .arg(QString::number(listed), measurement)
                         : QStringLiteral("Run %1 does not go on: %2").arg(QString::number(listed), why));
}

const RunSummary *RunsDialog::selectedSummary() const
{
    const qint64 id = selectedRun();
    for (const RunSummary &run : shown)
        if (run.id == id)
            return &run;
    return nullptr;
}

bool RunsDialog::isOwn(const RunSummary &run) const
{
    // A store is known by its identity; one made before stores had identities by its station too.
    return !onServer
        || (!localIdentity.isNull() && run.store == localIdentity
            && (!localIdentity.isEmpty() || run.station == station));
}

void RunsDialog::updateButtons()
{
    const RunSummary *run = selectedSummary();
    const bool own = run && isOwn(*run);
    // Another bench's workbooks are on its own PC, and only this bench's store can go on.
    openFolder->setEnabled(own);
    load->setEnabled(run);
    exportButton->setEnabled(run);
    report->setEnabled(run);
    resume->setEnabled(own && (run->outcome == QLatin1String("stopped") || run->outcome == QLatin1String("interrupted")));
    resume->setToolTip(run && !own ? QStringLiteral("Runs of another bench go on at that bench")
                                   : QStringLiteral("Go on with a stopped or interrupted run from the point after its "
                                                    "last one: its own measurement alone, not the rest of a sequence"));
}
