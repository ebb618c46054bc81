#include "FakeInstrument.h"

#include "InThread.h"
#include "TestAddresses.h"

#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

FakeInstrument::FakeInstrument(quint16 port)
{
    moveToThread(&thread);
    thread.start();
    runInThread(this, [this, port] { start(port); });
}

FakeInstrument::~FakeInstrument()
{
    runInThread(this, [this] {
        delete server;
        server = nullptr;
    });
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
            const std::lock_guard<std::mutex> lock(mutex);
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
        const std::lock_guard<std::mutex> lock(mutex);
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
    const std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(r);
}

QByteArray FakeInstrument::received() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

QList<QByteArray> FakeInstrument::lines() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return completeLines;
}

void FakeInstrument::clearReceived()
{
    const std::lock_guard<std::mutex> lock(mutex);
    bytes.clear();
    partialLine.clear();
    completeLines.clear();
}

int FakeInstrument::connectionCount() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return connections;
}

void FakeInstrument::sendToClients(const QByteArray &out)
{
    runInThread(this, [this, out] {
        for (QTcpSocket *socket : server->findChildren<QTcpSocket *>()) {
            socket->write(out);
            socket->flush();
        }
    });
}
