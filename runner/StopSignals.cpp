#include "StopSignals.h"

#include <pthread.h>
#include <unistd.h>

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, &before);
    // Ignored by inheritance (a job a shell put in the background), a signal is dropped before
    // anyone can wait for it.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    waiter = std::thread([this] { wait(); });
}

StopSignals::~StopSignals()
{
    closing = true;
    // Directed at the waiter alone: it sees closing and returns.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void StopSignals::arm(int atOnceCode)
{
    exitCode = atOnceCode;
}

void StopSignals::wait()
{
    int received = 0;
    for (;;) {
        int number = 0;
        if (sigwait(&stopping, &number) != 0)
            continue;
        if (closing)
            return;
        const int code = exitCode;
        if (code < 0) {
            // Not armed: the signal's own action, which ends the process.
            pthread_sigmask(SIG_UNBLOCK, &stopping, nullptr);
            ::raise(number);
            continue;
        }
        if (++received == 1) {
            emit stopRequested();
            continue;
        }
        // Written as it is: another thread may hold standard error's lock, and the process ends now.
        static const char said[] = "rfbench run: ended at once by a second Ctrl-C or SIGTERM; rows the results store "
                                   "holds and their workbooks lack are written at the next start\n";
        const ssize_t written = ::write(STDERR_FILENO, said, sizeof said - 1);
        (void)written;
        ::_exit(code);
    }
}
