#include "Corrections.h"

#include <QCryptographicHash>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace Corrections {

namespace {

const QByteArray header = "frequency_mhz,loss_db";
constexpr double maxLoss = 100.0; // dB either way
// No bench goes near a terahertz; a table above it is one in Hz.
constexpr double maxFrequency = 1e6; // MHz

// A grid frequency is a sum of a start and steps and lands a rounding error to either side of
// the decimal it means: one that close to a table's end is at the end, not beyond it.
constexpr double endTolerance = 1e-9; // MHz

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A text from the file for a message: printable, and short.
QString quotedField(const QByteArray &field)
{
    QString text = QString::fromUtf8(field);
    for (QChar &c : text)
        if (!c.isPrint())
            c = QChar(0xFFFD);
    if (text.size() > 40)
        text = text.left(40) + QChar(0x2026);
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QByteArray trimmedField(const QByteArray &field)
{
    int begin = 0;
    int end = field.size();
    while (begin < end && (field.at(begin) == ' ' || field.at(begin) == '\t'))
        ++begin;
    while (end > begin && (field.at(end - 1) == ' ' || field.at(end - 1) == '\t'))
        --end;
    return field.mid(begin, end - begin);
}

// A plain decimal number ("1e3" too). QByteArray reads numbers in the C locale's form whatever
// the system's, so nothing a locale adds (a thousands separator, a decimal comma) is taken, nor
// an overflow or anything after the number; NaN and infinity it takes, and a table must not.
bool plainNumber(const QByteArray &text, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

// What is wrong with a point after the one before it (null for the first), or empty.
QString pointFault(const LossPoint &point, const LossPoint *before, const QString &beforePlace,
                   Interpolation interpolation)
{
    if (point.frequency < 0)
        return QStringLiteral("frequency %1 MHz is below 0").arg(numberText(point.frequency));
    if (point.frequency > maxFrequency)
        return QStringLiteral("frequency %1 MHz is above 1 THz (a table in Hz?)").arg(numberText(point.frequency));
    if (interpolation == Interpolation::Log && point.frequency <= 0)
        return QStringLiteral("frequency %1 MHz: log interpolation needs frequencies above 0")
            .arg(numberText(point.frequency));
    if (before && !(point.frequency > before->frequency))
        return QStringLiteral("frequency %1 is not above %2 %3")
            .arg(numberText(point.frequency), numberText(before->frequency), beforePlace);
    if (!(std::fabs(point.loss) <= maxLoss))
        return QStringLiteral("loss %1 dB is outside -100 to 100 dB").arg(numberText(point.loss));
    return QString();
}

// "# valid until 2027-03-01": the date, or why the comment holds none; false when the comment
// says nothing of a due date.
bool dueComment(const QByteArray &comment, QDate *due, QString *why)
{
    const QByteArray text = trimmedField(comment);
    const QByteArray prefix = "valid until";
    if (!text.toLower().startsWith(prefix))
        return false;
    QByteArray rest = trimmedField(text.mid(prefix.size()));
    if (rest.startsWith(':'))
        rest = trimmedField(rest.mid(1));
    const QByteArray date = rest.left(rest.indexOf(' ') < 0 ? rest.size() : rest.indexOf(' '));
    const QDate parsed = QDate::fromString(QString::fromLatin1(date), Qt::ISODate);
    // ISODate alone would take a time or a week form after the date.
    if (date.size() != 10 || !parsed.isValid()) {
        *why = QStringLiteral("%1 is not a date as YYYY-MM-DD").arg(quotedField(date));
        return true;
    }
    *due = parsed;
    return true;
}

void seal(CorrectionTable &table)
{
    table.sha256 = sha256Hex(table.text);
}

} // namespace

QString pathKey(Path path)
{
    switch (path) {
    case Path::MeterA: return QStringLiteral("powerMeter.A");
    case Path::MeterB: return QStringLiteral("powerMeter.B");
    case Path::Analyzer: return QStringLiteral("analyzer");
    case Path::None: break;
    }
    return QString();
}

QString name(Interpolation interpolation)
{
    return interpolation == Interpolation::Log ? QStringLiteral("log") : QStringLiteral("linear");
}

QString name(Beyond beyond)
{
    return beyond == Beyond::Hold ? QStringLiteral("hold") : QStringLiteral("refuse");
}

QString numberText(double value)
{
    const QString text = QString::number(value, 'f', QLocale::FloatingPointShortest);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

Parsed parse(const QByteArray &bytes, const QString &fileName, Interpolation interpolation, Beyond beyond)
{
    Parsed result;
    CorrectionTable &table = result.table;
    table.source = fileName;
    table.text = bytes;
    table.interpolation = interpolation;
    table.beyond = beyond;
    const auto failed = [&](int line, const QString &what) {
        result.error = QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(what);
        return result;
    };

    QByteArray content = bytes;
    if (content.startsWith("\xEF\xBB\xBF"))
        content.remove(0, 3);
    const QList<QByteArray> lines = content.split('\n');
    int headerLine = 0;
    int dueLine = 0;
    int pointLine = 0; // the last point's, named when the next one does not ascend
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        const int hash = line.indexOf('#');
        if (hash >= 0) {
            QString why;
            QDate due;
            if (dueComment(line.mid(hash + 1), &due, &why)) {
                if (!why.isEmpty())
                    return failed(number, why);
                if (dueLine > 0)
                    return failed(number, QStringLiteral("a second \"valid until\" (line %1 gave one)").arg(dueLine));
                dueLine = number;
                table.due = due;
            }
            line.truncate(hash);
        }
        line = trimmedField(line);
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(',');
        if (headerLine == 0) {
            if (fields.size() != 2 || trimmedField(fields.at(0)) != "frequency_mhz"
                || trimmedField(fields.at(1)) != "loss_db")
                return failed(number, QStringLiteral("the header must be %1, not %2")
                                          .arg(QString::fromLatin1(header), quotedField(line)));
            headerLine = number;
            continue;
        }
        if (fields.size() != 2)
            return failed(number, QStringLiteral("a point is frequency_mhz,loss_db, not %1 field%2")
                                      .arg(fields.size())
                                      .arg(fields.size() == 1 ? QString() : QStringLiteral("s")));
        LossPoint point;
        const QByteArray frequency = trimmedField(fields.at(0));
        const QByteArray loss = trimmedField(fields.at(1));
        if (!plainNumber(frequency, &point.frequency))
            return failed(number, QStringLiteral("frequency %1 is not a number").arg(quotedField(frequency)));
        if (!plainNumber(loss, &point.loss))
            return failed(number, QStringLiteral("loss %1 is not a number").arg(quotedField(loss)));
        const LossPoint *before = table.points.isEmpty() ? nullptr : &table.points.last();
        const QString fault = pointFault(point, before, QStringLiteral("on line %1").arg(pointLine), interpolation);
        if (!fault.isEmpty())
            return failed(number, fault);
        table.points << point;
        pointLine = number;
    }
    // The end of the last line is not the start of another.
    const int lastLine = std::max(1, int(lines.size()) - (content.endsWith('\n') ? 1 : 0));
    if (headerLine == 0)
        return failed(lastLine, QStringLiteral("no header line %1").arg(QString::fromLatin1(header)));
    if (table.points.isEmpty())
        return failed(lastLine, QStringLiteral("no point after the header on line %1").arg(headerLine));
    seal(table);
    return result;
}

Parsed fromPoints(const QVector<LossPoint> &points, const QString &place, Interpolation interpolation,
                  Beyond beyond)
{
    Parsed result;
    CorrectionTable &table = result.table;
    table.source = QStringLiteral("inline");
    table.interpolation = interpolation;
    table.beyond = beyond;
    if (points.isEmpty()) {
        result.error = place + QStringLiteral(": no point (a table needs at least one)");
        return result;
    }
    table.text = header + '\n';
    for (int i = 0; i < points.size(); ++i) {
        const LossPoint &point = points.at(i);
        if (!std::isfinite(point.frequency) || !std::isfinite(point.loss)) {
            result.error = QStringLiteral("%1[%2]: not a number").arg(place).arg(i);
            return result;
        }
        const QString fault = pointFault(point, i > 0 ? &points.at(i - 1) : nullptr,
                                         QStringLiteral("at [%1]").arg(i - 1), interpolation);
        if (!fault.isEmpty()) {
            result.error = QStringLiteral("%1[%2]: %3").arg(place).arg(i).arg(fault);
            return result;
        }
        table.text += (numberText(point.frequency) + QLatin1Char(',') + numberText(point.loss)).toLatin1() + '\n';
    }
    table.points = points;
    seal(table);
    return result;
}

double lossAt(const CorrectionTable &table, double frequency)
{
    const QVector<LossPoint> &points = table.points;
    if (points.isEmpty() || std::isnan(frequency))
        return qQNaN();
    if (frequency <= table.lowest()) {
        const bool held = table.beyond == Beyond::Hold || table.lowest() - frequency <= endTolerance;
        return held ? points.first().loss : qQNaN();
    }
    if (frequency >= table.highest()) {
        const bool held = table.beyond == Beyond::Hold || frequency - table.highest() <= endTolerance;
        return held ? points.last().loss : qQNaN();
    }
    // The first point above the frequency; the one before it is at or below.
    const auto above = std::upper_bound(points.begin(), points.end(), frequency,
                                        [](double f, const LossPoint &p) { return f < p.frequency; });
    const LossPoint &a = *(above - 1);
    const LossPoint &b = *above;
    if (a.frequency == frequency)
        return a.loss;
    const double t = table.interpolation == Interpolation::Log
                         ? std::log(frequency / a.frequency) / std::log(b.frequency / a.frequency)
                         : (frequency - a.frequency) / (b.frequency - a.frequency);
    return a.loss + t * (b.loss - a.loss);
}

QString uncovered(const CorrectionTable &table, double from, double to, const QString &measurement)
{
    if (table.points.isEmpty() || table.beyond == Beyond::Hold)
        return QString();
    if (from > to)
        std::swap(from, to);
    QStringList parts;
    if (from < table.lowest() - endTolerance)
        parts << QStringLiteral("%1 to %2 MHz").arg(numberText(from), numberText(table.lowest()));
    if (to > table.highest() + endTolerance)
        parts << QStringLiteral("%1 to %2 MHz").arg(numberText(table.highest()), numberText(to));
    if (parts.isEmpty())
        return QString();
    const QString range = table.points.size() == 1
                              ? QStringLiteral("covers %1 MHz alone").arg(numberText(table.lowest()))
                              : QStringLiteral("covers %1 to %2 MHz").arg(numberText(table.lowest()),
                                                                          numberText(table.highest()));
    return QStringLiteral("%1 %2; %3 of %4 %5 not covered (\"beyond\": \"hold\" holds the end value)")
        .arg(table.source, range, parts.join(QStringLiteral(" and ")), measurement,
             parts.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}

bool pastDue(const CorrectionTable &table, const QDate &today)
{
    return table.due.isValid() && table.due < today;
}

QString dueWarning(const CorrectionTable &table, const QDate &today)
{
    if (!pastDue(table, today))
        return QString();
    return QStringLiteral("the correction table %1 was due for calibration on %2")
        .arg(table.source, table.due.toString(Qt::ISODate));
}

QString describe(const CorrectionTable &table)
{
    QStringList parts{table.source};
    parts << (table.points.size() == 1 ? QStringLiteral("1 point") : QStringLiteral("%1 points").arg(table.points.size()));
    if (!table.points.isEmpty())
        parts << QStringLiteral("%1 to %2 MHz").arg(numberText(table.lowest()), numberText(table.highest()));
    if (table.interpolation == Interpolation::Log)
        parts << QStringLiteral("log frequency");
    if (table.beyond == Beyond::Hold)
        parts << QStringLiteral("end values held beyond");
    if (table.due.isValid())
        parts << QStringLiteral("valid until %1").arg(table.due.toString(Qt::ISODate));
    parts << QStringLiteral("sha256 %1").arg(table.sha256.left(12)) + QChar(0x2026);
    const QString key = pathKey(table.path);
    return (key.isEmpty() ? QString() : key + QStringLiteral(": ")) + parts.join(QStringLiteral(", "));
}

} // namespace Corrections
