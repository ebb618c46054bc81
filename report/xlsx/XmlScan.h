#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// A byte-level scanner for the XML parts of a workbook: finds tags and attributes by their byte
// offsets, so that foreign XML can be edited by splicing without being re-serialised.
namespace XmlScan {

struct Tag
{
    int begin = -1; // offset of '<'
    int end = -1;   // offset just after '>'
    QByteArray name; // qualified name, prefix included
    bool closing = false;
    bool selfClosing = false;

    bool isValid() const { return begin >= 0; }
    bool isOpening() const { return isValid() && !closing && !selfClosing; }
};

// The next element tag at or after from, skipping comments, processing instructions, CDATA
// sections and declarations; an invalid tag when there is none or the markup is broken.
Tag nextTag(const QByteArray &xml, int from);

// The tag's name without its namespace prefix.
QByteArray localName(const QByteArray &name);
// The prefix of a qualified name with its colon ("x:"), or empty.
QByteArray prefixOf(const QByteArray &name);

// Finds an attribute (by qualified name) of a tag; gives the raw value and its byte range.
bool attribute(const QByteArray &xml, const Tag &tag, const QByteArray &name, QByteArray *value,
               int *valueBegin = nullptr, int *valueEnd = nullptr);

// Finds an attribute by its name without prefix (the first one whose local name matches).
bool attributeByLocalName(const QByteArray &xml, const Tag &tag, const QByteArray &localName,
                          QByteArray *value);

// Removes an attribute from the tag in place, if present; returns the number of bytes removed.
int removeAttribute(QByteArray &xml, const Tag &tag, const QByteArray &name);

// Escapes text for element content and attribute values, dropping characters XML cannot carry.
QByteArray escape(const QString &text);
// The text of raw character data. With offsets, also where each character came from: offsets[i]
// is the byte of raw where character i begins (both halves of a surrogate pair share one), and
// offsets[text size] is raw's size; so a stretch of the text can be replaced in raw itself.
QString unescape(const QByteArray &raw, QVector<int> *offsets = nullptr);
// Whether every "&" in raw character data begins a reference XML knows (&amp; &lt; &gt; &quot;
// &apos; or a character reference to a character).
bool referencesWellFormed(const QByteArray &raw);

// Column letters of a 1-based column number, and the reverse; 0 for a malformed reference.
QByteArray columnName(int column);
// Splits a cell reference such as "AB12" into column and row; false when malformed.
bool parseCellReference(const QByteArray &reference, int *column, int *row);

} // namespace XmlScan
