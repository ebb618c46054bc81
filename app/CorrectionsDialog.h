#pragma once

#include "Corrections.h"

#include <QDialog>
#include <QVector>

#include <array>

class QLabel;
class QPushButton;
class QwtPlot;
class QwtPlotCurve;

// The window's correction tables, one row a path: its file, range, points and due date, a small
// plot of its loss, and buttons to choose another file or clear it. It shows what the window
// keeps and asks the window to change it.
class CorrectionsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CorrectionsDialog(QWidget *parent = nullptr);

    // Shows each path's table among these; a path without one reads "none".
    void setTables(const QVector<Corrections::CorrectionTable> &tables, const QDate &today);
    // A path's line as shown: "cable.csv: 12 points, 100 to 18000 MHz, valid until 2027-03-01".
    QString summary(Corrections::Path path) const;
    // Whether the line is red: the table was due for calibration before today.
    bool shownPastDue(Corrections::Path path) const;

signals:
    void fileChosen(Corrections::Path path, const QString &file);
    void cleared(Corrections::Path path);

private:
    struct Row
    {
        Corrections::Path path = Corrections::Path::None;
        QLabel *summary = nullptr;
        QwtPlot *plot = nullptr;
        QwtPlotCurve *curve = nullptr;
        QPushButton *clear = nullptr;
        bool pastDue = false;
    };
    const Row &row(Corrections::Path path) const;

    std::array<Row, 3> rows;
};
