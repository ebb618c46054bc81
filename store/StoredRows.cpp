#include "StoredRows.h"

#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

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

void readJudgement(const QSqlQuery &query, int first, RunSummary *run)
{
    run->unit = query.value(first).toString();
    run->operatorName = query.value(first + 1).toString();
    run->verdict.verdict = query.value(first + 2).toString();
    run->verdict.failed = query.value(first + 3).toLongLong();
    run->verdict.marginal = query.value(first + 4).toLongLong();
    run->verdict.unread = query.value(first + 5).toLongLong();
}

void readJudgement(const QSqlQuery &query, int first, StoredPoint *point)
{
    point->verdict = query.value(first).toString();
    point->limitMargin = numberOf(query.value(first + 1));
    point->limitUpper = numberOf(query.value(first + 2));
    point->limitLower = numberOf(query.value(first + 3));
    point->limitSpur = numberOf(query.value(first + 4));
}

void dropUncorrectedPeaks(QList<StoredPoint> *points)
{
    for (StoredPoint &point : *points)
        if (std::all_of(point.peakCorrections.cbegin(), point.peakCorrections.cend(),
                        [](double loss) { return qIsNaN(loss); }))
            point.peakCorrections.clear();
}

QString verdictShown(const QString &recorded, const QString &outcome)
{
    const bool cutShort = outcome == QLatin1String("stopped") || outcome == QLatin1String("failed")
                       || outcome == QLatin1String("interrupted");
    if (cutShort && !recorded.isEmpty() && recorded != QLatin1String("FAIL"))
        return QStringLiteral("INCOMPLETE");
    return recorded;
}

QStringList verdicts()
{
    return {QStringLiteral("PASS"), QStringLiteral("MARGINAL"), QStringLiteral("NO READING"), QStringLiteral("FAIL"),
            QStringLiteral("INCOMPLETE")};
}

} // namespace StoredRows
