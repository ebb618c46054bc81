#include "ExcelWorker.h"
#include "WorkbookDump.h"
#include "XlsxDocument.h"
#include "SheetReferences.h"
#include "XmlScan.h"
#include "XlsxSheet.h"
#include "XlsxZip.h"

#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

class tst_XlsxDocument : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    static QByteArray rowsOf(const XlsxSheet &sheet)
    {
        const QByteArray xml = sheet.xml();
        const int begin = xml.indexOf("<sheetData>") + 11;
        return xml.mid(begin, xml.indexOf("</sheetData>") - begin);
    }

private slots:
    void init() { XlsxDocument::clearCache(); }
    void cellsStayInOrder();
    void rowHeightAndColumnWidth();
    void dimensionIsRewritten();
    void lastUsedRowIgnoresEmptyRowsAndDimension();
    void rejectsWhatIsNotAWorksheet_data();
    void rejectsWhatIsNotAWorksheet();
    void prefixedForeignWorkbook();
    void manyRowsMatchAFreshRead();
    void fileChangedByHandIsReadAfresh();
    void oversizedSheetIsNotLoaded();
    void referencesFollowARename_data();
    void referencesFollowARename();
    void foreignReferencesFollowARename();
};

void tst_XlsxDocument::cellsStayInOrder()
{
    XlsxSheet sheet;
    sheet.loadEmpty();
    sheet.setNumber(5, 3, 3);
    sheet.setNumber(5, 1, 1);
    sheet.setNumber(5, 2, 2);
    sheet.setNumber(2, 1, 0.5);
    sheet.setText(5, 2, QStringLiteral("<&>"));
    sheet.setNumber(7, 28, 1e-7);
    QCOMPARE(rowsOf(sheet),
             QByteArray("<row r=\"2\"><c r=\"A2\"><v>0.5</v></c></row>"
                        "<row r=\"5\"><c r=\"A5\"><v>1</v></c>"
                        "<c r=\"B5\" t=\"inlineStr\"><is><t xml:space=\"preserve\">&lt;&amp;&gt;</t></is></c>"
                        "<c r=\"C5\"><v>3</v></c></row>"
                        "<row r=\"7\"><c r=\"AB7\"><v>1e-07</v></c></row>"));
    QCOMPARE(sheet.lastUsedRow(), 7);
}

void tst_XlsxDocument::rowHeightAndColumnWidth()
{
    XlsxSheet sheet;
    QVERIFY(sheet.load("<worksheet><cols><col min=\"1\" max=\"3\" width=\"9\" style=\"2\"/></cols>"
                       "<sheetData><row r=\"1\" spans=\"1:2\" ht=\"20\"><c r=\"A1\"><v>1</v></c></row>"
                       "</sheetData></worksheet>"));
    sheet.setRowHeight(1, 12.75);
    sheet.setColumnWidth(1, 15);
    sheet.setNumber(1, 2, 2);
    QCOMPARE(sheet.xml(),
             QByteArray("<worksheet><cols><col min=\"1\" max=\"1\" width=\"15\" customWidth=\"1\"/>"
                        "<col min=\"2\" max=\"3\" width=\"9\" style=\"2\"/></cols>"
                        "<sheetData><row r=\"1\" ht=\"12.75\" customHeight=\"1\"><c r=\"A1\"><v>1</v></c>"
                        "<c r=\"B1\"><v>2</v></c></row></sheetData></worksheet>"));

    XlsxSheet fresh;
    fresh.loadEmpty();
    fresh.setRowHeight(1, 12.75);
    fresh.setColumnWidth(1, 15);
    fresh.setNumber(1, 1, 7);
    QVERIFY(fresh.xml().contains("<cols><col min=\"1\" max=\"1\" width=\"15\" customWidth=\"1\"/></cols><sheetData>"));
    QCOMPARE(rowsOf(fresh), QByteArray("<row r=\"1\" ht=\"12.75\" customHeight=\"1\"><c r=\"A1\"><v>7</v></c></row>"));
}

