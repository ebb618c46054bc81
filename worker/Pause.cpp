#include "Pause.h"

#include <QThread>

namespace Pause {
namespace {
SleepFunction &installed()
{
    static SleepFunction function;
    return function;
}
} // namespace

void sleepMs(unsigned long ms)
{
    const SleepFunction &function = installed();
    if (function)
        function(ms);
    else
        QThread::msleep(ms);
}

SleepFunction setSleepFunction(SleepFunction function)
{
    SleepFunction previous = std::move(installed());
    installed() = std::move(function);
    return previous;
}

} // namespace Pause
