#pragma once

#include <QList>
#include <QtGlobal>

// The peaks of one spur-measurement point, carrier first, and what they say about spurs. A peak
// whose frequency or level is not a number (the analyzer gave none) keeps its place in the
// lists but takes no part in the evaluation.
struct SpurEvaluation
{
    QList<double> frequencies; // Hz
    QList<double> levels;      // dBm

    // Pairs the two lists; only peaks present in both are kept.
    static SpurEvaluation fromLists(QList<double> frequencies, QList<double> levels);
    // Splits a flat table of frequency,level pairs; a lone last value is dropped.
    static SpurEvaluation fromTable(const QList<double> &table);

    int size() const { return int(levels.size()); }

    // Whether the peak's frequency and level are both numbers.
    bool isNumber(int peak) const;
    // The first peak after the carrier that is a number, or -1: the strongest other peak, as the
    // analyzer is told to sort its peaks by level.
    int strongestOther() const;
    // The strongest other peak by these levels of the same peaks (the levels at the unit, once a
    // sloped path loss is added, may rank them otherwise than the analyzer did); -1 when none.
    int strongestOther(const QList<double> &levelsAtUnit) const;

    // Counts every peak more than 1 MHz from the carrier whose level is a number as a spur, and
    // lowers minimumDistance to the distance between the carrier and the strongest other peak
    // when that is smaller. Without a carrier that is a number nothing is counted.
    void evaluate(double displayLine, quint32 *spurCount, double *minimumDistance) const;
};
