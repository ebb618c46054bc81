#include "FakeInstrument.h"

#include "TestAddresses.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

FakeInstrument::FakeInstrument(quint16 port)
{
    moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(this, [this, port] { start(port); }, Qt::BlockingQueuedConnection);
}

FakeInstrument::~FakeInstrument()
{
    QMetaObject::invokeMethod(this, [this] { delete server; server = nullptr; },
                              Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void FakeInstrument::start(quint16 port)
{
    server = new QTcpServer;
    for (int attempt = 0; attempt < 50 && !listening; ++attempt) {
        hostAddress = TestAddresses::randomLoopback();
        listening = server->listen(hostAddress, port);
    }
    connect(server, &QTcpServer::newConnection, this, &FakeInstrument::accept);
}

void FakeInstrument::accept()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        socket->setParent(server);
        {
            QMutexLocker lock(&mutex);
            ++connections;
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FakeInstrument::serve(QTcpSocket *socket)
{
    const QByteArray chunk = socket->readAll();
    QList<QByteArray> newLines;
    Responder respond;
    {
        QMutexLocker lock(&mutex);
        bytes += chunk;
        partialLine += chunk;
        int end;
        while ((end = partialLine.indexOf('\n')) >= 0) {
            newLines.append(partialLine.left(end));
            partialLine.remove(0, end + 1);
        }
        completeLines += newLines;
        respond = responder;
    }
    if (!respond)
        return;
    for (const QByteArray &line : qAsConst(newLines)) {
        for (const Reply &reply : respond(line)) {
            if (reply.delayMs <= 0) {
                socket->write(reply.bytes);
                socket->flush();
            } else {
                const QByteArray out = reply.bytes;
                QTimer::singleShot(reply.delayMs, socket, [socket, out] {
                    socket->write(out);
                    socket->flush();
                });
            }
        }
    }
}

void FakeInstrument::setResponder(Responder r)
{
    QMutexLocker lock(&mutex);
    responder = std::move(r);
}

QByteArray FakeInstrument::received() const
{
    QMutexLocker lock(&mutex);
    return bytes;
}

QList<QByteArray> FakeInstrument::lines() const
{
    QMutexLocker lock(&mutex);
    return completeLines;
}

void FakeInstrument::clearReceived()
{
    QMutexLocker lock(&mutex);
    bytes.clear();
    partialLine.clear();
    completeLines.clear();
}

int FakeInstrument::connectionCount() const
{
    QMutexLocker lock(&mutex);
    return connections;
}

void FakeInstrument::sendToClients(const QByteArray &out)
{
    QMetaObject::invokeMethod(
        this,
        [this, out] {
            for (QTcpSocket *socket : server->findChildren<QTcpSocket *>()) {
                socket->write(out);
                socket->flush();
            }
        },
        Qt::BlockingQueuedConnection);
}
