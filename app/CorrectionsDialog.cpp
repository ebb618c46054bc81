#include "CorrectionsDialog.h"

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <QDate>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

using Corrections::Path;

CorrectionsDialog::CorrectionsDialog(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Corrections"));
    auto *grid = new QGridLayout(this);
    const struct
    {
        Path path;
        const char *name;
    } paths[] = {{Path::MeterA, "Power meter A"}, {Path::MeterB, "Power meter B"}, {Path::Analyzer, "Analyzer"}};
    for (int i = 0; i < 3; ++i) {
        Row &r = rows[size_t(i)];
        r.path = paths[i].path;
        const QString key = Corrections::pathKey(r.path).remove(QLatin1Char('.'));
        grid->addWidget(new QLabel(QString::fromLatin1(paths[i].name), this), 2 * i, 0);
        r.summary = new QLabel(this);
        r.summary->setObjectName(QStringLiteral("labelCorrection_") + key);
        r.summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(r.summary, 2 * i, 1);
        auto *choose = new QPushButton(QStringLiteral("Choose…"), this);
        choose->setObjectName(QStringLiteral("buttonChooseCorrection_") + key);
        grid->addWidget(choose, 2 * i, 2);
        r.clear = new QPushButton(QStringLiteral("Clear"), this);
        r.clear->setObjectName(QStringLiteral("buttonClearCorrection_") + key);
        grid->addWidget(r.clear, 2 * i, 3);
        r.plot = new QwtPlot(this);
        r.plot->setMinimumSize(360, 110);
        r.plot->setMaximumHeight(130);
        QFont small = r.plot->font();
        small.setPointSizeF(small.pointSizeF() * 0.8);
        for (const int axis : {int(QwtPlot::xBottom), int(QwtPlot::yLeft)})
            r.plot->setAxisFont(axis, small);
        r.plot->setAxisTitle(QwtPlot::xBottom, QwtText(QStringLiteral("MHz")));
        r.plot->setAxisTitle(QwtPlot::yLeft, QwtText(QStringLiteral("loss, dB")));
        r.curve = new QwtPlotCurve();
        r.curve->setStyle(QwtPlotCurve::Lines);
        r.curve->attach(r.plot);
        grid->addWidget(r.plot, 2 * i + 1, 0, 1, 4);

        const Path path = r.path;
        connect(choose, &QPushButton::clicked, this, [this, path] {
            const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Correction table"), QString(),
                                                              QStringLiteral("Tables (*.csv);;All files (*)"));
            if (!file.isEmpty())
                emit fileChosen(path, file);
        });
        connect(r.clear, &QPushButton::clicked, this, [this, path] { emit cleared(path); });
    }
    setTables({}, QDate::currentDate());
}

void CorrectionsDialog::setTables(const QVector<Corrections::CorrectionTable> &tables, const QDate &today)
{
    for (Row &r : rows) {
        const auto table = std::find_if(tables.cbegin(), tables.cend(),
                                        [&r](const Corrections::CorrectionTable &t) { return t.path == r.path; });
        const bool set = table != tables.cend();
        r.pastDue = set && Corrections::pastDue(*table, today);
        r.clear->setEnabled(set);
        r.summary->setStyleSheet(r.pastDue ? QStringLiteral("color: red") : QString());
        QVector<double> frequencies;
        QVector<double> losses;
        if (!set) {
            r.summary->setText(QStringLiteral("none"));
            r.summary->setToolTip(QString());
        } else {
            for (const Corrections::LossPoint &point : table->points) {
                frequencies << point.frequency;
                losses << point.loss;
            }
            QString text = QStringLiteral("%1: %2 point%3, %4 to %5 MHz")
                               .arg(QFileInfo(table->source).fileName(), QString::number(table->points.size()),
                                    table->points.size() == 1 ? QString() : QStringLiteral("s"),
                                    Corrections::numberText(table->lowest()), Corrections::numberText(table->highest()));
            if (table->due.isValid())
                text += (r.pastDue ? QStringLiteral(", past due since ") : QStringLiteral(", valid until "))
                        + table->due.toString(Qt::ISODate);
            r.summary->setText(text);
            r.summary->setToolTip(Corrections::describe(*table));
        }
        r.curve->setSamples(frequencies, losses);
        r.plot->replot();
    }
}

const CorrectionsDialog::Row &CorrectionsDialog::row(Path path) const
{
    return *std::find_if(rows.cbegin(), rows.cend(), [path](const Row &r) { return r.path == path; });
}

QString CorrectionsDialog::summary(Path path) const
{
    return row(path).summary->text();
}

bool CorrectionsDialog::shownPastDue(Path path) const
{
    return row(path).pastDue;
}
