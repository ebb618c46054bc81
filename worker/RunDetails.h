#pragma once

#include <QString>

class RunHistory;
struct RunSummary;

// A run for people, as "rfbench runs show" prints it and the window's Runs list shows it: its
// fields, instruments, identities, correction tables, passes and troubles, times in local time.
namespace RunDetails {

// Reads the run's passes, troubles and points from the store; a read that fails leaves its part
// empty, and the store's problem() says why.
QString read(RunHistory &store, const RunSummary &run);

} // namespace RunDetails
