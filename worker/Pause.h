#pragma once

#include <functional>

// The one place where the worker waits a fixed time; tests replace the sleep to record pauses.
namespace Pause {

using SleepFunction = std::function<void(unsigned long ms)>;

void sleepMs(unsigned long ms);

// Installs a replacement for the sleep (an empty function restores the real one) and returns
// the one installed before.
SleepFunction setSleepFunction(SleepFunction function);

} // namespace Pause
