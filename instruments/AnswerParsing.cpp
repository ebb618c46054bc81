#include "AnswerParsing.h"

#include <QStringList>
#include <QtDebug>

#include <cmath>

namespace AnswerParsing {

namespace {

// One byte of an answer as it is quoted in a trouble.
QString escaped(char byte)
{
    switch (byte) {
    case '"':
        return QStringLiteral("\\\"");
    case '\\':
        return QStringLiteral("\\\\");
    case '\r':
        return QStringLiteral("\\r");
    case '\n':
        return QStringLiteral("\\n");
    case '\t':
        return QStringLiteral("\\t");
    default:
        break;
    }
    const auto code = static_cast<unsigned char>(byte);
    if (code >= 0x20 && code < 0x7f)
        return QString(QLatin1Char(byte));
    return QStringLiteral("\\x") + QString::number(code, 16).rightJustified(2, QLatin1Char('0'));
}

} // namespace

double toNumber(const QByteArray &bytes)
{
    bool ok = false;
    const double value = bytes.trimmed().toDouble(&ok);
    return ok && std::isfinite(value) ? value : notANumber;
}

bool isNumber(const QByteArray &bytes)
{
    return !std::isnan(toNumber(bytes));
}

QByteArray cutAtZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

QList<double> toNumberList(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(cutAtZero(bytes));
    QStringList fields = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    qDebug() << "analyzer answer" << fields;
    if (!fields.isEmpty())
        fields.last().remove(QLatin1Char('\n'));
    QList<double> values;
    values.reserve(fields.size());
    for (const QString &field : qAsConst(fields)) {
        bool ok = false;
        const double value = field.toDouble(&ok);
        values.append(ok && std::isfinite(value) ? value : notANumber);
    }
    return values;
}

QString identity(const QByteArray &answer)
{
    int end = 0;
    while (end < answer.size() && answer.at(end) != '\n' && answer.at(end) != '\0')
        ++end;
    QString text;
    for (const char byte : answer.left(end).trimmed()) {
        const auto code = static_cast<unsigned char>(byte);
        text += code >= 0x20 && code < 0x7f ? QLatin1Char(byte) : QLatin1Char('?');
    }
    return text.left(identityCharacters);
}

QString quoted(const QByteArray &answer)
{
    int end = answer.size();
    while (end > 0 && (answer.at(end - 1) == '\n' || answer.at(end - 1) == '\r'))
        --end;
    QString text;
    int taken = 0;
    for (; taken < end; ++taken) {
        const QString next = escaped(answer.at(taken));
        if (text.size() + next.size() > quotedCharacters)
            break;
        text += next;
    }
    text = QLatin1Char('"') + text + QLatin1Char('"');
    if (taken < end)
        text += QStringLiteral("... (%1 bytes)").arg(answer.size());
    return text;
}

QString notANumberTrouble(const QByteArray &query, const QByteArray &answer, Expected expected)
{
    const QString named = query.isEmpty() ? QStringLiteral("a query") : QString::fromLatin1(query);
    const QString what = expected == Expected::Number ? QStringLiteral("a number")
                                                      : QStringLiteral("a list of numbers");
    return QStringLiteral("answer to %1 is not %2: %3").arg(named, what, quoted(answer));
}

} // namespace AnswerParsing