void tst_XlsxDocument::dimensionIsRewritten()
{
    XlsxSheet sheet;
    QVERIFY(sheet.load("<worksheet><dimension ref=\"A1:Z999\"/><sheetData>"
                       "<row r=\"2\"><c r=\"B2\"><v>1</v></c></row></sheetData></worksheet>"));
    QVERIFY(sheet.xml().contains("<dimension ref=\"B2\"/>"));
    sheet.setNumber(4, 5, 1);
    QVERIFY(sheet.xml().contains("<dimension ref=\"B2:E4\"/>"));
}

void tst_XlsxDocument::lastUsedRowIgnoresEmptyRowsAndDimension()
{
    XlsxSheet sheet;
    QVERIFY(sheet.load("<worksheet><dimension ref=\"A1:C40\"/><sheetData>"
                       "<row r=\"3\"><c r=\"A3\"/></row><row r=\"9\" ht=\"30\" customHeight=\"1\"/>"
                       "</sheetData></worksheet>"));
    QCOMPARE(sheet.lastUsedRow(), 3);
    // A cell for the empty row 9 goes into that row element.
    sheet.setNumber(9, 1, 5);
    QCOMPARE(rowsOf(sheet), QByteArray("<row r=\"3\"><c r=\"A3\"/></row>"
                                       "<row r=\"9\" ht=\"30\" customHeight=\"1\"><c r=\"A9\"><v>5</v></c></row>"));
}

void tst_XlsxDocument::rejectsWhatIsNotAWorksheet_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("other root") << QByteArray("<workbook><sheetData/></workbook>");
    QTest::newRow("no sheet data") << QByteArray("<worksheet></worksheet>");
    QTest::newRow("unterminated") << QByteArray("<worksheet><sheetData><row r=\"1\">");
    QTest::newRow("cell of another row") << QByteArray(
        "<worksheet><sheetData><row r=\"1\"><c r=\"A2\"/></row></sheetData></worksheet>");
    QTest::newRow("row beyond the sheet") << QByteArray(
        "<worksheet><sheetData><row r=\"1048577\"/></sheetData></worksheet>");
}

void tst_XlsxDocument::rejectsWhatIsNotAWorksheet()
{
    QFETCH(QByteArray, xml);
    XlsxSheet sheet;
    QVERIFY(!sheet.load(xml));
}

void tst_XlsxDocument::prefixedForeignWorkbook()
{
    QVERIFY(dir.isValid());
    ExcelWorker worker;
    worker.setDirectory(dir.path());
    const QString file = worker.workbookPath(QStringLiteral("prefixed"));
    QVERIFY(WorkbookDump::make({QStringLiteral("prefixed"), file}));
    worker.startExcel();
    worker.writeFrequencySweepRow(QStringLiteral("prefixed"), 0, 10, -1, 0, 0);
    worker.quitExcel();
    const QJsonObject dump = WorkbookDump::dump(file);
    QCOMPARE(dump.value(QStringLiteral("first")).toString(), QStringLiteral("Лист 1"));
    QCOMPARE(dump.value(QStringLiteral("row1Height")).toDouble(), 12.75);
    QCOMPARE(dump.value(QStringLiteral("colAWidth")).toDouble(), 15.0);
    const QMap<QString, QString> cells = WorkbookDump::cells(dump, QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("A1"), QStringLiteral("n:1"));
    QCOMPARE(cells.value("B3"), QStringLiteral("s:three"));
    QCOMPARE(cells.value("A4"), QStringLiteral("n:10"));
    QCOMPARE(cells.size(), 7);
}

void tst_XlsxDocument::manyRowsMatchAFreshRead()
{
    QVERIFY(dir.isValid());
    ExcelWorker worker;
    worker.setDirectory(dir.path());
    const QString name = QStringLiteral("many");
    worker.startExcel();
    for (quint64 i = 0; i < 2500; ++i)
        worker.writePowerStepRow(name, i, 1000 + i, -20.0 + i / 1000.0, -20, 0.125, 41);
    worker.quitExcel();
    // What the engine kept in memory between appends equals what a fresh read of the file gives.
    std::unique_ptr<XlsxDocument> cached = XlsxDocument::open(worker.workbookPath(name));
    QVERIFY(cached);
    const QByteArray cachedXml = cached->sheet().xml();
    XlsxDocument::clearCache();
    std::unique_ptr<XlsxDocument> fresh = XlsxDocument::open(worker.workbookPath(name));
    QVERIFY(fresh);
    QCOMPARE(fresh->sheet().xml(), cachedXml);
    QCOMPARE(fresh->sheet().lastUsedRow(), 2500);
    const QMap<QString, QString> cells =
        WorkbookDump::cells(WorkbookDump::dump(worker.workbookPath(name)), QStringLiteral("Лист 1"));
    QCOMPARE(cells.size(), 2500 * 5);
    QCOMPARE(cells.value("A2500"), QStringLiteral("n:3499"));
    QCOMPARE(cells.value("B1234"), QStringLiteral("n:-18.767"));
}

