#include "InstrumentServer.h"

#include <QDateTime>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

struct InstrumentServer::Channel : QObject
{
    explicit Channel(QObject *parent) : QObject(parent) {}
    QByteArray pending;
    int lines = 0;
    bool closed = false;
    std::function<void(const QByteArray &)> write;
    std::function<void()> close;
};

InstrumentServer::InstrumentServer(const QString &name, Handler handler,
                                   const Misbehaviour &misbehaviour, bool verbose,
                                   QObject *parent)
    : QObject(parent)
    , name(name)
    , handler(std::move(handler))
    , misbehaviour(misbehaviour)
    , verbose(verbose)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &InstrumentServer::acceptConnection);
}

InstrumentServer::~InstrumentServer()
{
    delete ptyNotifier;
    if (ptyMaster >= 0)
        ::close(ptyMaster);
    if (ptySlave >= 0)
        ::close(ptySlave);
}

bool InstrumentServer::listen(const QHostAddress &address, quint16 port)
{
    if (!address.isLoopback()) {
        std::fprintf(stderr, "benchsim: %s: %s is not a loopback address; refusing to listen\n",
                     qPrintable(name), qPrintable(address.toString()));
        return false;
    }
    if (!server->listen(address, port)) {
        std::fprintf(stderr, "benchsim: %s: cannot listen on %s:%u: %s\n", qPrintable(name),
                     qPrintable(address.toString()), port, qPrintable(server->errorString()));
        return false;
    }
    return true;
}

QString InstrumentServer::openPseudoTerminal()
{
    if (::openpty(&ptyMaster, &ptySlave, nullptr, nullptr, nullptr) != 0) {
        std::perror("benchsim: openpty");
        return QString();
    }
    // The slave stays open here too, so the master never sees a hang-up when the application
    // closes its side; raw mode keeps the line discipline from echoing or translating.
    termios settings{};
    ::tcgetattr(ptySlave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(ptySlave, TCSANOW, &settings);
    ::fcntl(ptyMaster, F_SETFL, ::fcntl(ptyMaster, F_GETFL) | O_NONBLOCK);

    ptyChannel = new Channel(this);
    const int master = ptyMaster;
    ptyChannel->write = [master](const QByteArray &bytes) {
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
    };
    // A serial line cannot be hung up from this side: closing only stops the answers.
    ptyChannel->close = [] {};
    ptyNotifier = new QSocketNotifier(ptyMaster, QSocketNotifier::Read);
    connect(ptyNotifier, &QSocketNotifier::activated, this, [this] {
        char buffer[4096];
        const ssize_t n = ::read(ptyMaster, buffer, sizeof buffer);
        if (n > 0)
            serveBytes(ptyChannel, QByteArray(buffer, int(n)));
    });
    return QString::fromLocal8Bit(::ttyname(ptySlave));
}

void InstrumentServer::acceptConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (misbehaviour.hangUp) {
            if (verbose)
                std::fprintf(stderr, "%s %s: connection from %s closed at once\n",
                             qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                             qPrintable(name), qPrintable(socket->peerAddress().toString()));
            socket->disconnectFromHost();
            continue;
        }
        auto *channel = new Channel(socket);
        QPointer<QTcpSocket> guard(socket);
        channel->write = [guard](const QByteArray &bytes) {
            if (guard)
                guard->write(bytes);
        };
        channel->close = [guard] {
            if (guard) {
                guard->flush();
                guard->abort();
            }
        };
        connect(socket, &QTcpSocket::readyRead, channel,
                [this, socket, channel] { serveBytes(channel, socket->readAll()); });
        if (verbose)
            std::fprintf(stderr, "%s %s: connection from %s\n",
                         qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                         qPrintable(name), qPrintable(socket->peerAddress().toString()));
    }
}

void InstrumentServer::serveBytes(Channel *channel, const QByteArray &bytes)
{
    if (channel->closed)
        return;
    channel->pending += bytes;
    int lineEnd;
    while ((lineEnd = channel->pending.indexOf('\n')) >= 0) {
        const QByteArray line = channel->pending.left(lineEnd);
        channel->pending.remove(0, lineEnd + 1);
        ++channel->lines;
        if (verbose)
            std::fprintf(stderr, "%s %s < %s\n",
                         qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                         qPrintable(name), line.constData());
        if (misbehaviour.closeAfter > 0 && channel->lines >= misbehaviour.closeAfter) {
            channel->closed = true;
            channel->close();
            return;
        }
        const QByteArray answer = handler(line);
        if (!answer.isEmpty() && !misbehaviour.silent)
            sendAnswer(channel, answer);
    }
    // A line that never ends must not grow without bound.
    if (channel->pending.size() > 1024 * 1024)
        channel->pending.clear();
}

void InstrumentServer::sendAnswer(Channel *channel, QByteArray answer)
{
    if (misbehaviour.garbage)
        answer = QByteArray("#\x01garbage,,;x\xff\n", 15);
    else if (misbehaviour.nan)
        answer = "NaN\n";
    QList<QByteArray> pieces;
    if (misbehaviour.splitBytes > 0) {
        for (int at = 0; at < answer.size(); at += misbehaviour.splitBytes)
            pieces.append(answer.mid(at, misbehaviour.splitBytes));
    } else {
        pieces.append(answer);
    }
    for (int i = 0; i < pieces.size(); ++i) {
        const int due = misbehaviour.answerDelayMs + i * (pieces.size() > 1 ? misbehaviour.splitGapMs : 0);
        const bool last = misbehaviour.closeMidAnswer && i == 0;
        const QByteArray piece = pieces.at(i);
        auto send = [channel, piece, last] {
            if (channel->closed)
                return;
            channel->write(piece);
            if (last) {
                channel->closed = true;
                channel->close();
            }
        };
        if (due == 0)
            send();
        else
            QTimer::singleShot(due, channel, send);
    }
}
