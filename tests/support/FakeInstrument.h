#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QThread>

#include <functional>
#include <mutex>

class QTcpServer;
class QTcpSocket;

// An instrument stand-in for tests: a TCP server on a loopback address of its own, served from
// its own thread (the drivers block the test thread while they wait), that records every byte
// it receives and answers lines through a scripted responder.
class FakeInstrument : public QObject
{
    Q_OBJECT

public:
    struct Reply
    {
        QByteArray bytes;
        int delayMs = 0;
    };
    using Responder = std::function<QList<Reply>(const QByteArray &line)>;

    explicit FakeInstrument(quint16 port);
    ~FakeInstrument() override;

    bool isListening() const { return listening; }
    QString address() const { return hostAddress.toString(); }

    void setResponder(Responder responder);
    QByteArray received() const;
    QList<QByteArray> lines() const;
    void clearReceived();
    int connectionCount() const;
    // Sends bytes to every connected client, unasked.
    void sendToClients(const QByteArray &bytes);

private:
    void start(quint16 port);
    void accept();
    void serve(QTcpSocket *socket);

    QThread thread;
    QTcpServer *server = nullptr;
    QHostAddress hostAddress;
    bool listening = false;
    // A standard mutex, whose hand-offs ThreadSanitizer can follow.
    mutable std::mutex mutex;
    QByteArray bytes;
    QByteArray partialLine;
    QList<QByteArray> completeLines;
    Responder responder;
    int connections = 0;
};
