#pragma once

#include "Misbehaviour.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QSocketNotifier;

// Serves one simulated instrument: takes command lines from TCP clients (and optionally a
// pseudo-terminal), hands each to the instrument's handler and sends back its answer, with the
// configured misbehaviour.
class InstrumentServer : public QObject
{
    Q_OBJECT

public:
    // Returns the answer line for a command line, or an empty array when there is none.
    using Handler = std::function<QByteArray(const QByteArray &line)>;

    InstrumentServer(const QString &name, Handler handler, const Misbehaviour &misbehaviour,
                     bool verbose, QObject *parent = nullptr);
    ~InstrumentServer() override;

    // Listens on a loopback address only; false with a message on standard error otherwise.
    bool listen(const QHostAddress &address, quint16 port);
    // Opens a pseudo-terminal speaking the same protocol; returns its slave path or empty.
    QString openPseudoTerminal();

private:
    struct Channel;
    void serveBytes(Channel *channel, const QByteArray &bytes);
    void sendAnswer(Channel *channel, QByteArray answer);
    void acceptConnection();

    QString name;
    Handler handler;
    Misbehaviour misbehaviour;
    bool verbose = false;
    QTcpServer *server = nullptr;
    int ptyMaster = -1;
    int ptySlave = -1;
    QSocketNotifier *ptyNotifier = nullptr;
    Channel *ptyChannel = nullptr;
};
