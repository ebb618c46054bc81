#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class ResultsStore;

// Where a stopped or interrupted run of the results store goes on: the point after its last
// recorded one, with the run's own setup.
namespace RunResume {

struct Point
{
    qint64 run = 0;
    int pass = 1;      // from 1
    quint64 point = 0; // index of the first point to measure, from 0
};

// False with the reason when the run cannot go on (unknown, finished, failed, its setup
// unreadable).
bool find(ResultsStore &store, qint64 run, Point *from, QByteArray *setup, QString *why);

} // namespace RunResume
