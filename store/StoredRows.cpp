#include "StoredRows.h"

#include <QSqlQuery>
#include <QVariant>

namespace StoredRows {

QStringList valueColumns()
{
    return QString::fromLatin1(STORED_POINT_VALUES).split(QStringLiteral(", "));
}

QDateTime timeOf(const QVariant &value)
{
    return value.isNull() ? QDateTime() : QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

double numberOf(const QVariant &value)
{
    return value.isNull() ? qQNaN() : value.toDouble();
}

QByteArray bytesOf(const QVariant &value)
{
    return value.type() == QVariant::ByteArray ? value.toByteArray() : value.toString().toUtf8();
}

StoredPoint::Row kindOf(const QString &text)
{
    if (text == QLatin1String("step"))
        return StoredPoint::Row::Step;
    if (text == QLatin1String("spur"))
        return StoredPoint::Row::Spur;
    return StoredPoint::Row::Sweep;
}

RunSummary summaryOf(const QSqlQuery &query)
{
    RunSummary run;
    run.id = query.value(0).toLongLong();
    run.station = query.value(1).toString();
    run.user = query.value(2).toString();
    run.version = query.value(3).toString();
    run.started = timeOf(query.value(4));
    run.ended = timeOf(query.value(5));
    run.measurement = query.value(6).toString();
    run.outcome = query.value(7).toString();
    run.setup = bytesOf(query.value(8));
    run.instruments = query.value(9).toString();
    run.identities = query.value(10).toString();
    run.note = query.value(11).toString();
    run.points = query.value(12).toLongLong();
    run.passes = query.value(13).toInt();
    run.troubles = query.value(14).toInt();
    return run;
}

} // namespace StoredRows
