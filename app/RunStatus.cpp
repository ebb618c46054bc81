#include "RunStatus.h"

#include "GradeColour.h"
#include "MeasuredPoint.h"

#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QStatusBar>
#include <QStringList>
#include <QStyle>

namespace {

// The progress line, which gives way to a warning beside it in the fixed window: too long, it
// shows its compact form, cut short at its end if need be, rather than push the progress bar out.
class ProgressLabel : public QLabel
{
public:
    using QLabel::QLabel;

    void setCompactText(const QString &text) { compact = text; }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        const QRect room = contentsRect();
        const QFontMetrics metrics = fontMetrics();
        QString shown = text();
        if (metrics.horizontalAdvance(shown) > room.width() && !compact.isEmpty())
            shown = metrics.elidedText(compact, Qt::ElideRight, room.width());
        QPainter painter(this);
        style()->drawItemText(&painter, room, int(Qt::AlignLeft | Qt::AlignVCenter), palette(), isEnabled(), shown,
                              foregroundRole());
    }

private:
    QString compact;
};

} // namespace

RunStatus::RunStatus(QStatusBar *statusBar)
    : QObject(statusBar)
    , bar(statusBar)
    , label(new ProgressLabel(statusBar))
    , progressBar(new QProgressBar(statusBar))
    , troubleLabel(new QLabel(statusBar))
    , warningLabel(new QLabel(statusBar))
    , verdictLabel(new QLabel(statusBar))
{
    monotonic.start();
    now = [this] { return monotonic.elapsed(); };
    label->setObjectName(QStringLiteral("labelRunProgress"));
    progressBar->setObjectName(QStringLiteral("progressBarRun"));
    troubleLabel->setObjectName(QStringLiteral("labelInstrumentTrouble"));
    warningLabel->setObjectName(QStringLiteral("labelRunWarning"));
    warningLabel->setStyleSheet(QStringLiteral("color: red;"));
    verdictLabel->setObjectName(QStringLiteral("labelRunVerdict"));
    progressBar->setRange(0, 1000);
    progressBar->setTextVisible(false);
    progressBar->setMaximumWidth(120);
    progressBar->setMaximumHeight(14);
    troubleLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
    bar->addWidget(warningLabel);
    bar->addWidget(label, 1);
    bar->addWidget(progressBar);
    bar->addPermanentWidget(verdictLabel);
    bar->addPermanentWidget(troubleLabel);
    label->hide();
    progressBar->hide();
    troubleLabel->hide();
    warningLabel->hide();
    verdictLabel->hide();
}

void RunStatus::setClock(std::function<qint64()> clock)
{
    now = std::move(clock);
}

void RunStatus::runStarted(const QString &name, quint64 perPass, int expectedPasses)
{
    progress.runStarted(name, perPass, expectedPasses);
    troubleLabel->hide();
    warningLabel->clear();
    warningLabel->hide();
    tally = Verdict::Tally();
    runVerdict = Verdict::Grade::None;
    verdictLabel->setVisible(judging);
    if (judging)
        showVerdict(QStringLiteral("0 failed"), gradeColour(Verdict::Grade::None));
    startedAt = now();
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
    if (judging) {
        const qint64 failedBefore = tally.failed;
        tally.add(measured.pass, measured.number, measured.frequency, measured.judgement);
        if (tally.failed != failedBefore)
            showVerdict(QStringLiteral("%1 failed").arg(tally.failed), gradeColour(Verdict::Grade::Fail));
    }
    refresh();
}

void RunStatus::pointWithoutReading(int pass, quint64 number)
{
    progress.pointWithoutReading(pass, number);
    // A point that gave nothing to judge is never a pass.
    if (judging) {
        Verdict::Judgement unread;
        unread.grade = Verdict::Grade::NoReading;
        unread.failure = QStringLiteral("without a reading");
        tally.add(pass, number, 0, unread);
    }
    refresh();
}

void RunStatus::showVerdict(const QString &text, const QColor &colour)
{
    // Bold white on the verdict's colour; a long line is cut to its start, whole in the tooltip.
    verdictLabel->setStyleSheet(
        QStringLiteral("color: white; background-color: %1; font-weight: bold; padding: 0px 4px;").arg(colour.name()));
    QFont bold = verdictLabel->font();
    bold.setBold(true);
    verdictLabel->setText(QFontMetrics(bold).elidedText(text, Qt::ElideRight, bar->width() / 2));
    verdictLabel->setToolTip(text);
}

QString RunStatus::verdictText() const
{
    return runVerdict == Verdict::Grade::None ? QString() : verdictLabel->toolTip();
}

void RunStatus::runJudged(const RunJudgement &judgement)
{
    // The worker's verdict counts every point of the run, also those a resumed run measured before.
    if (!judging || !judgement.limits.present)
        return;
    runVerdict = judgement.grade;
    showVerdict(judgement.summary(), gradeColour(runVerdict));
}

void RunStatus::runEnded(bool stopped)
{
    progress.runEnded(stopped);
    progressBar->hide();
    // The summary repeats the warnings.
    warningLabel->hide();
    const QString summary = progress.summary(elapsed());
    static_cast<ProgressLabel *>(label)->setCompactText(summary);
    label->setText(summary);
    label->setToolTip(summary);
}

void RunStatus::runWarning(const QString &text)
{
    progress.warning(text);
    warningLabel->setText(progress.warnings().join(QStringLiteral(" · ")));
    warningLabel->setToolTip(progress.warnings().join(QLatin1Char('\n')));
    warningLabel->setVisible(progress.isRunning());
}

void RunStatus::analyzerSettling(bool settling)
{
    if (!progress.isRunning())
        return;
    if (settling)
        progress.settlingStarted(elapsed());
    else
        progress.settlingEnded(elapsed());
    refresh();
}

void RunStatus::instrumentTrouble(const QString &instrument, const QString &trouble)
{
    troubleLabel->setText(progress.trouble(instrument, trouble));
    troubleLabel->setToolTip(QStringList(progress.troubles().keys()).join(QLatin1Char('\n')));
    troubleLabel->show();
}

void RunStatus::refresh()
{
    const QString text = progress.progressText(elapsed());
    static_cast<ProgressLabel *>(label)->setCompactText(progress.compactProgressText(elapsed()));
    label->setText(text);
    label->setToolTip(text);
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

QString RunStatus::warningText() const
{
    return warningLabel->isHidden() ? QString() : warningLabel->text();
}

int RunStatus::progressValue() const
{
    return progressBar->value();
}

bool RunStatus::progressShown() const
{
    return !progressBar->isHidden();
}
