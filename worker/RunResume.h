#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

class ResultsStore;

// Where a stopped or interrupted run of the results store goes on: the point after its last
// recorded one, with the run's own setup, in the run's own data folder.
namespace RunResume {

struct Point
{
    qint64 run = 0;
    int pass = 1;       // from 1
    quint64 point = 0;  // index of the first point to measure, from 0
    QString dataFolder; // the run's, where its workbooks are; empty when not recorded
};

// What the setup of a run measures per pass, and whether it goes on with a pass at a higher
// power after a complete one.
struct Grid
{
    quint64 perPass = 0;
    bool cycle = false;
};
// Reads a run's grid from its recorded setup; false with why when it cannot.
using GridOf = std::function<bool(const QByteArray &setup, Grid *grid, QString *why)>;

// False with the reason when the run cannot go on: unknown, finished or failed, written by
// another program now, its setup unreadable, or its workbook holding rows below its last stored
// point that the store does not know (points that missed the store, which going on would
// measure and write again).
bool find(ResultsStore &store, qint64 run, const GridOf &gridOf, Point *from, QByteArray *setup, QString *why);

} // namespace RunResume