void tst_XlsxDocument::fileChangedByHandIsReadAfresh()
{
    QVERIFY(dir.isValid());
    ExcelWorker worker;
    worker.setDirectory(dir.path());
    const QString file = worker.workbookPath(QStringLiteral("edited"));
    worker.startExcel();
    worker.writeFrequencySweepRow(QStringLiteral("edited"), 0, 1, 1, 1, 1);
    worker.writeFrequencySweepRow(QStringLiteral("edited"), 1, 2, 2, 2, 2);
    QVERIFY(WorkbookDump::make({QStringLiteral("touch"), file}));
    worker.writeFrequencySweepRow(QStringLiteral("edited"), 2, 3, 3, 3, 3);
    worker.quitExcel();
    const QMap<QString, QString> cells =
        WorkbookDump::cells(WorkbookDump::dump(file), QStringLiteral("Лист 1"));
    QCOMPARE(cells.value("A3"), QStringLiteral("s:added by hand"));
    QCOMPARE(cells.value("A4"), QStringLiteral("n:3"));
}

void tst_XlsxDocument::oversizedSheetIsNotLoaded()
{
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("huge.xlsx"));
    QVERIFY(WorkbookDump::make({QStringLiteral("huge"), file}));
    QVERIFY(!XlsxDocument::open(file));
}

