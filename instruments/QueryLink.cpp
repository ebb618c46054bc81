#include "QueryLink.h"

#include "AnswerParsing.h"
#include "LinkTrace.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QIODevice>
#include <QtDebug>

namespace {

QString named(const QByteArray &query)
{
    return query.isEmpty() ? QStringLiteral("a query") : QString::fromLatin1(query);
}

} // namespace

void LinkTroubles::report(const QString &text) const
{
    LinkTrace::trouble(instrument, text);
    if (onTrouble)
        onTrouble(text);
}

void LinkTroubles::noAnswer(const QByteArray &query) const
{
    report(QStringLiteral("no answer to %1").arg(named(query)));
}

void LinkTroubles::cutShort(const QByteArray &query) const
{
    report(QStringLiteral("answer to %1 cut short").arg(named(query)));
}

void LinkTroubles::notANumber(const QByteArray &query, const QByteArray &answer,
                              AnswerParsing::Expected expected) const
{
    report(AnswerParsing::notANumberTrouble(query, answer, expected));
}

void QueryLink::reportTroubles(QObject *context, std::function<void(const QString &)> report)
{
    troubles.setReport(std::move(report));
    if (auto *socket = qobject_cast<QAbstractSocket *>(device)) {
        QObject::connect(socket, &QAbstractSocket::disconnected, context, [this] {
            if (!leaving)
                troubles.report(QStringLiteral("connection lost"));
            leaving = false;
        });
    }
}

void QueryLink::expectDisconnect()
{
    const auto *socket = qobject_cast<const QAbstractSocket *>(device);
    leaving = socket && socket->state() != QAbstractSocket::UnconnectedState;
}

void QueryLink::discardPending()
{
    if (!device->isOpen())
        return;
    qint64 dropped = device->readAll().size();
    // waitForReadyRead(0) pulls in what the operating system holds without blocking; on a
    // socket that is still connecting it would give up the connection attempt instead.
    const auto *socket = qobject_cast<const QAbstractSocket *>(device);
    const bool settled = !socket || socket->state() == QAbstractSocket::ConnectedState;
    for (int round = 0; settled && round < 64 && device->waitForReadyRead(0); ++round)
        dropped += device->readAll().size();
    if (dropped > 0)
        qDebug() << "discarded" << dropped << "stale bytes before a query";
}

void QueryLink::prepareWrite()
{
    auto *socket = qobject_cast<QAbstractSocket *>(device);
    if (socket
        && (socket->state() == QAbstractSocket::HostLookupState
            || socket->state() == QAbstractSocket::ConnectingState))
        socket->waitForConnected(timeoutMs);
    // Commands are short lines answered at once: without this, a query that follows a command
    // waits for the acknowledgement of the command (Nagle's algorithm against delayed ACKs).
    if (socket && !lowDelay && socket->state() == QAbstractSocket::ConnectedState) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        lowDelay = true;
    }
}

void QueryLink::prepareQuery(const QByteArray &text)
{
    query = text.trimmed();
    prepareWrite();
    if (answerOwed && device->isOpen()) {
        // The last answer missed its time-out; give it two more to turn up, so that it cannot
        // be read as the answer to this query.
        const QDeadlineTimer deadline(2 * timeoutMs);
        while (!device->canReadLine()) {
            // A flood without line ends is dropped as it comes, so the buffer stays bounded.
            if (device->bytesAvailable() >= AnswerParsing::maxAnswerBytes)
                device->readAll();
            const qint64 left = deadline.remainingTime();
            if (left <= 0 || !device->waitForReadyRead(int(left)))
                break;
        }
        if (device->canReadLine())
            qDebug() << "dropped a late answer";
    }
    answerOwed = false;
    discardPending();
    queryWritten = true;
}

QByteArray QueryLink::readAnswer()
{
    if (!device->isOpen()) {
        complete = answerOwed = queryWritten = false;
        return QByteArray();
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (!device->canReadLine() && device->bytesAvailable() < AnswerParsing::maxAnswerBytes) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || !device->waitForReadyRead(int(left)))
            break;
    }
    complete = device->canReadLine();
    const QByteArray answer = device->read(AnswerParsing::maxAnswerBytes);
    if (answer.size() >= AnswerParsing::maxAnswerBytes && device->bytesAvailable() > 0) {
        qDebug() << "answer longer than" << AnswerParsing::maxAnswerBytes << "bytes cut";
        discardPending();
    }
    if (!answer.isEmpty())
        LinkTrace::received(instrument, answer);
    if (queryWritten) {
        if (answer.isEmpty())
            troubles.noAnswer(query);
        else if (!complete)
            troubles.cutShort(query);
    }
    answerOwed = queryWritten && !complete && device->isOpen();
    queryWritten = false;
    return answer;
}

QByteArray QueryLink::readCompleteAnswer()
{
    const QByteArray answer = readAnswer();
    if (complete)
        return answer;
    if (!answer.isEmpty())
        qDebug() << instrument << "answer without its line end ignored:" << answer;
    return QByteArray();
}
