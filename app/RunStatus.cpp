#include "RunStatus.h"

#include "MeasuredPoint.h"

#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

RunStatus::RunStatus(QStatusBar *statusBar)
    : QObject(statusBar)
    , bar(statusBar)
    , label(new QLabel(statusBar))
    , progress(new QProgressBar(statusBar))
    , troubleLabel(new QLabel(statusBar))
{
    label->setObjectName(QStringLiteral("labelRunProgress"));
    progress->setObjectName(QStringLiteral("progressBarRun"));
    troubleLabel->setObjectName(QStringLiteral("labelInstrumentTrouble"));
    progress->setRange(0, 1000);
    progress->setTextVisible(false);
    progress->setMaximumWidth(120);
    progress->setMaximumHeight(14);
    troubleLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
    bar->addWidget(label, 1);
    bar->addWidget(progress);
    bar->addPermanentWidget(troubleLabel);
    label->hide();
    progress->hide();
    troubleLabel->hide();
}

QString RunStatus::duration(qint64 ms)
{
    const qint64 s = qMax<qint64>(0, ms) / 1000;
    const QLatin1Char zero('0');
    if (s < 3600)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, zero);
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, zero).arg(s % 60, 2, 10, zero);
}

quint64 RunStatus::done() const
{
    return pass > 0 ? quint64(pass - 1) * pointsPerPass + point : point;
}

void RunStatus::runStarted(const QString &name, quint64 perPass, int expectedPasses)
{
    measurement = name;
    pointsPerPass = perPass;
    passes = expectedPasses;
    pass = 0;
    point = 0;
    running = true;
    troubles.clear();
    troublesPerLink.clear();
    troubleLabel->hide();
    clock.start();
    bar->clearMessage();
    label->show();
    progress->show();
    refresh();
}

void RunStatus::passStarted(int newPass, int expectedPasses)
{
    pass = newPass;
    passes = expectedPasses;
    point = 0;
    refresh();
}

void RunStatus::pointMeasured(const MeasuredPoint &measured)
{
    pass = measured.pass;
    point = measured.number;
    refresh();
}

void RunStatus::runEnded(bool stopped)
{
    running = false;
    progress->hide();
    const QString elapsed = duration(clock.elapsed());
    QString text;
    if (stopped) {
        text = QStringLiteral("%1 stopped at point %2 of %3").arg(measurement).arg(point).arg(pointsPerPass);
        if (passes != 1)
            text += QStringLiteral(", pass %1").arg(pass);
        text += QStringLiteral(" after ") + elapsed;
    } else {
        text = QStringLiteral("%1 finished: %2 points in %3").arg(measurement).arg(done()).arg(elapsed);
        if (pass > 1)
            text += QStringLiteral(" (%1 passes)").arg(pass);
    }
    QStringList perLink;
    for (auto it = troublesPerLink.cbegin(); it != troublesPerLink.cend(); ++it)
        perLink << QStringLiteral("%1: %2 %3").arg(it.key()).arg(it.value()).arg(it.value() == 1 ? "trouble" : "troubles");
    if (!perLink.isEmpty())
        text += QStringLiteral("; ") + perLink.join(QStringLiteral(", "));
    label->setText(text);
}

void RunStatus::instrumentTrouble(const QString &instrument, const QString &trouble)
{
    const QString key = instrument + QStringLiteral(": ") + trouble;
    const int times = ++troubles[key];
    ++troublesPerLink[instrument];
    troubleLabel->setText(times == 1 ? key
                                     : QStringLiteral("%1 — %2 times %3").arg(key).arg(times).arg(
                                           running ? QStringLiteral("in this run") : QStringLiteral("since the last run")));
    troubleLabel->setToolTip(QStringList(troubles.keys()).join(QLatin1Char('\n')));
    troubleLabel->show();
}

void RunStatus::refresh()
{
    QString text = QStringLiteral("%1: point %2 of %3").arg(measurement).arg(point).arg(pointsPerPass);
    if (passes != 1 && pass > 0)
        text += passes > 0 ? QStringLiteral(", pass %1 of %2").arg(pass).arg(passes) : QStringLiteral(", pass %1").arg(pass);
    const qint64 elapsed = clock.elapsed();
    text += QStringLiteral(" · ") + duration(elapsed) + QStringLiteral(" elapsed");
    const quint64 total = passes > 0 ? pointsPerPass * quint64(passes) : pointsPerPass * quint64(qMax(pass, 1));
    const quint64 finished = done();
    if (finished > 0 && total >= finished)
        text += QStringLiteral(" · about %1 left").arg(duration(qint64(double(elapsed) / double(finished) * double(total - finished))));
    label->setText(text);
    progress->setValue(total > 0 ? int(qMin<quint64>(1000, finished * 1000 / total)) : 0);
}

QString RunStatus::progressText() const
{
    return label->text();
}

QString RunStatus::troubleText() const
{
    return troubleLabel->isHidden() ? QString() : troubleLabel->text();
}

int RunStatus::progressValue() const
{
    return progress->value();
}

bool RunStatus::progressShown() const
{
    return !progress->isHidden();
}
