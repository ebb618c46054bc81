#include "RunExport.h"

#include "StoredRows.h"

#include "SqliteStore.h"

#include <QLocale>
#include <QStringList>

namespace RunExport {

namespace {

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

} // namespace

QString number(double value)
{
    if (qIsNaN(value))
        return QString();
    const double size = qAbs(value);
    const bool plain = size == 0 || (size >= 1e-4 && size < 1e15);
    return QString::number(value, plain ? 'f' : 'g', QLocale::FloatingPointShortest);
}

QString utcText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")) : QString();
}

QByteArray csv(const QList<StoredPoint> &points)
{
    const QStringList values = StoredRows::valueColumns();
    QStringList header{"point", "pass", "number", "measured_at", "row", "workbook", "point_index", "in_workbook"};
    // The judgement's columns come last, empty for a run without limits: a script that reads the
    // columns before them by place reads every export alike.
    header << values << QStringLiteral("peak_frequencies") << QStringLiteral("peak_levels")
           << QString::fromLatin1(STORED_POINT_JUDGEMENT).split(QStringLiteral(", "))
           << QStringLiteral("correction_db") << QStringLiteral("corrected_dbm");
    QString text = header.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    for (const StoredPoint &point : points) {
        QStringList cells{QString::number(point.id),
                          QString::number(point.pass),
                          QString::number(point.number),
                          utcText(point.measuredAt),
                          point.row == StoredPoint::Row::Sweep  ? QStringLiteral("sweep")
                          : point.row == StoredPoint::Row::Step ? QStringLiteral("step")
                                                                : QStringLiteral("spur"),
                          csvField(point.workbook),
                          QString::number(point.pointIndex),
                          csvField(point.savedIn)};
        QStringList row;
        for (int i = 0; i < values.size(); ++i)
            row << QString();
        const QStringList names = SqliteStore::valueNames(point.row);
        for (int i = 0; i < point.values.size() && i < names.size(); ++i)
            row[values.indexOf(names.at(i))] = number(point.values.at(i));
        cells << row;
        QStringList frequencies, levels;
        for (const double frequency : point.peakFrequencies)
            frequencies << number(frequency);
        for (const double level : point.peakLevels)
            levels << number(level);
        cells << frequencies.join(QLatin1Char(' ')) << levels.join(QLatin1Char(' '));
        cells << point.verdict << number(point.limitMargin) << number(point.limitUpper) << number(point.limitLower)
              << number(point.limitSpur);
        // The loss added and the value at the unit: the reading's, or each peak's as its levels are.
        if (point.row == StoredPoint::Row::Spur) {
            QStringList losses, corrected;
            for (int i = 0; i < point.peakCorrections.size(); ++i) {
                losses << number(point.peakCorrections.at(i));
                corrected << number(point.peakLevels.value(i, qQNaN()) + point.peakCorrections.at(i));
            }
            cells << losses.join(QLatin1Char(' ')) << corrected.join(QLatin1Char(' '));
        } else {
            cells << number(point.correction) << number(point.values.value(1, qQNaN()) + point.correction);
        }
        text += cells.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return text.toUtf8();
}

} // namespace RunExport
