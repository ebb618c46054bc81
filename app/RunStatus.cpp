#include "RunStatus.h"

#include "MeasuredPoint.h"

#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QStringList>

RunStatus::RunStatus(QStatusBar *statusBar)
    : QObject(statusBar)
    , bar(statusBar)
    , label(new QLabel(statusBar))
    , progressBar(new QProgressBar(statusBar))
    , troubleLabel(new QLabel(statusBar))
{
    label->setObjectName(QStringLiteral("labelRunProgress"));
    progressBar->setObjectName(QStringLiteral("progressBarRun"));
    troubleLabel->setObjectName(QStringLiteral("labelInstrumentTrouble"));
    progressBar->setRange(0, 1000);
    progressBar->setTextVisible(false);
    progressBar->setMaximumWidth(120);
    progressBar->setMaximumHeight(14);
    troubleLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
    bar->addWidget(label, 1);
    bar->addWidget(progressBar);
    bar->addPermanentWidget(troubleLabel);
    label->hide();
    progressBar->hide();
    troubleLabel->hide();
}

void RunStatus::runStarted(const QString &name, quint64 perPass, int expectedPasses)
{
    progress.runStarted(name, perPass, expectedPasses);
    troubleLabel->hide();
    clock.start();
    bar->clearMessage();
    label->show();
    progressBar->show();
    refresh();
}

void RunStatus::passStarted(int newPass, int expectedPasses)
{
    progress.passStarted(newPass, expectedPasses);
    refresh();
}

void RunStatus::pointMeasured(const MeasuredPoint &measured)
{
    progress.pointMeasured(measured);
    refresh();
}

void RunStatus::runEnded(bool stopped)
{
    progress.runEnded(stopped);
    progressBar->hide();
    label->setText(progress.summary(clock.elapsed()));
}

void RunStatus::instrumentTrouble(const QString &instrument, const QString &trouble)
{
    troubleLabel->setText(progress.trouble(instrument, trouble));
    troubleLabel->setToolTip(QStringList(progress.troubles().keys()).join(QLatin1Char('\n')));
    troubleLabel->show();
}

void RunStatus::refresh()
{
    label->setText(progress.progressText(clock.elapsed()));
    progressBar->setValue(progress.perMille());
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
    return progressBar->value();
}

bool RunStatus::progressShown() const
{
    return !progressBar->isHidden();
}
