#include "DeviceIo.h"

#include "AnswerParsing.h"

#include <QDeadlineTimer>
#include <QIODevice>
#include <QtDebug>

namespace DeviceIo {

void discardPending(QIODevice *device)
{
    if (!device->isOpen())
        return;
    qint64 dropped = device->readAll().size();
    // waitForReadyRead(0) pulls in what the operating system holds without blocking.
    for (int round = 0; round < 64 && device->waitForReadyRead(0); ++round)
        dropped += device->readAll().size();
    if (dropped > 0)
        qDebug() << "discarded" << dropped << "stale bytes before a query";
}

QByteArray collectAnswer(QIODevice *device, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!device->canReadLine() && device->bytesAvailable() < AnswerParsing::maxAnswerBytes) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || !device->waitForReadyRead(int(left)))
            break;
    }
    const QByteArray answer = device->read(AnswerParsing::maxAnswerBytes);
    if (answer.size() >= AnswerParsing::maxAnswerBytes && device->bytesAvailable() > 0) {
        qDebug() << "answer longer than" << AnswerParsing::maxAnswerBytes << "bytes cut";
        discardPending(device);
    }
    return answer;
}

} // namespace DeviceIo
