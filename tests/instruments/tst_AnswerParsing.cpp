#include "AnswerParsing.h"

#include <QLocale>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

const double noNumber = std::numeric_limits<double>::quiet_NaN();

} // namespace

class tst_AnswerParsing : public QObject
{
    Q_OBJECT

private slots:
    void toNumber_data();
    void toNumber();
    void toNumberUnderCommaLocale();
    void toNumberList_data();
    void toNumberList();
    void notANumberTrouble_data();
    void notANumberTrouble();
    void identity_data();
    void identity();
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
    QTest::newRow("comma decimal") << QByteArray("12,5") << noNumber;
    QTest::newRow("empty") << QByteArray() << noNumber;
    QTest::newRow("lone LF") << QByteArray("\n") << noNumber;
    QTest::newRow("text") << QByteArray("ERROR") << noNumber;
    QTest::newRow("overload message") << QByteArray("OVERLOAD\r\n") << noNumber;
    QTest::newRow("number then text") << QByteArray("12.5 dBm") << noNumber;
    QTest::newRow("zero") << QByteArray("0\n") << 0.0;
    QTest::newRow("NaN") << QByteArray("NaN") << noNumber;
    QTest::newRow("infinity") << QByteArray("inf") << noNumber;
    QTest::newRow("overflow") << QByteArray("1e400") << noNumber;
}

void tst_AnswerParsing::toNumber()
{
    QFETCH(QByteArray, bytes);
    QFETCH(double, expected);
    const double value = AnswerParsing::toNumber(bytes);
    QCOMPARE(value, expected);
    QCOMPARE(AnswerParsing::isNumber(bytes), !std::isnan(expected));
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
    QTest::newRow("lone LF") << QByteArray("\n") << QList<double>{noNumber};
    QTest::newRow("empty fields") << QByteArray(",,3\n") << QList<double>{3.0};
    QTest::newRow("trailing comma") << QByteArray("1,2,\n") << QList<double>{1.0, 2.0, noNumber};
    QTest::newRow("LF before comma") << QByteArray("1\n,2\n") << QList<double>{1.0, 2.0};
    QTest::newRow("CR LF") << QByteArray("4.5\r\n") << QList<double>{4.5};
    QTest::newRow("zero byte") << QByteArray("1,2\0,3\n", 7) << QList<double>{1.0, 2.0};
    QTest::newRow("nothing") << QByteArray() << QList<double>{};
    QTest::newRow("not numbers") << QByteArray("a,NaN,7\n") << QList<double>{noNumber, noNumber, 7.0};
    QTest::newRow("overload among peaks") << QByteArray("-10.5,OVER,0\n") << QList<double>{-10.5, noNumber, 0.0};
    QTest::newRow("exponent Hz") << QByteArray("1.0005E+09,-45.2\n") << QList<double>{1.0005e9, -45.2};
}

void tst_AnswerParsing::toNumberList()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<double>, expected);
    const QList<double> values = AnswerParsing::toNumberList(bytes);
    QCOMPARE(values.size(), expected.size());
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(values.at(i), expected.at(i));
}

void tst_AnswerParsing::notANumberTrouble_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("list");
    QTest::addColumn<QString>("expected");
    QTest::newRow("overload") << QByteArray("FETC?") << QByteArray("OVERLOAD\r\n") << false
                              << R"(answer to FETC? is not a number: "OVERLOAD")";
    QTest::newRow("empty line") << QByteArray("FETC2?") << QByteArray("\n") << false
                                << R"(answer to FETC2? is not a number: "")";
    QTest::newRow("quote and backslash") << QByteArray("DIAG:INFO:TEMP?") << QByteArray("-113,\"Undefined\\\"\n")
                                         << false << R"(answer to DIAG:INFO:TEMP? is not a number: "-113,\"Undefined\\\"")";
    QTest::newRow("binary") << QByteArray("FETCH:POW:AC?") << QByteArray("#\x01garbage,,;x\xff\0\n", 16)
                            << false << R"(answer to FETCH:POW:AC? is not a number: "#\x01garbage,,;x\xff\x00")";
    QTest::newRow("two lines") << QByteArray("FETC?") << QByteArray("1\r\n2\n") << false
                               << R"(answer to FETC? is not a number: "1\r\n2")";
    QTest::newRow("long answer is cut") << QByteArray("FETC?") << QByteArray(1024 * 1024, '7') << false
                                        << R"(answer to FETC? is not a number: "7777777777777777777777777777777777777777"... (1048576 bytes))";
    QTest::newRow("escapes are never cut") << QByteArray("FETC?") << QByteArray(39, 'x') + QByteArray("\xfe\xfe\n")
                                           << false
                                           << R"(answer to FETC? is not a number: "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"... (42 bytes))";
    QTest::newRow("list") << QByteArray("calc:mark:func:fpe:y?") << QByteArray("-10.5,OVER,-60\n") << true
                          << R"(answer to calc:mark:func:fpe:y? is not a list of numbers: "-10.5,OVER,-60")";
    QTest::newRow("unnamed query") << QByteArray() << QByteArray("x\n") << false
                                   << R"(answer to a query is not a number: "x")";
}

void tst_AnswerParsing::notANumberTrouble()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, answer);
    QFETCH(bool, list);
    QFETCH(QString, expected);
    const QString trouble = AnswerParsing::notANumberTrouble(
        query, answer, list ? AnswerParsing::Expected::NumberList : AnswerParsing::Expected::Number);
    QCOMPARE(trouble, expected);
}

void tst_AnswerParsing::identity_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("expected");
    QTest::newRow("CR LF") << QByteArray("ORVANE,SG-6000,123,1.2\r\n") << "ORVANE,SG-6000,123,1.2";
    QTest::newRow("spaces around") << QByteArray(" \tKVD,KVD4471B,4,1.0 \n") << "KVD,KVD4471B,4,1.0";
    // The record keeps one line per instrument: a second line never slips into it.
    QTest::newRow("two lines") << QByteArray("A,B,1,2\nstray\n") << "A,B,1,2";
    QTest::newRow("zero byte") << QByteArray("A,B\0junk\n", 10) << "A,B";
    QTest::newRow("control and high bytes") << QByteArray("A\x1b[31m,\xb5W\n") << "A?[31m,?W";
    QTest::newRow("lone LF") << QByteArray("\n") << "";
    QTest::newRow("nothing") << QByteArray() << "";
    QTest::newRow("long answer is cut") << QByteArray(5000, 'x') + '\n' << QString(AnswerParsing::identityCharacters, 'x');
}

void tst_AnswerParsing::identity()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, expected);
    QCOMPARE(AnswerParsing::identity(answer), expected);
}

QTEST_GUILESS_MAIN(tst_AnswerParsing)
#include "tst_AnswerParsing.moc"
