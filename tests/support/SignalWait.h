#pragma once

#include <QList>
#include <QTest>
#include <QVariant>

// Waits until a spy has recorded count signals, processing events meanwhile; unlike
// QSignalSpy::wait() it also counts signals that arrived before the wait began.
inline bool waitForSignals(const QList<QList<QVariant>> &spy, int timeoutMs, int count = 1)
{
    return QTest::qWaitFor([&spy, count] { return spy.size() >= count; }, timeoutMs);
}
