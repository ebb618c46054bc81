#include "ReportLayout.h"

#include <QtTest>

// Where a report's columns and pages break: a row split or lost between pages, or a column
// pushed past the page's edge, is a report that says less than its record.
class tst_ReportLayout : public QObject
{
    Q_OBJECT

private slots:
    void columnWidths_data();
    void columnWidths();
    void pageBreaks_data();
    void pageBreaks();
};

void tst_ReportLayout::columnWidths_data()
{
    QTest::addColumn<QVector<double>>("natural");
    QTest::addColumn<QVector<bool>>("wraps");
    QTest::addColumn<double>("available");
    QTest::addColumn<QVector<double>>("widths");
    QTest::newRow("fits: the last takes the rest") << QVector<double>{20, 30} << QVector<bool>{false, true} << 100.0
                                                  << QVector<double>{20, 80};
    QTest::newRow("a text column gives up its width, numbers keep theirs")
        << QVector<double>{40, 200} << QVector<bool>{false, true} << 140.0 << QVector<double>{40, 100};
    QTest::newRow("down to its minimum, then every column shrinks")
        << QVector<double>{100, 100} << QVector<bool>{false, true} << 120.0 << QVector<double>{75, 45};
    QTest::newRow("text columns give in proportion to what they have above the minimum")
        << QVector<double>{100, 140, 20} << QVector<bool>{true, true, false} << 200.0 << QVector<double>{80, 100, 20};
    QTest::newRow("none") << QVector<double>() << QVector<bool>() << 100.0 << QVector<double>();
}

void tst_ReportLayout::columnWidths()
{
    QFETCH(QVector<double>, natural);
    QFETCH(QVector<bool>, wraps);
    QFETCH(double, available);
    QFETCH(QVector<double>, widths);
    const QVector<double> laid = ReportLayout::columnWidths(natural, wraps, available, 60);
    QCOMPARE(laid.size(), widths.size());
    for (int i = 0; i < laid.size(); ++i)
        QVERIFY2(qAbs(laid.at(i) - widths.at(i)) < 1e-9, qPrintable(QStringLiteral("column %1: %2").arg(i).arg(laid.at(i))));
}

void tst_ReportLayout::pageBreaks_data()
{
    QTest::addColumn<QVector<double>>("rows");
    QTest::addColumn<double>("first");
    QTest::addColumn<QVector<int>>("breaks");
    // Pages of 100 with a header of 10: 9 rows of 10 a page.
    QTest::newRow("one page") << QVector<double>(9, 10) << 100.0 << QVector<int>{0};
    QTest::newRow("the tenth row on the next page") << QVector<double>(10, 10) << 100.0 << QVector<int>{0, 9};
    QTest::newRow("a row exactly filling the page stays") << QVector<double>{10, 80} << 100.0 << QVector<int>{0};
    QTest::newRow("less left on the first page") << QVector<double>(20, 10) << 45.0 << QVector<int>{0, 3, 12};
    QTest::newRow("a row taller than a page stands alone")
        << QVector<double>{10, 150, 10} << 100.0 << QVector<int>{0, 1, 2};
    QTest::newRow("no rows") << QVector<double>() << 100.0 << QVector<int>();
}

void tst_ReportLayout::pageBreaks()
{
    QFETCH(QVector<double>, rows);
    QFETCH(double, first);
    QFETCH(QVector<int>, breaks);
    QCOMPARE(ReportLayout::pageBreaks(rows, first, 100, 10), breaks);
}

QTEST_GUILESS_MAIN(tst_ReportLayout)
#include "tst_ReportLayout.moc"
