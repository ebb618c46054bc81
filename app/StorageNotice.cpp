#include "StorageNotice.h"

#include "Counted.h"

#include <QStatusBar>

namespace {

// Notes give way to a run's progress after a while; what must stay shown is the warning label.
const int noteMs = 30000;

QString fileName(const QString &workbook)
{
    return QStringLiteral("“") + workbook + QStringLiteral(".xlsx”");
}

} // namespace

StorageNotice::StorageNotice(QStatusBar *statusBar)
    : QLabel(statusBar)
    , bar(statusBar)
{
    setObjectName(QStringLiteral("labelStorageNotice"));
    setStyleSheet(QStringLiteral("color: white; background-color: #b00000; padding: 0 4px;"));
    bar->addPermanentWidget(this);
    hide();
}

void StorageNotice::rowsWaiting(const QString &workbook, int rows, const QString &reason)
{
    waiting[workbook] = Waiting{rows, reason};
    refresh();
}

void StorageNotice::rowsSaved(const QString &workbook, int rows)
{
    waiting.remove(workbook);
    refresh();
    bar->showMessage(QStringLiteral("%1 saved to %2; none waits any more.").arg(Counted::of(rows, "row"), fileName(workbook)),
                     noteMs);
}

void StorageNotice::rowsRecovered(const QString &workbook, const QString &recovered,
                                  const QString &reason)
{
    bar->showMessage(QStringLiteral("%1 cannot be written (%2): its rows go to %3.")
                         .arg(fileName(workbook), reason, fileName(recovered)),
                     noteMs);
}

void StorageNotice::refresh()
{
    if (waiting.isEmpty()) {
        clear();
        setToolTip(QString());
        hide();
        return;
    }
    QStringList parts;
    int total = 0;
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it) {
        parts << QStringLiteral("%1 for %2 (%3)").arg(Counted::of(it->rows, "row"), fileName(it.key()), it->reason);
        total += it->rows;
    }
    setText(QStringLiteral("Not saved: ") + parts.join(QStringLiteral(", ")));
    setToolTip(QStringLiteral("%1 not saved yet, kept in memory: they are written as soon as the "
                              "workbook can be saved again (free space, plug the drive back in).")
                   .arg(Counted::of(total, "row")));
    show();
}
