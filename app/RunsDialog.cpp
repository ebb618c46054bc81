#include "RunsDialog.h"

#include "RunExport.h"
#include "SetupFile.h"
#include "SqliteStore.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
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
                                  m.pointsMode ? QStringLiteral("%1 points").arg(m.points)
                                               : QStringLiteral("step %1 MHz").arg(QString::number(m.step, 'g', 10)));
    text += QStringLiteral(", %1 dBm").arg(QString::number(m.power, 'f', 1));
    if (m.cycle)
        text += QStringLiteral(", cycle %1 dB").arg(m.powerStep);
    return text;
}

} // namespace

RunsDialog::RunsDialog(const QString &storePath, const QString &workbookFolder, QWidget *parent)
    : QDialog(parent)
    , storePath(storePath)
    , workbookFolder(workbookFolder)
    , filter(new QLineEdit(this))
    , sinceOn(new QCheckBox(QStringLiteral("Since"), this))
    , since(new QDateEdit(QDate::currentDate().addMonths(-1), this))
    , table(new QTableWidget(0, 9, this))
    , message(new QLabel(this))
    , openFolder(new QPushButton(QStringLiteral("Open folder"), this))
    , load(new QPushButton(QStringLiteral("Load setup"), this))
    , exportButton(new QPushButton(QStringLiteral("Export CSV…"), this))
    , resume(new QPushButton(QStringLiteral("Resume"), this))
{
    setObjectName(QStringLiteral("runsDialog"));
    setWindowTitle(QStringLiteral("Runs"));
    resize(960, 420);
    filter->setObjectName(QStringLiteral("editRunsFilter"));
    filter->setPlaceholderText(QStringLiteral("Filter: measurement, workbook, station, how it ended…"));
    filter->setClearButtonEnabled(true);
    sinceOn->setObjectName(QStringLiteral("checkBoxRunsSince"));
    since->setObjectName(QStringLiteral("dateRunsSince"));
    since->setCalendarPopup(true);
    since->setEnabled(false);
    table->setObjectName(QStringLiteral("tableRuns"));
    table->setHorizontalHeaderLabels({QStringLiteral("Run"), QStringLiteral("When"), QStringLiteral("Measurement"),
                                      QStringLiteral("Setup"), QStringLiteral("Points"), QStringLiteral("Passes"),
                                      QStringLiteral("Ended"), QStringLiteral("Workbooks"), QStringLiteral("Troubles")});
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    message->setObjectName(QStringLiteral("labelRunsMessage"));
    message->setWordWrap(true);
    openFolder->setObjectName(QStringLiteral("buttonRunsOpenFolder"));
    load->setObjectName(QStringLiteral("buttonRunsLoadSetup"));
    exportButton->setObjectName(QStringLiteral("buttonRunsExport"));
    resume->setObjectName(QStringLiteral("buttonRunsResume"));
    openFolder->setToolTip(QStringLiteral("Open the folder of the run's workbooks"));
    load->setToolTip(QStringLiteral("Fill the form with the run's setup, to repeat it; nothing is started"));
    exportButton->setToolTip(QStringLiteral("Write every point of the run to a CSV file"));
    resume->setToolTip(QStringLiteral("Go on with a stopped or interrupted run from the point after its last one"));

    auto *filters = new QHBoxLayout;
    filters->addWidget(filter, 1);
    filters->addWidget(sinceOn);
    filters->addWidget(since);
    auto *buttons = new QHBoxLayout;
    for (QPushButton *button : {openFolder, load, exportButton, resume})
        buttons->addWidget(button);
    buttons->addStretch(1);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(table, 1);
    layout->addWidget(message);
    layout->addLayout(buttons);

    connect(filter, &QLineEdit::textChanged, this, &RunsDialog::refresh);
    connect(sinceOn, &QCheckBox::toggled, this, [this](bool on) {
        since->setEnabled(on);
        refresh();
    });
    connect(since, &QDateEdit::dateChanged, this, &RunsDialog::refresh);
    connect(table, &QTableWidget::itemSelectionChanged, this, &RunsDialog::updateButtons);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(openFolder, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(this->workbookFolder));
    });
    connect(load, &QPushButton::clicked, this, [this] {
        for (const RunSummary &run : qAsConst(shown))
            if (run.id == selectedRun())
                emit loadSetup(run.setup);
    });
    connect(exportButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Export the run's points"),
            QDir(this->workbookFolder).filePath(QStringLiteral("run %1.csv").arg(selectedRun())),
            QStringLiteral("CSV files (*.csv)"));
        if (!path.isEmpty())
            exportCsv(path);
    });
    connect(resume, &QPushButton::clicked, this, [this] { emit resumeRun(selectedRun()); });
    refresh();
}

void RunsDialog::refresh()
{
    const qint64 selected = selectedRun();
    QStringList announcements;
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(storePath, SqliteStore::Mode::Read, &announcements);
    RunFilter runFilter;
    runFilter.text = filter->text().trimmed();
    if (sinceOn->isChecked())
        runFilter.since = since->date().startOfDay();
    shown = store->problem().isEmpty() ? store->runs(runFilter) : QList<RunSummary>();
    message->setText(store->problem().isEmpty()
                         ? QStringLiteral("%1 runs in %2").arg(QString::number(shown.size()), QDir::toNativeSeparators(storePath))
                         : QStringLiteral("The results store cannot be read: ") + store->problem());
    table->setRowCount(shown.size());
    for (int row = 0; row < shown.size(); ++row) {
        const RunSummary &run = shown.at(row);
        const QStringList cells{QString::number(run.id),
                                run.started.toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                                run.measurement,
                                setupInShort(run.setup),
                                QString::number(run.points),
                                QString::number(run.passes),
                                run.outcome,
                                run.workbooks.join(QStringLiteral(", ")),
                                QString::number(run.troubles)};
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells.at(column));
            if (column == 6 && !run.note.isEmpty())
                item->setToolTip(run.note);
            table->setItem(row, column, item);
        }
    }
    table->resizeColumnsToContents();
    selectRun(selected);
    updateButtons();
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

QString RunsDialog::exportCsv(const QString &path)
{
    QStringList announcements;
    const std::unique_ptr<SqliteStore> store = SqliteStore::open(storePath, SqliteStore::Mode::Read, &announcements);
    QSaveFile file(path);
    QString error = store->problem();
    if (error.isEmpty() && (!file.open(QIODevice::WriteOnly) || file.write(RunExport::csv(store->points(selectedRun()))) < 0
                            || !file.commit()))
        error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    message->setText(error.isEmpty() ? QStringLiteral("Points of run %1 written to %2")
                                           .arg(QString::number(selectedRun()), QDir::toNativeSeparators(path))
                                     : QStringLiteral("Not exported: ") + error);
    return error;
}

void RunsDialog::updateButtons()
{
    const qint64 id = selectedRun();
    QString outcome;
    for (const RunSummary &run : qAsConst(shown))
        if (run.id == id)
            outcome = run.outcome;
    for (QPushButton *button : {openFolder, load, exportButton})
        button->setEnabled(id != 0);
    resume->setEnabled(outcome == QLatin1String("stopped") || outcome == QLatin1String("interrupted"));
}
