#pragma once

#include <QList>
#include <QtGlobal>

// The peaks of one spur-measurement point, carrier first, and what they say about spurs.
struct SpurEvaluation
{
    QList<double> frequencies; // Hz
    QList<double> levels;      // dBm

    // Pairs the two lists; only peaks present in both are kept.
    static SpurEvaluation fromLists(QList<double> frequencies, QList<double> levels);
    // Splits a flat table of frequency,level pairs; a lone last value is dropped.
    static SpurEvaluation fromTable(const QList<double> &table);

    int size() const { return int(levels.size()); }

    // Counts every peak more than 1 MHz from the carrier whose level is a number as a spur, and
    // lowers minimumDistance to the distance between the two strongest peaks when that is smaller.
    void evaluate(double displayLine, quint32 *spurCount, double *minimumDistance) const;
};
