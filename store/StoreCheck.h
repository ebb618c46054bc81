#pragma once

#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

struct sqlite3;

// A check of a whole results store file (SQLite's quick_check) on a thread and a read-only
// connection of its own, so that nobody waits for it; it ends at once when its owner goes.
class StoreCheck
{
public:
    enum class Result { Running, Sound, Damaged, NotDone };

    // Starts the check; day is the UTC day it stands for (a Julian day number).
    StoreCheck(const QString &path, int day);
    // Stops a check under way and waits for its thread, which takes a moment whatever the size.
    ~StoreCheck();
    StoreCheck(const StoreCheck &) = delete;
    StoreCheck &operator=(const StoreCheck &) = delete;

    // Waits at most ms for the check to end; Running when it has not.
    Result wait(int ms);
    // Stops a check under way (NotDone) and waits for its thread; the result once it has ended.
    Result stop();
    // SQLite's first word on a damaged file; why a check that was not done stopped.
    QString finding() const;
    int day() const { return checkedDay; }

private:
    void run();
    void end(Result result, const QString &finding);

    const QString file;
    const int checkedDay;
    mutable std::mutex mutex;
    std::condition_variable ended;
    Result result = Result::Running;
    QString found;
    bool stopping = false;
    sqlite3 *handle = nullptr; // while the check's statement may run
    std::thread thread;
};
