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

// Stricter than isNameChar: an attribute name with a quote in it stops the reading of a tag's
// attributes, so that every value found lies where nextTag also sees a quoted value.
bool isAttributeNameChar(char c)
{
    return isNameChar(c) && c != '"' && c != '\'';
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
        while (p < end && isAttributeNameChar(data[p]))
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

namespace {

// Decodes the UTF-8 sequence at the start of bytes into code; the number of bytes it takes. A
// malformed sequence gives U+FFFD for its first byte alone.
int decodeUtf8(const uchar *bytes, int available, uint *code)
{
    const uchar lead = bytes[0];
    int length = 0;
    uint value = 0;
    uint least = 0;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        least = 0x10000;
    }
    *code = 0xFFFD;
    if (length == 0 || length > available)
        return 1;
    for (int k = 1; k < length; ++k) {
        if ((bytes[k] & 0xC0) != 0x80)
            return 1;
        value = (value << 6) | (bytes[k] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 1;
    *code = value;
    return length;
}

void appendCode(QString *text, uint code, int from, QVector<int> *offsets)
{
    if (QChar::requiresSurrogates(code)) {
        *text += QChar(QChar::highSurrogate(code));
        *text += QChar(QChar::lowSurrogate(code));
        if (offsets)
            *offsets << from << from;
    } else {
        *text += QChar(code);
        if (offsets)
            *offsets << from;
    }
}

// Appends raw[from, to) as it stands, decoded from UTF-8 but with no entity resolved.
void appendLiteral(QString *text, const QByteArray &raw, int from, int to, QVector<int> *offsets)
{
    const uchar *data = reinterpret_cast<const uchar *>(raw.constData());
    while (from < to) {
        uint code = 0;
        const int length = decodeUtf8(data + from, to - from, &code);
        appendCode(text, code, from, offsets);
        from += length;
    }
}

// The character an entity's name (what stands between '&' and ';') stands for; 0 when the
// entity is unknown, 0xFFFFFFFF when it is a character reference to no character.
uint entityCode(const QByteArray &name)
{
    if (name == "amp")
        return '&';
    if (name == "lt")
        return '<';
    if (name == "gt")
        return '>';
    if (name == "quot")
        return '"';
    if (name == "apos")
        return '\'';
    if (!name.startsWith('#'))
        return 0;
    bool ok = false;
    const uint code = name.startsWith("#x") ? name.mid(2).toUInt(&ok, 16) : name.mid(1).toUInt(&ok, 10);
    if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0xFFFFFFFF;
    return code;
}

} // namespace

QString unescape(const QByteArray &raw, QVector<int> *offsets)
{
    if (offsets)
        offsets->clear();
    if (!offsets && !raw.contains('&'))
        return QString::fromUtf8(raw);
    QString text;
    text.reserve(raw.size());
    int from = 0;
    while (from < raw.size()) {
        const int amp = raw.indexOf('&', from);
        const int plainEnd = amp < 0 ? raw.size() : amp;
        appendLiteral(&text, raw, from, plainEnd, offsets);
        if (amp < 0)
            break;
        const int semicolon = raw.indexOf(';', amp);
        if (semicolon < 0) {
            appendLiteral(&text, raw, amp, raw.size(), offsets);
            break;
        }
        const uint code = entityCode(raw.mid(amp + 1, semicolon - amp - 1));
        if (code == 0)
            appendLiteral(&text, raw, amp, semicolon + 1, offsets); // unknown: kept as written
        else if (code != 0xFFFFFFFF)
            appendCode(&text, code, amp, offsets);
        from = semicolon + 1;
    }
    if (offsets)
        *offsets << raw.size();
    return text;
}

bool referencesWellFormed(const QByteArray &raw)
{
    for (int amp = raw.indexOf('&'); amp >= 0; amp = raw.indexOf('&', amp + 1)) {
        const int semicolon = raw.indexOf(';', amp);
        if (semicolon < 0)
            return false;
        const uint code = entityCode(raw.mid(amp + 1, semicolon - amp - 1));
        if (code == 0 || code == 0xFFFFFFFF)
            return false;
    }
    return true;
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
