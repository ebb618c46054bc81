#include "SheetReferences.h"

#include "XmlScan.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace SheetReferences {

namespace {

// One sheet reference to be respelled: the characters [begin, end) of a formula, the sheet
// part without its "!", become text.
struct Edit
{
    int begin = 0;
    int end = 0;
    QString text;
};

bool isDelimiter(QChar c)
{
    static const QString delimiters = QStringLiteral("+-*/^&=<>%(),;:{}!\"' \t\r\n[]@");
    return delimiters.contains(c);
}

bool sameSheet(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isPlain(const QString &name)
{
    return asReference(name) == name;
}

// No sheet name holds these; a quoted "name" with one of them is a path into another workbook
// ('C:\dir\[Book.xlsx]Data') or a reference through a book index ('[1]Data').
bool namesAnotherWorkbook(const QString &name)
{
    for (const QChar c : name)
        if (c == QLatin1Char('[') || c == QLatin1Char(']') || c == QLatin1Char('\\') || c == QLatin1Char('/')
            || c == QLatin1Char('?') || c == QLatin1Char('*'))
            return true;
    return false;
}

// Offset just after the string literal that opens at from ("" is a quote inside).
int stringEnd(const QString &formula, int from)
{
    const int n = formula.size();
    int i = from + 1;
    while (i < n) {
        if (formula.at(i) == QLatin1Char('"')) {
            if (i + 1 < n && formula.at(i + 1) == QLatin1Char('"')) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return n;
}

// Offset just after the quoted name that opens at from ('' is a quote inside), and the name.
int quotedEnd(const QString &formula, int from, QString *name)
{
    const int n = formula.size();
    int i = from + 1;
    while (i < n) {
        if (formula.at(i) == QLatin1Char('\'')) {
            if (i + 1 < n && formula.at(i + 1) == QLatin1Char('\'')) {
                *name += QLatin1Char('\'');
                i += 2;
                continue;
            }
            return i + 1;
        }
        *name += formula.at(i);
        ++i;
    }
    return n;
}

// Offset just after the bracket group that opens at from. Structured references nest brackets
// (Table1[[#This Row],[Col]]), and in them an apostrophe takes the next character as it is
// (Table1['[x']] is the column "[x]").
int bracketEnd(const QString &formula, int from)
{
    const int n = formula.size();
    int depth = 0;
    for (int i = from; i < n; ++i) {
        const QChar c = formula.at(i);
        if (c == QLatin1Char('\'')) {
            ++i;
        } else if (c == QLatin1Char('[')) {
            ++depth;
        } else if (c == QLatin1Char(']') && --depth == 0) {
            return i + 1;
        }
    }
    return n;
}

QString quoteIfNeeded(const QString &names)
{
    for (const QString &end : names.split(QLatin1Char(':')))
        if (!isPlain(end))
            return QLatin1Char('\'') + QString(names).replace(QLatin1Char('\''), QStringLiteral("''"))
                   + QLatin1Char('\'');
    return names;
}

// The sheet part of a reference, "Sheet" or a range of sheets "First:Last", with each end that
// is from made to, spelled as a formula spells it; false when no end is from. A range from the
// sheet to itself becomes a plain reference to it, which every reader understands (LibreOffice
// does not read a quoted range of sheets).
bool renamedSheets(const QString &names, const QString &from, const QString &to, QString *spelled)
{
    QStringList ends = names.split(QLatin1Char(':'));
    if (ends.size() > 2)
        return false;
    bool renamed = false;
    for (QString &end : ends) {
        if (sameSheet(end, from)) {
            end = to;
            renamed = true;
        }
    }
    if (!renamed)
        return false;
    *spelled = quoteIfNeeded(ends.size() == 2 && ends.at(0) == ends.at(1) ? ends.at(0) : ends.join(QLatin1Char(':')));
    return true;
}

// The sheet references to from in a formula, in their order. A reference is only taken where a
// spreadsheet program could have written one: a quoted name right after a name character, or a
// plain name right after a quote, is no reference, so that respelling one never merges it with
// what stands before it.
QVector<Edit> editsIn(const QString &formula, const QString &from, const QString &to)
{
    QVector<Edit> edits;
    const int n = formula.size();
    int i = 0;
    bool external = false; // after "[1]": the next sheet name belongs to another workbook
    auto take = [&](int begin, int end, const QString &names) {
        Edit edit;
        if (!external && renamedSheets(names, from, to, &edit.text)) {
            edit.begin = begin;
            edit.end = end;
            edits.append(edit);
        }
        external = false;
    };
    while (i < n) {
        const QChar c = formula.at(i);
        const QChar before = i > 0 ? formula.at(i - 1) : QChar();
        if (c == QLatin1Char('"')) {
            i = stringEnd(formula, i);
            external = false;
        } else if (c == QLatin1Char('[')) {
            const int end = bracketEnd(formula, i);
            // "[1]Sheet!A1" refers into another workbook; after a name (Table1[Col]), or with
            // no name after it ([@Col]*2), a bracket group is a structured reference.
            external = (i == 0 || isDelimiter(before)) && end < n
                       && (formula.at(end) == QLatin1Char('\'') || !isDelimiter(formula.at(end)));
            i = end;
        } else if (c == QLatin1Char('\'')) {
            QString name;
            const int end = quotedEnd(formula, i, &name);
            if (end < n && formula.at(end) == QLatin1Char('!') && (i == 0 || isDelimiter(before))
                && !namesAnotherWorkbook(name))
                take(i, end, name);
            external = false;
            i = end;
        } else if (!isDelimiter(c)) {
            int end = i;
            while (end < n && !isDelimiter(formula.at(end)))
                ++end;
            // "First:Last!" names a range of sheets, unless First is the cell of a reference
            // before it (Data!A1:Data!B2) or no name written without quotes (A1:Data!B2).
            if (end + 1 < n && formula.at(end) == QLatin1Char(':') && before != QLatin1Char('!')
                && isPlain(formula.mid(i, end - i))) {
                int last = end + 1;
                while (last < n && !isDelimiter(formula.at(last)))
                    ++last;
                if (last < n && formula.at(last) == QLatin1Char('!') && isPlain(formula.mid(end + 1, last - end - 1)))
                    end = last;
            }
            if (end < n && formula.at(end) == QLatin1Char('!') && before != QLatin1Char('\''))
                take(i, end, formula.mid(i, end - i));
            external = false;
            i = end;
        } else {
            external = false;
            ++i;
        }
    }
    return edits;
}

QString applied(const QString &formula, const QVector<Edit> &edits)
{
    QString out;
    int copied = 0;
    for (const Edit &edit : edits) {
        out += formula.midRef(copied, edit.begin - copied);
        out += edit.text;
        copied = edit.end;
    }
    out += formula.midRef(copied);
    return out;
}

// Text escaped for where it goes: element content (quote 0) or an attribute value in quote.
QByteArray escapedFor(const QString &text, char quote)
{
    QByteArray escaped = XmlScan::escape(text);
    if (quote == '\'')
        escaped.replace('\'', "&apos;");
    return escaped;
}

// A change to the bytes of a part: [begin, end) becomes bytes.
struct Splice
{
    int begin = 0;
    int end = 0;
    QByteArray bytes;
};

// Elements whose text is a formula or a reference: cell formulas (worksheets, charts, sparklines),
// conditional formats, validations, defined names, table columns and chart ranges.
const QSet<QByteArray> &formulaElements()
{
    static const QSet<QByteArray> elements{"f", "formula", "formula1", "formula2", "definedName",
                                           "calculatedColumnFormula", "totalsRowFormula", "sqref"};
    return elements;
}

// Attributes whose value is a formula or a reference, by the local name of their element.
const QHash<QByteArray, QVector<QByteArray>> &formulaAttributes()
{
    static const QHash<QByteArray, QVector<QByteArray>> attributes{
        {"hyperlink", {"location"}},
        {"sp", {"textlink"}}, // a shape showing a cell's text
        {"formControlPr", {"fmlaLink", "fmlaRange", "fmlaTxbx", "fmlaGroup"}},
        {"controlPr", {"linkedCell", "listFillRange"}},
        {"cfvo", {"val"}},
    };
    return attributes;
}

// Attributes whose value is a sheet's name: the sources of pivot caches.
const QHash<QByteArray, QByteArray> &sheetAttributes()
{
    static const QHash<QByteArray, QByteArray> attributes{{"worksheetSource", "sheet"}, {"rangeSet", "sheet"}};
    return attributes;
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
    return applied(formula, editsIn(formula, from, to));
}

QByteArray renameInPart(const QByteArray &xml, const QString &from, const QString &to)
{
    using namespace XmlScan;
    QVector<Splice> splices;
    // Only the sheet names in a formula are replaced, in the part's own bytes: the rest keeps its
    // spelling (&apos;, &quot;, character references) byte for byte.
    auto renameFormula = [&](int begin, int end, char quote) {
        const QByteArray raw = xml.mid(begin, end - begin);
        // A stray "&" could swallow the ";" of an escape spliced in after it and read otherwise;
        // no spreadsheet program reads such a part anyway.
        if (!referencesWellFormed(raw))
            return;
        QVector<int> offsets;
        const QString formula = unescape(raw, &offsets);
        for (const Edit &edit : editsIn(formula, from, to))
            splices.append(
                {begin + offsets.at(edit.begin), begin + offsets.at(edit.end), escapedFor(edit.text, quote)});
    };
    for (Tag tag = nextTag(xml, 0); tag.isValid(); tag = nextTag(xml, tag.end)) {
        if (tag.closing)
            continue;
        const QByteArray local = localName(tag.name);
        if (formulaElements().contains(local)) {
            if (tag.selfClosing)
                continue;
            const int close = xml.indexOf('<', tag.end);
            if (close < 0)
                break;
            renameFormula(tag.end, close, 0);
            continue;
        }
        QByteArray value;
        int begin = 0;
        int end = 0;
        const auto formulas = formulaAttributes().constFind(local);
        if (formulas != formulaAttributes().constEnd()) {
            for (const QByteArray &name : *formulas)
                if (attribute(xml, tag, name, &value, &begin, &end))
                    renameFormula(begin, end, xml.at(begin - 1));
        }
        const auto sheet = sheetAttributes().constFind(local);
        if (sheet != sheetAttributes().constEnd() && attribute(xml, tag, *sheet, &value, &begin, &end)
            && sameSheet(unescape(value), from))
            splices.append({begin, end, escapedFor(to, xml.at(begin - 1))});
    }
    if (splices.isEmpty())
        return xml;
    std::sort(splices.begin(), splices.end(), [](const Splice &a, const Splice &b) { return a.begin < b.begin; });
    QByteArray out;
    out.reserve(xml.size() + splices.size() * to.size() * 2);
    int copied = 0;
    for (const Splice &splice : splices) {
        out += xml.mid(copied, splice.begin - copied);
        out += splice.bytes;
        copied = splice.end;
    }
    out += xml.mid(copied);
    return out;
}

} // namespace SheetReferences
