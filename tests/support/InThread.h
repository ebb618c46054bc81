#pragma once

#include <QMetaObject>
#include <QObject>

#include <future>

// Runs f in the thread of context and returns its result once it has run. The hand-off goes
// through a standard future, so ThreadSanitizer sees that what f did happens before the return.
template<typename F>
auto runInThread(QObject *context, F f) -> decltype(f())
{
    std::promise<decltype(f())> done;
    auto result = done.get_future();
    QMetaObject::invokeMethod(context, [&done, &f] {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            done.set_value();
        } else {
            done.set_value(f());
        }
    });
    return result.get();
}
