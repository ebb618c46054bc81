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

QByteArray readLine(QIODevice *device, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!device->canReadLine() && device->bytesAvailable() < AnswerParsing::maxAnswerBytes) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || !device->waitForReadyRead(int(left)))
            break;
    }
    if (device->canReadLine()) {
        const QByteArray line = device->readLine(AnswerParsing::maxAnswerBytes + 1);
        if (line.endsWith('\n'))
            return line;
        qDebug() << "answer longer than" << AnswerParsing::maxAnswerBytes << "bytes cut";
        discardPending(device);
        return line;
    }
    const QByteArray part = device->read(AnswerParsing::maxAnswerBytes);
    if (part.size() >= AnswerParsing::maxAnswerBytes) {
        qDebug() << "answer longer than" << AnswerParsing::maxAnswerBytes << "bytes cut";
        discardPending(device);
    }
    return part;
}

} // namespace DeviceIo
