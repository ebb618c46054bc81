#include "XlsxDocument.h"

#include "DurableFile.h"
#include "SheetReferences.h"
#include "XmlScan.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QXmlStreamReader>
#include <QtDebug>

namespace {

constexpr qint64 maxPartBytes = 16LL * 1024 * 1024;
constexpr qint64 maxFileBytes = 512LL * 1024 * 1024;
constexpr int maxCachedWorkbooks = 4;

const char dateTimeFormat[] = "dd.mm.yyyy hh:mm:ss";

bool wellFormed(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

// Resolves a relationship target against the folder of the part that refers to it.
QByteArray resolveTarget(const QByteArray &sourcePart, const QByteArray &target)
{
    if (target.startsWith('/'))
        return target.mid(1);
    QList<QByteArray> parts = sourcePart.split('/');
    parts.removeLast();
    for (const QByteArray &piece : target.split('/')) {
        if (piece == "..") {
            if (!parts.isEmpty())
                parts.removeLast();
        } else if (!piece.isEmpty() && piece != ".") {
            parts.append(piece);
        }
    }
    return parts.join('/');
}

QByteArray relationshipsOf(const QByteArray &part)
{
    const int slash = part.lastIndexOf('/');
    return part.left(slash + 1) + "_rels/" + part.mid(slash + 1) + ".rels";
}

struct Relationship
{
    QByteArray id;
    QByteArray type;
    QByteArray target; // unescaped
};

// The relationships of a part's relationship file, in their order.
QVector<Relationship> relationshipsIn(const QByteArray &rels)
{
    using namespace XmlScan;
    QVector<Relationship> found;
    for (Tag tag = nextTag(rels, 0); tag.isValid(); tag = nextTag(rels, tag.end)) {
        if (tag.closing || localName(tag.name) != "Relationship")
            continue;
        Relationship relationship;
        attribute(rels, tag, "Id", &relationship.id);
        attribute(rels, tag, "Type", &relationship.type);
        if (attribute(rels, tag, "Target", &relationship.target))
            relationship.target = unescape(relationship.target).toUtf8();
        found.append(relationship);
    }
    return found;
}

// Target of the first relationship whose type ends so; empty when there is none.
QByteArray targetOfType(const QVector<Relationship> &relationships, const QByteArray &typeEnd)
{
    for (const Relationship &relationship : relationships)
        if (relationship.type.endsWith(typeEnd))
            return relationship.target;
    return QByteArray();
}

bool xmlTrue(const QByteArray &value)
{
    return value == "1" || value.toLower() == "true";
}

struct CachedWorkbook
{
    QByteArray fileBytes;
    std::shared_ptr<XlsxDocument> document;
};

QMutex cacheMutex;
QHash<QString, CachedWorkbook> &cache()
{
    static QHash<QString, CachedWorkbook> workbooks;
    return workbooks;
}

const QByteArray newWorkbookFiles[][2] = {
    {"[Content_Types].xml",
     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
     "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
     "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
     "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
     "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
     "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
     "<Override PartName=\"/xl/styles.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
     "</Types>"},
    {"_rels/.rels",
     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
     "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
     "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" Target=\"xl/workbook.xml\"/>"
     "</Relationships>"},
    {"xl/workbook.xml",
     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
     "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
     "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
     "<bookViews><workbookView/></bookViews>"
     "<sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
    {"xl/_rels/workbook.xml.rels",
     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
     "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
     "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
     "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" Target=\"styles.xml\"/>"
     "</Relationships>"},
    {"xl/styles.xml",
     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
     "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
     "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/></font></fonts>"
     "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
     "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
     "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
     "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
     "<cellXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs>"
     "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
     "</styleSheet>"},
};

} // namespace

std::unique_ptr<XlsxDocument> XlsxDocument::create()
{
    auto document = std::make_unique<XlsxDocument>();
    for (const auto &file : newWorkbookFiles)
        document->entries.append(XlsxZip::makeEntry(file[0], file[1]));
    document->entries.append(XlsxZip::makeEntry("xl/worksheets/sheet1.xml", QByteArray()));
    document->sheetEntry = document->entries.size() - 1;
    document->firstSheet.loadEmpty();
    document->loadPart("xl/workbook.xml", &document->workbook);
    document->loadPart("xl/styles.xml", &document->styles);
    return document;
}

std::unique_ptr<XlsxDocument> XlsxDocument::fromBytes(const QByteArray &bytes)
{
    auto document = std::make_unique<XlsxDocument>();
    if (!document->parse(bytes))
        return nullptr;
    return document;
}

std::unique_ptr<XlsxDocument> XlsxDocument::open(const QString &path)
{
    const QString key = QFileInfo(path).absoluteFilePath();
    QFile file(path);
    if (file.size() > maxFileBytes) {
        qDebug() << "workbook" << path << "is too large to be read";
        return nullptr;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "workbook" << path << "cannot be read:" << file.errorString();
        return nullptr;
    }
    const QByteArray bytes = file.readAll();
    {
        QMutexLocker lock(&cacheMutex);
        auto it = cache().find(key);
        if (it != cache().end()) {
            // Taken out of the cache, so that appending to it copies nothing; saving puts it back.
            const bool unchanged = it->fileBytes == bytes;
            std::shared_ptr<XlsxDocument> kept = it->document;
            cache().erase(it);
            if (unchanged && kept.use_count() == 1)
                return std::make_unique<XlsxDocument>(std::move(*kept));
            if (unchanged)
                return std::make_unique<XlsxDocument>(*kept);
        }
    }
    std::unique_ptr<XlsxDocument> document = fromBytes(bytes);
    if (!document)
        qDebug() << "workbook" << path << "is damaged or not a workbook";
    return document;
}

void XlsxDocument::clearCache()
{
    QMutexLocker lock(&cacheMutex);
    cache().clear();
}

int XlsxDocument::findEntry(const QByteArray &name) const
{
    for (int i = 0; i < entries.size(); ++i)
        if (entries.at(i).name == name)
            return i;
    return -1;
}

bool XlsxDocument::loadPart(const QByteArray &name, Part *part)
{
    part->entry = findEntry(name);
    part->changed = false;
    return part->entry >= 0 && XlsxZip::extract(entries.at(part->entry), maxPartBytes, &part->content)
           && wellFormed(part->content);
}

bool XlsxDocument::parse(const QByteArray &bytes)
{
    using namespace XmlScan;
    if (!XlsxZip::readArchive(bytes, &entries))
        return false;
    Part rootRels;
    if (!loadPart("_rels/.rels", &rootRels))
        return false;
    const QByteArray workbookName =
        resolveTarget(QByteArray(), targetOfType(relationshipsIn(rootRels.content), "/officeDocument"));
    if (workbookName.isEmpty() || !loadPart(workbookName, &workbook))
        return false;
    Part workbookRels;
    if (!loadPart(relationshipsOf(workbookName), &workbookRels))
        return false;
    const QVector<Relationship> workbookRelationships = relationshipsIn(workbookRels.content);

    // The first worksheet: chart, dialog and macro sheets are no worksheets.
    QByteArray sheetName;
    int ordinal = 0;
    bool workbookProperties = false;
    for (Tag tag = nextTag(workbook.content, 0); tag.isValid(); tag = nextTag(workbook.content, tag.end)) {
        if (tag.closing)
            continue;
        const QByteArray local = localName(tag.name);
        if (local == "workbookPr" && !workbookProperties) {
            // Only the workbook's own properties; extensions may carry elements of the same name.
            workbookProperties = true;
            QByteArray value;
            date1904 = attribute(workbook.content, tag, "date1904", &value) && xmlTrue(value);
        } else if (local == "sheet") {
            QByteArray id;
            if (sheetName.isEmpty() && attributeByLocalName(workbook.content, tag, "id", &id)) {
                for (const Relationship &relationship : workbookRelationships) {
                    if (relationship.id == id && relationship.type.endsWith("/worksheet")) {
                        sheetName = resolveTarget(workbookName, relationship.target);
                        sheetOrdinal = ordinal;
                    }
                }
            }
            ++ordinal;
        }
    }
    if (sheetName.isEmpty())
        return false;
    sheetEntry = findEntry(sheetName);
    if (sheetEntry < 0)
        return false;
    QByteArray sheetXml;
    if (!XlsxZip::extract(entries.at(sheetEntry), XlsxSheet::maxXmlBytes, &sheetXml)) {
        qDebug() << "worksheet" << sheetName << "cannot be read or is larger than"
                 << XlsxSheet::maxXmlBytes << "bytes";
        return false;
    }
    if (!wellFormed(sheetXml) || !firstSheet.load(sheetXml))
        return false;

    const QByteArray stylesTarget = targetOfType(workbookRelationships, "/styles");
    if (!stylesTarget.isEmpty() && !loadPart(resolveTarget(workbookName, stylesTarget), &styles))
        return false;
    return true;
}

void XlsxDocument::renameFirstSheet(const QString &name)
{
    using namespace XmlScan;
    QByteArray &xml = workbook.content;
    int ordinal = 0;
    int begin = 0;
    int end = 0;
    QString current;
    QStringList others;
    for (Tag tag = nextTag(xml, 0); tag.isValid(); tag = nextTag(xml, tag.end)) {
        if (tag.closing || localName(tag.name) != "sheet")
            continue;
        QByteArray value;
        int valueBegin = 0;
        int valueEnd = 0;
        if (attribute(xml, tag, "name", &value, &valueBegin, &valueEnd)) {
            if (ordinal == sheetOrdinal) {
                current = unescape(value);
                begin = valueBegin;
                end = valueEnd;
            } else {
                others << unescape(value);
            }
        }
        ++ordinal;
    }
    if (end == 0 || current == name)
        return;
    // Sheet names are unique without regard to case; the spreadsheet refuses such a rename too.
    for (const QString &other : others) {
        if (other.compare(name, Qt::CaseInsensitive) == 0) {
            qDebug() << "another sheet is already named" << name << "; the first worksheet keeps its name"
                     << current;
            return;
        }
    }
    xml.replace(begin, end - begin, escape(name));
    xml = SheetReferences::renameInPart(xml, current, name);
    workbook.changed = true;
    renameReferences(current, name);
}

void XlsxDocument::renameReferences(const QString &from, const QString &to)
{
    // Every part is searched: a reference can spell the name in many ways ('It''s', &apos;,
    // character references, any case), so no search of the raw bytes can rule a part out.
    for (int i = 0; i < entries.size(); ++i) {
        const QByteArray &entryName = entries.at(i).name;
        if (i == sheetEntry || i == workbook.entry || i == styles.entry || !entryName.startsWith("xl/")
            || !entryName.endsWith(".xml") || entryName.contains("theme/") || entryName.endsWith("sharedStrings.xml"))
            continue;
        QByteArray content;
        if (!XlsxZip::extract(entries.at(i), XlsxSheet::maxXmlBytes, &content))
            continue;
        const QByteArray renamed = SheetReferences::renameInPart(content, from, to);
        if (renamed != content)
            entries[i] = XlsxZip::makeEntry(entryName, renamed);
    }
    const QByteArray own = firstSheet.xml();
    const QByteArray renamed = SheetReferences::renameInPart(own, from, to);
    if (renamed != own)
        firstSheet.load(renamed);
}

int XlsxDocument::dateTimeStyle()
{
    using namespace XmlScan;
    if (dateStyle != -2)
        return dateStyle;
    dateStyle = -1;
    if (styles.entry < 0) {
        qDebug() << "workbook has no styles: date-times are written as plain numbers";
        return dateStyle;
    }
    QByteArray &xml = styles.content;
    const QByteArray code(dateTimeFormat);

    // The number format: an existing one with our code, or a new one.
    int formatId = -1;
    int highestId = 163;
    Tag numFmts;
    Tag root;
    for (Tag tag = nextTag(xml, 0); tag.isValid(); tag = nextTag(xml, tag.end)) {
        if (tag.closing)
            continue;
        const QByteArray local = localName(tag.name);
        if (!root.isValid())
            root = tag;
        if (local == "numFmts") {
            numFmts = tag;
        } else if (local == "numFmt") {
            QByteArray id;
            QByteArray formatCode;
            attribute(xml, tag, "numFmtId", &id);
            attribute(xml, tag, "formatCode", &formatCode);
            highestId = qMax(highestId, id.toInt());
            if (unescape(formatCode) == QLatin1String(dateTimeFormat))
                formatId = id.toInt();
        } else if (local == "cellXfs") {
            break;
        }
    }
    if (!root.isOpening())
        return dateStyle;
    const QByteArray prefix = prefixOf(root.name);
    if (formatId < 0) {
        formatId = highestId + 1;
        const QByteArray element = '<' + prefix + "numFmt numFmtId=\"" + QByteArray::number(formatId)
                                   + "\" formatCode=\"" + code + "\"/>";
        if (!numFmts.isValid()) {
            xml.insert(root.end, '<' + prefix + "numFmts count=\"1\">" + element + "</" + prefix + "numFmts>");
        } else if (numFmts.selfClosing) {
            xml.replace(numFmts.begin, numFmts.end - numFmts.begin,
                        '<' + prefix + "numFmts count=\"1\">" + element + "</" + prefix + "numFmts>");
        } else {
            const int close = xml.indexOf("</" + numFmts.name + '>', numFmts.end);
            if (close < 0)
                return dateStyle;
            xml.insert(close, element);
            int countBegin = 0;
            int countEnd = 0;
            QByteArray count;
            const Tag again = nextTag(xml, numFmts.begin);
            if (attribute(xml, again, "count", &count, &countBegin, &countEnd))
                xml.replace(countBegin, countEnd - countBegin, QByteArray::number(count.toInt() + 1));
        }
        styles.changed = true;
    }

    // The cell format using it: an existing one, or a new one at the end of cellXfs.
    Tag cellXfs;
    for (Tag tag = nextTag(xml, 0); tag.isValid(); tag = nextTag(xml, tag.end)) {
        if (!tag.closing && localName(tag.name) == "cellXfs") {
            cellXfs = tag;
            break;
        }
    }
    if (!cellXfs.isOpening())
        return dateStyle;
    const QByteArray close = "</" + cellXfs.name + '>';
    const int closeAt = xml.indexOf(close, cellXfs.end);
    if (closeAt < 0)
        return dateStyle;
    int index = 0;
    int depth = 0;
    for (Tag tag = nextTag(xml, cellXfs.end); tag.isValid() && tag.begin < closeAt;
         tag = nextTag(xml, tag.end)) {
        if (localName(tag.name) != "xf") {
            continue;
        }
        if (tag.closing) {
            --depth;
            continue;
        }
        if (depth == 0) {
            QByteArray id;
            if (attribute(xml, tag, "numFmtId", &id) && id.toInt() == formatId) {
                dateStyle = index;
                return dateStyle;
            }
            ++index;
        }
        if (!tag.selfClosing)
            ++depth;
    }
    xml.insert(closeAt, '<' + prefix + "xf numFmtId=\"" + QByteArray::number(formatId)
                            + "\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>");
    const Tag again = nextTag(xml, cellXfs.begin);
    int countBegin = 0;
    int countEnd = 0;
    if (attribute(xml, again, "count", nullptr, &countBegin, &countEnd))
        xml.replace(countBegin, countEnd - countBegin, QByteArray::number(index + 1));
    styles.changed = true;
    dateStyle = index;
    return dateStyle;
}

QByteArray XlsxDocument::toBytes()
{
    for (Part *part : {&workbook, &styles}) {
        if (part->entry >= 0 && part->changed) {
            XlsxZip::Entry &entry = entries[part->entry];
            const XlsxZip::Entry fresh = XlsxZip::makeEntry(entry.name, part->content);
            entry = fresh;
            part->changed = false;
        }
    }
    XlsxZip::Entry &sheet = entries[sheetEntry];
    const XlsxSheet::Deflated deflated = firstSheet.deflated();
    sheet.method = 8;
    sheet.compressed = deflated.data;
    sheet.crc = deflated.crc;
    sheet.size = deflated.size;
    return XlsxZip::writeArchive(entries);
}

DurableFile::Result XlsxDocument::save(const QString &path)
{
    const QByteArray bytes = toBytes();
    if (bytes.isEmpty()) {
        DurableFile::Result failed;
        failed.failure = DurableFile::Failure::Other;
        failed.message = QStringLiteral("the workbook could not be built");
        return failed;
    }
    const DurableFile::Result result = DurableFile::replace(path, bytes);
    if (!result.ok())
        return result;
    QMutexLocker lock(&cacheMutex);
    const QString key = QFileInfo(path).absoluteFilePath();
    if (!cache().contains(key) && cache().size() >= maxCachedWorkbooks)
        cache().erase(cache().begin());
    cache()[key] = CachedWorkbook{bytes, std::make_shared<XlsxDocument>(*this)};
    return result;
}
