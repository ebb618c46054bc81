#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;
class QObject;

// The query-and-answer discipline of one instrument line: before a query, whatever an earlier
// answer left behind is thrown away, and an answer is collected up to its line end. An answer
// that missed its time-out may still be under way when the next query goes out, so after a
// time-out the next query first waits a while for that late answer and drops it; only an answer
// later than three time-outs after its query could still be taken for the next one's.
class QueryLink
{
public:
    QueryLink(QIODevice *device, int timeoutMs, const char *instrument)
        : device(device), timeoutMs(timeoutMs), instrument(instrument)
    {
    }

    // Call before any command is written: a connection still being made is waited for (up to
    // the time-out), so that a command sent right after connecting is not lost.
    void prepareWrite();
    // Call just before a query is written (includes prepareWrite); the query is named in the
    // troubles its answer meets.
    void prepareQuery(const QByteArray &query = QByteArray());
    // Waits until a line end (LF) has arrived or the time-out has passed, then takes every byte
    // received so far. An answer longer than AnswerParsing::maxAnswerBytes is cut there.
    QByteArray readAnswer();
    // As readAnswer, but an answer cut short before its line end (a slow instrument, a connection
    // closed mid-answer) gives nothing: it may hold the wrong number ("100" of "1000").
    QByteArray readCompleteAnswer();
    // Forgets an owed answer, as when the connection is made anew.
    void reset() { answerOwed = queryWritten = lowDelay = leaving = false; }

    // Reports each trouble the link meets (no answer within the time-out, an answer cut short,
    // and on a socket the connection lost) to the trace and to report; context owns the
    // connection to the socket.
    void reportTroubles(QObject *context, std::function<void(const QString &trouble)> report);
    // A trouble the driver finds in an answer itself.
    void trouble(const QString &text) const;
    // Call before a disconnect that was asked for, which is no trouble.
    void expectDisconnect();
    // The query whose answer was read last, without its line end.
    QByteArray lastQuery() const { return query; }

private:
    void discardPending();

    QIODevice *device;
    int timeoutMs;
    const char *instrument; // named in debug lines and the trace
    QByteArray query;
    bool queryWritten = false;
    bool answerOwed = false;
    bool complete = false;
    bool lowDelay = false;
    bool leaving = false;
    std::function<void(const QString &trouble)> onTrouble;
};
