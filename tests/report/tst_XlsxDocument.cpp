#include "ExcelWorker.h"
#include "WorkbookDump.h"
#include "XlsxDocument.h"
#include "SheetReferences.h"
#include "XmlScan.h"
#include "XlsxSheet.h"

#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
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
}

void tst_XlsxDocument::referencesFollowARename()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, formula);
    QFETCH(QString, expected);
    QCOMPARE(SheetReferences::renameInFormula(formula, from, to), expected);
    // The same in the XML of a part: a defined name and a formula, escaped, and a pivot source.
    const QString xml = QStringLiteral("<x><definedName name=\"n\">%1</definedName><c><f>%1</f></c>"
                                       "<worksheetSource ref=\"A1:B2\" sheet=\"%2\"/></x>");
    const QByteArray before = xml.arg(QString::fromUtf8(XmlScan::escape(formula)), QString::fromUtf8(XmlScan::escape(from))).toUtf8();
    const QByteArray after = xml.arg(QString::fromUtf8(XmlScan::escape(expected)), QString::fromUtf8(XmlScan::escape(to))).toUtf8();
    QCOMPARE(QString::fromUtf8(SheetReferences::renameInPart(before, from, to)), QString::fromUtf8(after));
}

#include "tst_XlsxDocument.moc"
