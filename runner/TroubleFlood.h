#pragma once

#include <QtGlobal>

// When standard error tells of one trouble that comes again and again: its first few times each,
// then at most one line every few seconds, which carries the count so far. The trace and the
// results store are told of every time; this only keeps a run's messages readable.
namespace TroubleFlood {

// Times of one trouble that are each shown.
const int shownEachTime = 3;
// After those, the least time between two lines of the trouble.
const qint64 quietMs = 5000;

// One trouble's course on standard error.
struct State
{
    int times = 0;      // the trouble came this often
    int timesShown = 0; // the count the last line shown of it carried
    qint64 shownAtMs = 0;
};

// One more time of the trouble at nowMs (a steady clock's milliseconds); true when its line is
// to be shown now.
bool arrive(State &state, qint64 nowMs);

// True when the count is still to be said: later times came than the last line shown told of.
// The line, once shown, is noted with shown().
bool countUnsaid(const State &state);
void shown(State &state, qint64 nowMs);

} // namespace TroubleFlood
