#pragma once

#include "DurableFile.h"
#include "XlsxSheet.h"
#include "XlsxZip.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

// One workbook file as the report engine edits it: the archive's entries, of which it changes
// only the first worksheet, the workbook part (the sheet's name), the styles (a date-time format)
// and the names in references to a renamed first sheet; everything else is written back byte for
// byte.
class XlsxDocument
{
public:
    // Reads a workbook file; null when it is not a workbook this engine can read (missing,
    // locked, damaged, or too large). A file this process wrote last and nobody changed since
    // is taken from memory instead of being read and parsed again.
    static std::unique_ptr<XlsxDocument> open(const QString &path);
    // Parses workbook bytes; null when they are not a readable workbook.
    static std::unique_ptr<XlsxDocument> fromBytes(const QByteArray &bytes);
    // A new workbook with one empty sheet.
    static std::unique_ptr<XlsxDocument> create();

    // The first worksheet, as the spreadsheet's worksheet collection counts them: chart, dialog
    // and macro sheets before it are passed over.
    XlsxSheet &sheet() { return firstSheet; }
    // Renames the first worksheet and carries every reference to it along; leaves the name as
    // it is when another sheet already bears the new one.
    void renameFirstSheet(const QString &name);
    // Whether the workbook counts its serial dates from 1904-01-01 instead of 1899-12-30.
    bool uses1904Dates() const { return date1904; }
    // Index of a cell format that shows a date and time; -1 when the workbook has no styles.
    int dateTimeStyle();

    // The complete file, as it would be saved.
    QByteArray toBytes();
    // Writes the file beside the old one and renames it over it, so the path always holds a
    // complete workbook; on failure the old file is untouched.
    DurableFile::Result save(const QString &path);

    // Forgets every workbook kept in memory.
    static void clearCache();

private:
    struct Part
    {
        int entry = -1;
        QByteArray content;
        bool changed = false;
    };

    bool parse(const QByteArray &bytes);
    bool loadPart(const QByteArray &name, Part *part);
    int findEntry(const QByteArray &name) const;
    void renameReferences(const QString &from, const QString &to);

    QVector<XlsxZip::Entry> entries;
    Part workbook;
    Part styles;
    int sheetEntry = -1;
    int sheetOrdinal = 0; // position of the first worksheet among the workbook's sheet elements
    bool date1904 = false;
    XlsxSheet firstSheet;
    int dateStyle = -2; // -2: not looked up yet
};
