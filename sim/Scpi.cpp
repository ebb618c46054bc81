#include "Scpi.h"

#include <QRegularExpression>
#include <QStringList>

namespace Scpi {

QString shortForm(const QString &keyword)
{
    int digits = keyword.size();
    while (digits > 0 && keyword.at(digits - 1).isDigit())
        --digits;
    QString alpha = keyword.left(digits).toUpper();
    const QString suffix = keyword.mid(digits);
    if (alpha.size() > 4) {
        const QChar fourth = alpha.at(3);
        alpha.truncate(QStringLiteral("AEIOU").contains(fourth) ? 3 : 4);
    }
    return alpha + suffix;
}

Line parse(const QByteArray &raw)
{
    Line line;
    QString text = QString::fromLatin1(raw).trimmed();
    const int space = text.indexOf(QRegularExpression(QStringLiteral("\\s")));
    QString header = space < 0 ? text : text.left(space);
    line.argument = space < 0 ? QString() : text.mid(space + 1).trimmed();
    if (header.endsWith(QLatin1Char('?'))) {
        line.query = true;
        header.chop(1);
    }
    if (header.startsWith(QLatin1Char(':')))
        header.remove(0, 1);
    QStringList nodes = header.split(QLatin1Char(':'));
    for (QString &node : nodes)
        node = node.startsWith(QLatin1Char('*')) ? node.toUpper() : shortForm(node);
    line.header = nodes.join(QLatin1Char(':'));
    return line;
}

double valueWithUnit(const QString &text, bool *ok)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*([-+]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][-+]?\\d+)?)\\s*([A-Za-z]*)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        if (ok)
            *ok = false;
        return 0.0;
    }
    double value = match.captured(1).toDouble();
    const QString unit = match.captured(2).toUpper();
    if (unit == QLatin1String("GHZ"))
        value *= 1e9;
    else if (unit == QLatin1String("MHZ"))
        value *= 1e6;
    else if (unit == QLatin1String("KHZ"))
        value *= 1e3;
    else if (unit == QLatin1String("MS"))
        value *= 1e-3;
    else if (unit == QLatin1String("US"))
        value *= 1e-6;
    else if (unit == QLatin1String("NS"))
        value *= 1e-9;
    if (ok)
        *ok = true;
    return value;
}

} // namespace Scpi
