#pragma once

#include <QByteArray>
#include <QList>

// Conversions of instrument answers into numbers; free of I/O so they can be tested and fuzzed.
namespace AnswerParsing {

// Longest answer a read keeps; anything beyond is discarded so a flooding instrument cannot
// make the application grow without bound.
constexpr qint64 maxAnswerBytes = 1024 * 1024;

// Reads a decimal number in C notation, white space around it allowed; anything that is not
// a finite number gives 0.
double toNumber(const QByteArray &bytes);

// Whether the bytes read as a finite number, white space around it allowed.
bool isNumber(const QByteArray &bytes);

// The bytes before the first zero byte.
QByteArray cutAtZero(const QByteArray &bytes);

// Splits an analyzer answer at commas into numbers: empty fields are dropped, LF is removed
// from the last field, the text ends at the first zero byte and a field that is not a number
// gives 0.
QList<double> toNumberList(const QByteArray &bytes);

} // namespace AnswerParsing
