#include "RunProgress.h"

#include "Counted.h"
#include "MeasuredPoint.h"

#include <QStringList>

QString RunProgress::duration(qint64 ms)
{
    const qint64 s = qMax<qint64>(0, ms) / 1000;
    const QLatin1Char zero('0');
    if (s < 3600)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, zero);
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, zero).arg(s % 60, 2, 10, zero);
}

void RunProgress::runStarted(const QString &measurement, quint64 perPass, int expectedPasses)
{
    name = measurement;
    pointsPerPass = perPass;
    passes = expectedPasses;
    currentPass = 0;
    point = 0;
    unread = 0;
    running = true;
    wasStopped = false;
    troubleTimes.clear();
    troublesPerLink.clear();
    runWarnings.clear();
    pointSeen = false;
    doneBefore = 0;
    settlingSince = -1;
    settledMs = 0;
    settlings = 0;
}

void RunProgress::warning(const QString &text)
{
    if (!runWarnings.contains(text))
        runWarnings << text;
}

void RunProgress::settlingStarted(qint64 elapsedMs)
{
    settlingSince = elapsedMs;
}

void RunProgress::settlingEnded(qint64 elapsedMs)
{
    if (settlingSince < 0)
        return;
    settledMs += qMax<qint64>(0, elapsedMs - settlingSince);
    ++settlings;
    settlingSince = -1;
}

void RunProgress::passStarted(int newPass, int expectedPasses)
{
    currentPass = newPass;
    passes = expectedPasses;
    point = 0;
}

void RunProgress::pointMeasured(const MeasuredPoint &measured)
{
    reached(measured.pass, measured.number);
}

void RunProgress::pointWithoutReading(int pass, quint64 number)
{
    reached(pass, number);
    ++unread;
}

void RunProgress::reached(int pass, quint64 number)
{
    currentPass = pass;
    point = number;
    // A resumed run begins with points measured by an earlier process, in no time of this one.
    if (!pointSeen)
        doneBefore = done() - 1;
    pointSeen = true;
}

QString RunProgress::trouble(const QString &instrument, const QString &trouble)
{
    const QString key = instrument + QStringLiteral(": ") + trouble;
    const int times = ++troubleTimes[key];
    ++troublesPerLink[instrument];
    if (times == 1)
        return key;
    // The answer in the trouble may hold "%1": it is never part of an arg() pattern.
    return key + QStringLiteral(" — %1 times %2")
                     .arg(QString::number(times),
                          running ? QStringLiteral("in this run") : QStringLiteral("since the last run"));
}

quint64 RunProgress::done() const
{
    return currentPass > 0 ? quint64(currentPass - 1) * pointsPerPass + point : point;
}

quint64 RunProgress::total() const
{
    return passes > 0 ? pointsPerPass * quint64(passes) : pointsPerPass * quint64(qMax(currentPass, 1));
}

qint64 RunProgress::leftMs(qint64 elapsedMs) const
{
    const quint64 all = total();
    const quint64 finished = done();
    if (finished == 0 || all < finished)
        return -1;
    const qint64 settlingNow = settlingSince >= 0 ? qMax<qint64>(0, elapsedMs - settlingSince) : 0;
    const qint64 measuring = qMax<qint64>(0, elapsedMs - settledMs - settlingNow);
    const quint64 measuredHere = finished > doneBefore ? finished - doneBefore : 0;
    if (measuredHere == 0)
        return -1;
    double left = double(measuring) / double(measuredHere) * double(all - finished);
    if (settlings > 0) {
        const double perSettling = double(settledMs) / settlings;
        if (passes > currentPass)
            left += perSettling * (passes - currentPass);
        if (settlingSince >= 0)
            left += qMax(0.0, perSettling - double(settlingNow));
    }
    return qint64(left);
}

QString RunProgress::progressText(qint64 elapsedMs) const
{
    QString text = name + QStringLiteral(": ") + position();
    text += QStringLiteral(" · ") + duration(elapsedMs) + QStringLiteral(" elapsed");
    const qint64 left = leftMs(elapsedMs);
    if (left >= 0)
        text += QStringLiteral(" · about %1 left").arg(duration(left));
    return text;
}

QString RunProgress::compactProgressText(qint64 elapsedMs) const
{
    const qint64 left = leftMs(elapsedMs);
    return left >= 0 ? position() + QStringLiteral(" · %1 left").arg(duration(left)) : position();
}

QString RunProgress::position() const
{
    QString text = settlingSince >= 0 ? QStringLiteral("adjusting the analyzer…")
                                      : QStringLiteral("point %1 of %2").arg(QString::number(point), QString::number(pointsPerPass));
    if (passes != 1 && currentPass > 0)
        text += passes > 0 ? QStringLiteral(", pass %1 of %2").arg(currentPass).arg(passes)
                           : QStringLiteral(", pass %1").arg(currentPass);
    return text;
}

QString RunProgress::summary(qint64 elapsedMs) const
{
    const QString elapsed = duration(elapsedMs);
    QString text;
    if (wasStopped) {
        text = QStringLiteral("%1 stopped at point %2 of %3")
                   .arg(name, QString::number(point), QString::number(pointsPerPass));
        if (passes != 1)
            text += QStringLiteral(", pass %1").arg(currentPass);
        text += QStringLiteral(" after ") + elapsed;
        if (unread > 0)
            text += QStringLiteral(" (%1 without a reading)")
                        .arg(unread == 1 ? QStringLiteral("1 point") : QStringLiteral("%1 points").arg(unread));
    } else {
        const QString unreadText = unread > 0 ? QStringLiteral(", %1 without a reading,").arg(unread) : QString();
        text = QStringLiteral("%1 finished: %2%3 in %4").arg(name, Counted::of(qint64(done()), "point"), unreadText, elapsed);
        if (currentPass > 1)
            text += QStringLiteral(" (%1 passes)").arg(currentPass);
    }
    for (const QString &warning : runWarnings)
        text += QStringLiteral("; ") + warning;
    QStringList perLink;
    for (auto it = troublesPerLink.cbegin(); it != troublesPerLink.cend(); ++it)
        perLink << QStringLiteral("%1: %2").arg(it.key(), Counted::of(it.value(), "trouble"));
    if (!perLink.isEmpty())
        text += QStringLiteral("; ") + perLink.join(QStringLiteral(", "));
    return text;
}

int RunProgress::perMille() const
{
    const quint64 all = total();
    return all > 0 ? int(qMin<quint64>(1000, done() * 1000 / all)) : 0;
}
