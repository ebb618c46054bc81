#pragma once

#include "Verdict.h"

#include <QMetaType>
#include <QString>
#include <QVector>

// What the limits made of one run of a measurement, as the worker hands it over at the run's end:
// its points rolled up per pass and for the whole run.
struct RunJudgement
{
    struct Pass
    {
        int pass = 1;
        double outputPower = 0; // dBm
        quint64 points = 0;     // judged, of pointsPerPass
        Verdict::Tally tally;
    };

    MeasurementLimits limits; // not present: the run has no verdict
    bool spur = false;
    quint64 pointsPerPass = 0;
    int passesExpected = 0;   // as last counted when a pass began; 0: no end in sight
    bool reachedItsEnd = false;
    Verdict::Grade grade = Verdict::Grade::None; // the run's, by Verdict::ofRun
    Verdict::Tally tally;     // every point of the run; its grade the points' roll-up
    QVector<Pass> passes;     // in the order begun, a resumed run's earlier ones first

    // The operator's line: the tally's summary under the run's grade; empty without limits.
    QString summary() const;
};

Q_DECLARE_METATYPE(RunJudgement)
