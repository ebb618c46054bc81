#include "ReportName.h"

#include <QLocale>
#include <QStringList>

namespace ReportName {

namespace {

const char *const placeholders[] = {"unit", "date", "time", "operator", "station"};

bool isPlaceholder(const QString &name)
{
    for (const char *known : placeholders)
        if (name == QLatin1String(known))
            return true;
    return false;
}

QString value(const QString &name, const Values &values)
{
    const QLocale c = QLocale::c();
    if (name == QLatin1String("unit"))
        return values.unit.isEmpty() ? QStringLiteral("no unit") : values.unit;
    if (name == QLatin1String("date"))
        return c.toString(values.started.date(), QStringLiteral("yyyy-MM-dd"));
    if (name == QLatin1String("time"))
        return c.toString(values.started.time(), QStringLiteral("HH-mm-ss"));
    if (name == QLatin1String("operator"))
        return values.operatorName;
    return values.station;
}

} // namespace

Kind kindOf(const QString &name)
{
    const QString lower = name.toLower();
    if (lower.endsWith(QLatin1String(".pdf")))
        return Kind::Pdf;
    if (lower.endsWith(QLatin1String(".html")) || lower.endsWith(QLatin1String(".htm")))
        return Kind::Html;
    return Kind::None;
}

QString fileNameSafe(QString text)
{
    for (QChar &c : text)
        if (QStringLiteral("/\\:*?\"<>|").contains(c) || c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    if (!text.isEmpty() && text.count(QLatin1Char('.')) == text.size())
        text.fill(QLatin1Char('_'));
    return text;
}

QString refusal(const QString &pattern)
{
    for (int at = pattern.indexOf(QLatin1Char('{')); at >= 0; at = pattern.indexOf(QLatin1Char('{'), at + 1)) {
        const int end = pattern.indexOf(QLatin1Char('}'), at);
        if (end < 0)
            return QStringLiteral("the \"{\" at character %1 is not closed").arg(at + 1);
        const QString name = pattern.mid(at + 1, end - at - 1);
        if (!isPlaceholder(name)) {
            QStringList known;
            for (const char *k : placeholders)
                known << QStringLiteral("{%1}").arg(QLatin1String(k));
            return QStringLiteral("{%1} is not one of %2").arg(name, known.join(QStringLiteral(", ")));
        }
    }
    if (kindOf(pattern) == Kind::None)
        return QStringLiteral("\"%1\" does not end in .pdf, .html or .htm").arg(pattern);
    return QString();
}

QString expand(const QString &pattern, const Values &values)
{
    QString name;
    int from = 0;
    for (int at = pattern.indexOf(QLatin1Char('{')); at >= 0; at = pattern.indexOf(QLatin1Char('{'), from)) {
        const int end = pattern.indexOf(QLatin1Char('}'), at);
        if (end < 0)
            break;
        const QString placeholder = pattern.mid(at + 1, end - at - 1);
        name += pattern.mid(from, at - from)
              + (isPlaceholder(placeholder) ? fileNameSafe(value(placeholder, values)) : pattern.mid(at, end + 1 - at));
        from = end + 1;
    }
    return name + pattern.mid(from);
}

QString numbered(const QString &path, int n)
{
    if (n <= 1)
        return path;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    int dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash)
        dot = path.size();
    return path.left(dot) + QStringLiteral(" (%1)").arg(n) + path.mid(dot);
}

} // namespace ReportName
