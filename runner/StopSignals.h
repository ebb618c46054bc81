#pragma once

#include <QObject>

#include <atomic>
#include <csignal>
#include <thread>

// Ctrl-C and SIGTERM for a command without a window, with no signal handler and no global: a
// thread of its own waits for them. Once armed, the first asks the command to stop; a second
// ends the process at once, whatever its other threads are doing.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    // Blocks both signals in the calling thread and so in every thread it starts later: make it
    // before any other thread. Until arm(), a signal ends the process as it would without it.
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // From now on the first signal is stopRequested(); a second ends the process with
    // atOnceCode, after saying so on standard error.
    void arm(int atOnceCode);

signals:
    // Emitted from the waiting thread: connect it to an object of the thread that acts on it.
    void stopRequested();

private:
    void wait();

    sigset_t stopping;
    sigset_t before;
    std::atomic<int> exitCode{-1};
    std::atomic<bool> closing{false};
    std::thread waiter;
};
