#include "TroubleFlood.h"

namespace TroubleFlood {

bool arrive(State &state, qint64 nowMs)
{
    ++state.times;
    if (state.times > shownEachTime && nowMs - state.shownAtMs < quietMs)
        return false;
    shown(state, nowMs);
    return true;
}

bool countUnsaid(const State &state)
{
    return state.times > state.timesShown;
}

void shown(State &state, qint64 nowMs)
{
    state.timesShown = state.times;
    state.shownAtMs = nowMs;
}

} // namespace TroubleFlood