QTEST_GUILESS_MAIN(tst_XlsxDocument)
void tst_XlsxDocument::referencesFollowARename_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("expected");
    const QString report = QStringLiteral("Лист 1");
    QTest::newRow("plain") << "Data" << report << "SUM(Data!A3:A7)" << "SUM('Лист 1'!A3:A7)";
    QTest::newRow("any case") << "Data" << report << "data!$C$2*DATA!B1" << "'Лист 1'!$C$2*'Лист 1'!B1";
    QTest::newRow("quoted") << "My data" << report << "'My data'!A1+1" << "'Лист 1'!A1+1";
    QTest::newRow("to a plain name") << "My data" << "Sheet2" << "'My data'!A1" << "Sheet2!A1";
    QTest::newRow("quote inside") << "It's" << "Out's" << "'It''s'!A1" << "'Out''s'!A1";
    QTest::newRow("string literal") << "Data" << report << "\"Data!A1\"&Data!A1" << "\"Data!A1\"&'Лист 1'!A1";
    QTest::newRow("other sheets") << "Data" << report << "Data2!A1+MyData!A1+Data" << "Data2!A1+MyData!A1+Data";
    QTest::newRow("other workbook") << "Data" << report << "[1]Data!A1+'[2]Data'!B2" << "[1]Data!A1+'[2]Data'!B2";
    QTest::newRow("range of sheets") << "Data" << "Sheet2" << "SUM(First:Data!A1)" << "SUM(First:Sheet2!A1)";
    QTest::newRow("range of sheets, quoted") << "Data" << report << "SUM(First:Data!A1)" << "SUM('First:Лист 1'!A1)";
    QTest::newRow("range of one sheet") << "Data" << report << "COUNT(Data:Data!B1)" << "COUNT('Лист 1'!B1)";
    QTest::newRow("new name reads as a cell") << "Data" << "AB12" << "Data!A1" << "'AB12'!A1";
    QTest::newRow("structured reference") << "Data" << report << "SUM(Data[Col])" << "SUM(Data[Col])";
    QTest::newRow("sheet on both ends") << "Data" << report << "SUM(Data!A1:Data!B2)"
                                        << "SUM('Лист 1'!A1:'Лист 1'!B2)";
    QTest::newRow("sheet on both ends, absolute") << "Data" << "Sheet2" << "Data!$A$1:data!$B$2*2"
                                                  << "Sheet2!$A$1:Sheet2!$B$2*2";
    QTest::newRow("quoted sheet on both ends") << "It's" << "Out's" << "'It''s'!A1:'It''s'!B2"
                                               << "'Out''s'!A1:'Out''s'!B2";
    QTest::newRow("another sheet on the first end") << "Data" << report << "'My data'!A1:Data!B2"
                                                    << "'My data'!A1:'Лист 1'!B2";
    QTest::newRow("cell before a range to the sheet") << "Data" << report << "SUM(A1:Data!B2)"
                                                      << "SUM(A1:'Лист 1'!B2)";
    QTest::newRow("whole columns and rows") << "Data" << report << "Data!A:A Data!1:1"
                                            << "'Лист 1'!A:A 'Лист 1'!1:1";
    QTest::newRow("range of sheets, quote inside") << "It's" << "Out's" << "SUM('First:It''s'!A1)"
                                                   << "SUM('First:Out''s'!A1)";
    QTest::newRow("nested brackets before a reference")
        << "Data" << report << "Table1[[#This Row],[Col]]*Data!$B$1" << "Table1[[#This Row],[Col]]*'Лист 1'!$B$1";
    QTest::newRow("bare structured reference before a reference")
        << "Data" << report << "[@Col]*Data!$B$1" << "[@Col]*'Лист 1'!$B$1";
    QTest::newRow("escaped bracket in a column name")
        << "Data" << report << "SUM(Table1[[a'[b],[c]])+Data!A1" << "SUM(Table1[[a'[b],[c]])+'Лист 1'!A1";
    QTest::newRow("string literal, quotes doubled")
        << "Data" << report << "\"say \"\"Data!A1\"\"\"&Data!A1" << "\"say \"\"Data!A1\"\"\"&'Лист 1'!A1";
    QTest::newRow("string literal with an apostrophe")
        << "It's" << report << "\"It's \"&'It''s'!A1&\"'It''s'!A1\"" << "\"It's \"&'Лист 1'!A1&\"'It''s'!A1\"";
    QTest::newRow("other workbook, range of sheets")
        << "Data" << report << "SUM([1]First:Data!A1)+Data!A1" << "SUM([1]First:Data!A1)+'Лист 1'!A1";
    QTest::newRow("path into another workbook")
        << "C" << "Sheet2" << "'C:\\dir\\[Book.xlsx]Data'!A1+'C'!A1" << "'C:\\dir\\[Book.xlsx]Data'!A1+Sheet2!A1";
    QTest::newRow("any case, not Latin") << "Лист" << "Data" << "ЛИСТ!A1+лист!B2" << "Data!A1+Data!B2";
    QTest::newRow("name and error values of the sheet")
        << "Data" << report << "Data!Total*Data!#REF!+SUM(Data!A1#)" << "'Лист 1'!Total*'Лист 1'!#REF!+SUM('Лист 1'!A1#)";
}

