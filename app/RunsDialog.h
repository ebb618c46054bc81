#pragma once

#include "ResultsStore.h"

#include <QDialog>
#include <QList>
#include <QString>

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The window's list of the runs in the results store, newest first, with a text and date
// filter; from a run: its workbooks' folder, its setup into the form, its points as CSV, and
// going on with it when it was stopped or interrupted.
class RunsDialog : public QDialog
{
    Q_OBJECT

public:
    RunsDialog(const QString &storePath, const QString &workbookFolder, QWidget *parent = nullptr);

    // Reads the store again and fills the list as the filter stands.
    void refresh();
    // The run of the selected row; 0 when none is selected.
    qint64 selectedRun() const;
    void selectRun(qint64 id);
    // Writes the selected run's points to a CSV file; the error, or an empty text.
    QString exportCsv(const QString &path);

signals:
    // The operator asks to fill the form with the run's setup (in the setup file's format).
    void loadSetup(const QByteArray &setup);
    // The operator asks to go on with the run.
    void resumeRun(qint64 run);

private:
    void updateButtons();

    QString storePath;
    QString workbookFolder;
    QLineEdit *filter = nullptr;
    QCheckBox *sinceOn = nullptr;
    QDateEdit *since = nullptr;
    QTableWidget *table = nullptr;
    QLabel *message = nullptr;
    QPushButton *openFolder = nullptr;
    QPushButton *load = nullptr;
    QPushButton *exportButton = nullptr;
    QPushButton *resume = nullptr;
    QList<RunSummary> shown;
};
