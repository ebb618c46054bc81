#include "XmlScan.h"

#include <cstring>

namespace XmlScan {
namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isNameChar(char c)
{
    return !isSpace(c) && c != '>' && c != '/' && c != '=' && c != '<' && c != '\0';
}

// Offset just after the terminator, or -1.
int skipPast(const QByteArray &xml, int from, const char *terminator)
{
    const int at = xml.indexOf(terminator, from);
    return at < 0 ? -1 : at + int(std::strlen(terminator));
}

} // namespace

Tag nextTag(const QByteArray &xml, int from)
{
    const int size = xml.size();
    const char *data = xml.constData();
    int pos = from;
    while (pos >= 0 && pos < size) {
        const void *found = std::memchr(data + pos, '<', size_t(size - pos));
        if (!found)
            return Tag();
        const int lt = int(static_cast<const char *>(found) - data);
        if (lt + 1 >= size)
            return Tag();
        const char next = data[lt + 1];
        if (next == '!') {
            if (xml.mid(lt, 4) == "<!--")
                pos = skipPast(xml, lt + 4, "-->");
            else if (xml.mid(lt, 9) == "<![CDATA[")
                pos = skipPast(xml, lt + 9, "]]>");
            else
                pos = skipPast(xml, lt + 2, ">");
            continue;
        }
        if (next == '?') {
            pos = skipPast(xml, lt + 2, "?>");
            continue;
        }
        Tag tag;
        tag.begin = lt;
        int p = lt + 1;
        if (data[p] == '/') {
            tag.closing = true;
            ++p;
        }
        const int nameBegin = p;
        while (p < size && isNameChar(data[p]))
            ++p;
        if (p == nameBegin)
            return Tag();
        tag.name = xml.mid(nameBegin, p - nameBegin);
        char quote = 0;
        for (; p < size; ++p) {
            const char c = data[p];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '<') {
                return Tag();
            } else if (c == '>') {
                tag.end = p + 1;
                tag.selfClosing = !tag.closing && p > nameBegin && data[p - 1] == '/';
                return tag;
            }
        }
        return Tag();
    }
    return Tag();
}

QByteArray localName(const QByteArray &name)
{
    const int colon = name.indexOf(':');
    return colon < 0 ? name : name.mid(colon + 1);
}

QByteArray prefixOf(const QByteArray &name)
{
    const int colon = name.indexOf(':');
    return colon < 0 ? QByteArray() : name.left(colon + 1);
}

namespace {

// Calls visit(nameBegin, nameEnd, valueBegin, valueEnd) for each attribute until it returns true;
// true when one did.
template<typename Visit>
bool forEachAttribute(const QByteArray &xml, const Tag &tag, Visit visit)
{
    if (!tag.isValid())
        return false;
    const char *data = xml.constData();
    int p = tag.begin + 1 + (tag.closing ? 1 : 0) + tag.name.size();
    const int end = tag.end - 1;
    while (p < end) {
        while (p < end && (isSpace(data[p]) || data[p] == '/'))
            ++p;
        const int nameBegin = p;
        while (p < end && isNameChar(data[p]))
            ++p;
        const int nameEnd = p;
        while (p < end && isSpace(data[p]))
            ++p;
        if (p >= end || data[p] != '=')
            return false;
        ++p;
        while (p < end && isSpace(data[p]))
            ++p;
        if (p >= end || (data[p] != '"' && data[p] != '\''))
            return false;
        const char quote = data[p];
        const int begin = p + 1;
        const int close = xml.indexOf(quote, begin);
        if (close < 0 || close >= end)
            return false;
        if (visit(nameBegin, nameEnd, begin, close))
            return true;
        p = close + 1;
    }
    return false;
}

} // namespace

bool attribute(const QByteArray &xml, const Tag &tag, const QByteArray &name, QByteArray *value,
               int *valueBegin, int *valueEnd)
{
    const char *data = xml.constData();
    return forEachAttribute(xml, tag, [&](int nameBegin, int nameEnd, int begin, int close) {
        if (nameEnd - nameBegin != name.size()
            || std::memcmp(data + nameBegin, name.constData(), size_t(name.size())) != 0)
            return false;
        if (value)
            *value = xml.mid(begin, close - begin);
        if (valueBegin)
            *valueBegin = begin;
        if (valueEnd)
            *valueEnd = close;
        return true;
    });
}

