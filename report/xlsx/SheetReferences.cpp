#include "SheetReferences.h"

#include "XmlScan.h"

#include <QRegularExpression>
#include <QSet>

namespace SheetReferences {

namespace {

bool isDelimiter(QChar c)
{
    static const QString delimiters = QStringLiteral("+-*/^&=<>%(),;:{}!\"' \t\r\n[]@");
    return delimiters.contains(c);
}

bool sameSheet(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// A 3D reference names a range of sheets, "First:Last"; each end is renamed on its own. A range
// from the sheet to itself becomes a plain reference to it, which every reader understands
// (LibreOffice does not read a quoted range of sheets).
QString renameEnds(const QString &names, const QString &from, const QString &to, bool *renamed)
{
    QStringList ends = names.split(QLatin1Char(':'));
    if (ends.size() > 2)
        return names;
    for (QString &end : ends) {
        if (sameSheet(end, from)) {
            end = to;
            *renamed = true;
        }
    }
    if (*renamed && ends.size() == 2 && ends.at(0) == ends.at(1))
        return ends.at(0);
    return ends.join(QLatin1Char(':'));
}

QString quoteIfNeeded(const QString &names)
{
    for (const QString &end : names.split(QLatin1Char(':')))
        if (asReference(end) != end)
            return QLatin1Char('\'') + QString(names).replace(QLatin1Char('\''), QStringLiteral("''"))
                   + QLatin1Char('\'');
    return names;
}

} // namespace

QString asReference(const QString &name)
{
    // Plain names: letters, digits, "_" and "." and no digit first, unless they would read as a
    // cell (A1, XFD1048576), a row or column in R1C1 style (R1C1, R, C2) or a truth value.
    static const QRegularExpression plainName(QStringLiteral("^[\\w.]+$"),
                                              QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression cellLike(
        QStringLiteral("^([A-Za-z]{1,3}\\d+|[Rr]\\d*([Cc]\\d*)?|[Cc]\\d*|TRUE|FALSE)$"),
        QRegularExpression::CaseInsensitiveOption);
    const bool plain = !name.isEmpty() && !name.at(0).isDigit() && plainName.match(name).hasMatch()
                       && !cellLike.match(name).hasMatch();
    if (plain)
        return name;
    return QLatin1Char('\'') + QString(name).replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}

QString renameInFormula(const QString &formula, const QString &from, const QString &to)
{
    QString out;
    out.reserve(formula.size() + to.size());
    const int n = formula.size();
    int i = 0;
    bool external = false; // after "[n]": the next sheet name belongs to another workbook
    while (i < n) {
        const QChar c = formula.at(i);
        if (c == QLatin1Char('"')) {
            // A string literal, with "" for a quote inside.
            int j = i + 1;
            while (j < n) {
                if (formula.at(j) == QLatin1Char('"')) {
                    if (j + 1 < n && formula.at(j + 1) == QLatin1Char('"')) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            out += formula.midRef(i, qMin(j + 1, n) - i);
            i = j + 1;
            continue;
        }
        if (c == QLatin1Char('[')) {
            const int close = formula.indexOf(QLatin1Char(']'), i);
            const int end = close < 0 ? n : close + 1;
            // "[1]Sheet!A1" is a reference into another workbook; a structured reference
            // (Table[Column]) is not a sheet name either way.
            external = !(i > 0 && !isDelimiter(formula.at(i - 1)));
            out += formula.midRef(i, end - i);
            i = end;
            continue;
        }
        if (c == QLatin1Char('\'')) {
            int j = i + 1;
            QString name;
            while (j < n) {
                if (formula.at(j) == QLatin1Char('\'')) {
                    if (j + 1 < n && formula.at(j + 1) == QLatin1Char('\'')) {
                        name += QLatin1Char('\'');
                        j += 2;
                        continue;
                    }
                    break;
                }
                name += formula.at(j);
                ++j;
            }
            const int end = qMin(j + 1, n);
            bool renamed = false;
            if (!external && end < n && formula.at(end) == QLatin1Char('!')) {
                // "[1]" inside the quotes also marks another workbook.
                if (!name.startsWith(QLatin1Char('['))) {
                    const QString names = renameEnds(name, from, to, &renamed);
                    if (renamed)
                        out += quoteIfNeeded(names);
                }
            }
            if (!renamed)
                out += formula.midRef(i, end - i);
            external = false;
            i = end;
            continue;
        }
        if (!isDelimiter(c)) {
            int j = i;
            while (j < n && !isDelimiter(formula.at(j)))
                ++j;
            // "First:Last!" of a 3D reference.
            int end = j;
            if (end + 1 < n && formula.at(end) == QLatin1Char(':')) {
                int k = end + 1;
                while (k < n && !isDelimiter(formula.at(k)))
                    ++k;
                if (k < n && formula.at(k) == QLatin1Char('!'))
                    end = k;
            }
            const QString token = formula.mid(i, end - i);
            bool renamed = false;
            if (!external && end < n && formula.at(end) == QLatin1Char('!')) {
                const QString names = renameEnds(token, from, to, &renamed);
                if (renamed)
                    out += quoteIfNeeded(names);
            }
            if (!renamed)
                out += token;
            external = false;
            i = end;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

QByteArray renameInPart(const QByteArray &xml, const QString &from, const QString &to)
{
    using namespace XmlScan;
    static const QSet<QByteArray> formulaElements{"f", "formula", "formula1", "formula2", "definedName",
                                                  "calculatedColumnFormula"};
    QByteArray out;
    int copied = 0;
    auto replace = [&](int begin, int end, const QByteArray &with) {
        out += xml.mid(copied, begin - copied);
        out += with;
        copied = end;
    };
    for (Tag tag = nextTag(xml, 0); tag.isValid(); tag = nextTag(xml, tag.end)) {
        if (tag.closing)
            continue;
        const QByteArray local = localName(tag.name);
        if (formulaElements.contains(local) && !tag.selfClosing) {
            const int close = xml.indexOf('<', tag.end);
            if (close < 0)
                break;
            const QByteArray raw = xml.mid(tag.end, close - tag.end);
            const QString formula = unescape(raw);
            const QString renamed = renameInFormula(formula, from, to);
            if (renamed != formula)
                replace(tag.end, close, escape(renamed));
            continue;
        }
        QByteArray value;
        int begin = 0;
        int end = 0;
        if (local == "worksheetSource" && attribute(xml, tag, "sheet", &value, &begin, &end)) {
            if (sameSheet(unescape(value), from))
                replace(begin, end, escape(to));
        } else if (local == "hyperlink" && attribute(xml, tag, "location", &value, &begin, &end)) {
            const QString location = unescape(value);
            const QString renamed = renameInFormula(location, from, to);
            if (renamed != location)
                replace(begin, end, escape(renamed));
        }
    }
    if (copied == 0)
        return xml;
    out += xml.mid(copied);
    return out;
}

} // namespace SheetReferences
