#pragma once

#include "AnswerParsing.h"

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;
class QObject;

// Words the troubles of one instrument's link and passes each to the bench trace and to the
// driver's report; the query links and the synthesizer's HID path share it.
class LinkTroubles
{
public:
    explicit LinkTroubles(const char *instrument) : instrument(instrument) {}

    void setReport(std::function<void(const QString &trouble)> report) { onTrouble = std::move(report); }
    void report(const QString &text) const;
    void noAnswer(const QByteArray &query) const;
    void cutShort(const QByteArray &query) const;
    // The answer came whole but is not a number (or list of numbers); the trouble quotes it.
    void notANumber(const QByteArray &query, const QByteArray &answer,
                    AnswerParsing::Expected expected = AnswerParsing::Expected::Number) const;

private:
    const char *instrument; // named in the trace
    std::function<void(const QString &trouble)> onTrouble;
};

// The query-and-answer discipline of one instrument line: before a query, whatever an earlier
// answer left behind is thrown away, and an answer is collected up to its line end. An answer
// that missed its time-out may still be under way when the next query goes out, so after a
// time-out the next query first waits a while for that late answer and drops it; only an answer
// later than three time-outs after its query could still be taken for the next one's.
class QueryLink
{
public:
    QueryLink(QIODevice *device, int timeoutMs, const char *instrument)
        : device(device), timeoutMs(timeoutMs), instrument(instrument), troubles(instrument)
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
    // A trouble the driver finds in an answer itself: the answer to the last query is not a
    // number (or list of numbers).
    void notANumber(const QByteArray &answer,
                    AnswerParsing::Expected expected = AnswerParsing::Expected::Number) const
    {
        troubles.notANumber(query, answer, expected);
    }
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
    LinkTroubles troubles;
};
