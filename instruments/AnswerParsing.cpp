#include "AnswerParsing.h"

#include <QString>
#include <QStringList>
#include <QtDebug>

#include <cmath>

namespace AnswerParsing {

double toNumber(const QByteArray &bytes)
{
    bool ok = false;
    const double value = bytes.trimmed().toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

bool isNumber(const QByteArray &bytes)
{
    bool ok = false;
    const double value = bytes.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
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
        values.append(ok && std::isfinite(value) ? value : 0.0);
    }
    return values;
}

} // namespace AnswerParsing