bool attributeByLocalName(const QByteArray &xml, const Tag &tag, const QByteArray &local,
                          QByteArray *value)
{
    return forEachAttribute(xml, tag, [&](int nameBegin, int nameEnd, int begin, int close) {
        if (localName(xml.mid(nameBegin, nameEnd - nameBegin)) != local)
            return false;
        if (value)
            *value = xml.mid(begin, close - begin);
        return true;
    });
}

int removeAttribute(QByteArray &xml, const Tag &tag, const QByteArray &name)
{
    int valueBegin = 0;
    int valueEnd = 0;
    if (!attribute(xml, tag, name, nullptr, &valueBegin, &valueEnd))
        return 0;
    int start = xml.lastIndexOf(name, valueBegin);
    while (start > tag.begin && isSpace(xml.at(start - 1)))
        --start;
    const int length = valueEnd + 1 - start;
    xml.remove(start, length);
    return length;
}

QByteArray escape(const QString &text)
{
    QString clean;
    clean.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            clean += c;
            clean += text.at(++i);
            continue;
        }
        if (c.isSurrogate() || (u < 0x20 && u != 0x9 && u != 0xA && u != 0xD) || u == 0xFFFE
            || u == 0xFFFF)
            continue;
        clean += c;
    }
    QByteArray out = clean.toUtf8();
    out.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;").replace('"', "&quot;");
    return out;
}

QString unescape(const QByteArray &raw)
{
    QString text = QString::fromUtf8(raw);
    if (!text.contains(QLatin1Char('&')))
        return text;
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('&')) {
            out += text.at(i);
            continue;
        }
        const int semicolon = text.indexOf(QLatin1Char(';'), i);
        if (semicolon < 0) {
            out += text.mid(i);
            break;
        }
        const QString entity = text.mid(i + 1, semicolon - i - 1);
        if (entity == QLatin1String("amp"))
            out += QLatin1Char('&');
        else if (entity == QLatin1String("lt"))
            out += QLatin1Char('<');
        else if (entity == QLatin1String("gt"))
            out += QLatin1Char('>');
        else if (entity == QLatin1String("quot"))
            out += QLatin1Char('"');
        else if (entity == QLatin1String("apos"))
            out += QLatin1Char('\'');
        else if (entity.startsWith(QLatin1Char('#'))) {
            bool ok = false;
            const uint code = entity.startsWith(QLatin1String("#x")) ? entity.mid(2).toUInt(&ok, 16)
                                                                      : entity.mid(1).toUInt(&ok, 10);
            if (ok && code > 0 && code <= 0x10FFFF)
                out += QString::fromUcs4(&code, 1);
        } else {
            out += text.mid(i, semicolon - i + 1);
        }
        i = semicolon;
    }
    return out;
}

QByteArray columnName(int column)
{
    QByteArray name;
    while (column > 0) {
        const int rest = (column - 1) % 26;
        name.prepend(char('A' + rest));
        column = (column - 1) / 26;
    }
    return name;
}

bool parseCellReference(const QByteArray &reference, int *column, int *row)
{
    int p = 0;
    long long col = 0;
    while (p < reference.size() && reference.at(p) >= 'A' && reference.at(p) <= 'Z') {
        col = col * 26 + (reference.at(p) - 'A' + 1);
        if (col > 16384)
            return false;
        ++p;
    }
    if (p == 0 || p == reference.size())
        return false;
    long long r = 0;
    for (; p < reference.size(); ++p) {
        const char c = reference.at(p);
        if (c < '0' || c > '9')
            return false;
        r = r * 10 + (c - '0');
        if (r > 1048576)
            return false;
    }
    if (r < 1)
        return false;
    *column = int(col);
    *row = int(r);
    return true;
}

} // namespace XmlScan
