#include "AnswerParsing.h"

#include <QLocale>
#include <QtTest>

class tst_AnswerParsing : public QObject
{
    Q_OBJECT

private slots:
    void toNumber_data();
    void toNumber();
    void toNumberUnderCommaLocale();
    void toNumberList_data();
    void toNumberList();
};

void tst_AnswerParsing::toNumber_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<double>("expected");
    QTest::newRow("plain") << QByteArray("12.5") << 12.5;
    QTest::newRow("negative") << QByteArray("-23.5") << -23.5;
    QTest::newRow("trailing CR") << QByteArray("12.5\r") << 12.5;
    QTest::newRow("spaces around") << QByteArray(" \t4.25 \r\n") << 4.25;
    QTest::newRow("exponent") << QByteArray("-1.5E-3") << -0.0015;
    QTest::newRow("comma decimal") << QByteArray("12,5") << 0.0;
    QTest::newRow("empty") << QByteArray() << 0.0;
    QTest::newRow("text") << QByteArray("ERROR") << 0.0;
    QTest::newRow("number then text") << QByteArray("12.5 dBm") << 0.0;
    QTest::newRow("NaN") << QByteArray("NaN") << 0.0;
    QTest::newRow("infinity") << QByteArray("inf") << 0.0;
    QTest::newRow("overflow") << QByteArray("1e400") << 0.0;
}

void tst_AnswerParsing::toNumber()
{
    QFETCH(QByteArray, bytes);
    QFETCH(double, expected);
    QCOMPARE(AnswerParsing::toNumber(bytes), expected);
}

void tst_AnswerParsing::toNumberUnderCommaLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const double value = AnswerParsing::toNumber("1234.5");
    const QList<double> list = AnswerParsing::toNumberList("1.5,2.5\n");
    QLocale::setDefault(previous);
    QCOMPARE(value, 1234.5);
    QCOMPARE(list, (QList<double>{1.5, 2.5}));
}

void tst_AnswerParsing::toNumberList_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<double>>("expected");
    QTest::newRow("two values") << QByteArray("1.5,-2.25\n") << QList<double>{1.5, -2.25};
    QTest::newRow("one value") << QByteArray("-30.5\n") << QList<double>{-30.5};
    QTest::newRow("lone LF") << QByteArray("\n") << QList<double>{0.0};
    QTest::newRow("empty fields") << QByteArray(",,3\n") << QList<double>{3.0};
    QTest::newRow("trailing comma") << QByteArray("1,2,\n") << QList<double>{1.0, 2.0, 0.0};
    QTest::newRow("LF before comma") << QByteArray("1\n,2\n") << QList<double>{1.0, 2.0};
    QTest::newRow("CR LF") << QByteArray("4.5\r\n") << QList<double>{4.5};
    QTest::newRow("zero byte") << QByteArray("1,2\0,3\n", 7) << QList<double>{1.0, 2.0};
    QTest::newRow("nothing") << QByteArray() << QList<double>{};
    QTest::newRow("not numbers") << QByteArray("a,NaN,7\n") << QList<double>{0.0, 0.0, 7.0};
    QTest::newRow("exponent Hz") << QByteArray("1.0005E+09,-45.2\n") << QList<double>{1.0005e9, -45.2};
}

void tst_AnswerParsing::toNumberList()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<double>, expected);
    QCOMPARE(AnswerParsing::toNumberList(bytes), expected);
}

QTEST_GUILESS_MAIN(tst_AnswerParsing)
#include "tst_AnswerParsing.moc"