void tst_XlsxDocument::referencesFollowARename()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, formula);
    QFETCH(QString, expected);
    QCOMPARE(SheetReferences::renameInFormula(formula, from, to), expected);
    // The same in every place of a part that holds a formula or a sheet's name, escaped; the rest
    // of the part keeps its bytes.
    const QString xml = QStringLiteral(
        "<x><definedName name=\"n\">%1</definedName><c><f>%1</f></c>"
        "<tableColumn id=\"1\" name=\"c\"><calculatedColumnFormula>%1</calculatedColumnFormula>"
        "<totalsRowFormula>%1</totalsRowFormula></tableColumn>"
        "<c15:fullRef><c15:sqref>%1</c15:sqref></c15:fullRef><hyperlink ref=\"A1\" location=\"%1\"/>"
        "<xdr:sp macro=\"\" textlink=\"%1\"/><formControlPr objectType=\"Drop\" fmlaLink=\"%1\" fmlaRange=\"%1\"/>"
        "<controlPr linkedCell=\"%1\" listFillRange=\"%1\"/><cfvo type=\"formula\" val=\"%1\"/>"
        "<worksheetSource ref=\"A1:B2\" sheet=\"%2\"/><rangeSet ref=\"A1:B2\" sheet=\"%2\"/></x>");
    const QByteArray before = xml.arg(QString::fromUtf8(XmlScan::escape(formula)), QString::fromUtf8(XmlScan::escape(from))).toUtf8();
    const QByteArray after = xml.arg(QString::fromUtf8(XmlScan::escape(expected)), QString::fromUtf8(XmlScan::escape(to))).toUtf8();
    QCOMPARE(QString::fromUtf8(SheetReferences::renameInPart(before, from, to)), QString::fromUtf8(after));
    // A formula with a stray "&", which no XML parser reads, is left as it is.
    const QByteArray stray = "<x><f>R&D " + XmlScan::escape(formula) + "</f></x>";
    QCOMPARE(SheetReferences::renameInPart(stray, from, to), stray);

    // Apostrophes written as &apos;, attributes in single quotes: other programs' spelling.
    const QByteArray apostrophes = XmlScan::escape(formula).replace('\'', "&apos;");
    const QByteArray spelled = "<x><f>" + apostrophes + "</f><hyperlink ref='A1' location='" + apostrophes + "'/></x>";
    const QByteArray respelled = SheetReferences::renameInPart(spelled, from, to);
    if (expected == formula)
        QCOMPARE(respelled, spelled);
    QXmlStreamReader reader(respelled);
    QStringList found;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (reader.name() == QLatin1String("hyperlink"))
            found << reader.attributes().value(QLatin1String("location")).toString();
        if (reader.name() == QLatin1String("f"))
            found << reader.readElementText();
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString() + QLatin1Char(' ') + QString::fromUtf8(respelled)));
    QCOMPARE(found, QStringList({expected, expected}));
}

void tst_XlsxDocument::foreignReferencesFollowARename()
{
    QVERIFY(dir.isValid());
    ExcelWorker worker;
    worker.setDirectory(dir.path());
    const QString name = QStringLiteral("references");
    const QString file = worker.workbookPath(name);
    QVERIFY(QFile::copy(QFINDTESTDATA("fixtures/references.xlsx"), file));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    QTemporaryDir beforeDir;
    const QString before = beforeDir.filePath(QStringLiteral("before.xlsx"));
    QVERIFY(QFile::copy(file, before));
    worker.startExcel();
    worker.writeFrequencySweepRow(name, 0, 10, -1, 0, 0);
    worker.quitExcel();

    // openpyxl finds no formula, defined name or chart series left on the old name, and
    // LibreOffice computes every sheet as before.
    QString errors;
    const int result = WorkbookDump::check({QStringLiteral("check-appended"), before, file}, &errors);
    if (result == 77)
        qWarning("%s", qPrintable(errors.trimmed()));
    else
        QVERIFY2(result == 0, qPrintable(errors));

    // What neither reader looks at: the table's own formulas, a hyperlink, a validation list.
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVector<XlsxZip::Entry> entries;
    QVERIFY(XlsxZip::readArchive(saved.readAll(), &entries));
    QMap<QByteArray, QByteArray> parts;
    for (const XlsxZip::Entry &entry : entries)
        QVERIFY(XlsxZip::extract(entry, XlsxSheet::maxXmlBytes, &parts[entry.name]));
    const QByteArray table = parts.value("xl/tables/table1.xml");
    QVERIFY2(table.contains("<calculatedColumnFormula>Table1[[#This Row],[Value]]*'Лист 1'!$B$1<"), table.constData());
    QVERIFY2(table.contains("<totalsRowFormula>SUM(Table1[Scaled])+'Лист 1'!$A$1<"), table.constData());
    const QByteArray summary = parts.value("xl/worksheets/sheet2.xml");
    QVERIFY2(summary.contains("location=\"'Лист 1'!A1\""), summary.constData());
    QVERIFY2(summary.contains("<formula1>'Лист 1'!$A$1:$A$5<"), summary.constData());
    // Only the names were spliced in: the rest of each formula keeps its spelling.
    const QByteArray calc = parts.value("xl/worksheets/sheet3.xml");
    QVERIFY2(calc.contains("<f>\"It&apos;s \"&amp;'Лист 1'!B1</f>"), calc.constData());
}

#include "tst_XlsxDocument.moc"
