#pragma once

#include <QLabel>
#include <QMap>
#include <QString>

class QStatusBar;

// The status bar's word on report rows: which workbooks have rows waiting in memory because
// they cannot be written, how many and why, and the notes when rows are saved at last or go to
// a "(recovered)" workbook.
class StorageNotice : public QLabel
{
    Q_OBJECT

public:
    explicit StorageNotice(QStatusBar *statusBar);

    bool rowsWait() const { return !waiting.isEmpty(); }

public slots:
    void rowsWaiting(const QString &workbook, int rows, const QString &reason);
    void rowsSaved(const QString &workbook, int rows);
    void rowsRecovered(const QString &workbook, const QString &recovered, const QString &reason);

private:
    struct Waiting
    {
        int rows = 0;
        QString reason;
    };

    void refresh();

    QStatusBar *bar = nullptr;
    QMap<QString, Waiting> waiting;
};
