#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <limits>

// Conversions of instrument answers into numbers; free of I/O so they can be tested and fuzzed.
namespace AnswerParsing {

// Longest answer a read keeps; anything beyond is discarded so a flooding instrument cannot
// make the application grow without bound.
constexpr qint64 maxAnswerBytes = 1024 * 1024;

// What a reading becomes when the instrument gave no number (an overload message, a cut line, no
// answer at all): the report leaves its cell empty and the plot skips it, where 0 would pass
// for a power that was never measured.
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

// Reads a decimal number in C notation, white space around it allowed; anything that is not
// a finite number, nothing included, gives notANumber.
double toNumber(const QByteArray &bytes);

// Whether the bytes read as a finite number, white space around it allowed.
bool isNumber(const QByteArray &bytes);

// The bytes before the first zero byte.
QByteArray cutAtZero(const QByteArray &bytes);

// Splits an analyzer answer at commas into numbers: empty fields are dropped, LF is removed
// from the last field, the text ends at the first zero byte and a field that is not a number
// (also one left empty by the LF's removal) gives notANumber.
QList<double> toNumberList(const QByteArray &bytes);

// Longest identity kept of an answer to *IDN?, in characters.
constexpr int identityCharacters = 200;

// An instrument's identity as its answer to *IDN? gives it, for one line of a run's record: the
// first line of the answer (up to LF or a zero byte), white space around it trimmed, any other
// byte outside printable ASCII as '?', cut after identityCharacters; empty when nothing is left.
QString identity(const QByteArray &answer);

// What a query's answer should have been.
enum class Expected { Number, NumberList };

// Longest quoted text of an answer in a trouble, in characters.
constexpr int quotedCharacters = 40;

// The answer for a trouble, in double quotes: its final line end left out, a quote or backslash
// escaped with a backslash, CR, LF and tab as \r, \n and \t, any other byte outside printable
// ASCII as \xNN. A longer answer is cut after quotedCharacters (never inside an escape) and
// followed by its length: "7777..."... (1048576 bytes).
QString quoted(const QByteArray &answer);

// The trouble of an answer that is not what the query asked for, saying what came instead:
// answer to FETC? is not a number: "OVERLOAD" (a list: "is not a list of numbers").
QString notANumberTrouble(const QByteArray &query, const QByteArray &answer,
                          Expected expected = Expected::Number);

} // namespace AnswerParsing
