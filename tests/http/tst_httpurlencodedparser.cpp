#include "HttpUrlEncodedParser.h"

#include <QtTest>

using Params = QMultiMap<QByteArray, QByteArray>;
Q_DECLARE_METATYPE(Params)

class TestHttpUrlEncodedParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void lastOccurrenceWins();
    void percentDecodeInPaths();
};

static Params params(std::initializer_list<std::pair<QByteArray, QByteArray>> pairs)
{
    Params p;
    for (const auto& pair : pairs)
        p.insert(pair.first, pair.second);
    return p;
}

void TestHttpUrlEncodedParser::parse_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Params>("expected");

    QTest::newRow("pairs") << QByteArray("a=1&b=2") << params({{"a", "1"}, {"b", "2"}});
    QTest::newRow("plus is space") << QByteArray("q=hello+world") << params({{"q", "hello world"}});
    QTest::newRow("escapes") << QByteArray("n=%41%62%2B%26%3d") << params({{"n", "Ab+&="}});
    QTest::newRow("escaped key") << QByteArray("a%20b=c") << params({{"a b", "c"}});
    QTest::newRow("utf-8 bytes") << QByteArray("t=%C3%A4") << params({{"t", "\xC3\xA4"}});
    QTest::newRow("key without =") << QByteArray("flag&x=1") << params({{"flag", ""}, {"x", "1"}});
    QTest::newRow("empty value") << QByteArray("x=") << params({{"x", ""}});
    QTest::newRow("= in value") << QByteArray("x=a=b") << params({{"x", "a=b"}});
    QTest::newRow("empty pieces") << QByteArray("&&a=1&") << params({{"a", "1"}});
    QTest::newRow("bad escape kept") << QByteArray("x=%zz%4") << params({{"x", "%zz%4"}});
    QTest::newRow("lone percent") << QByteArray("x=100%") << params({{"x", "100%"}});
    QTest::newRow("percent at end of key") << QByteArray("%=1") << params({{"%", "1"}});
    QTest::newRow("empty key skipped") << QByteArray("=1&&=&b") << params({{"b", ""}});
    QTest::newRow("empty") << QByteArray() << Params();
}

void TestHttpUrlEncodedParser::parse()
{
    QFETCH(QByteArray, input);
    QFETCH(Params, expected);
    Params result;
    HttpUrlEncodedParser::parse(input, result);
    QCOMPARE(result, expected);
    // The count that guards the parse agrees with it, however the input is split.
    HttpUrlEncodedParser::PairCounter counter;
    for (const char c : input)
        counter.feed(&c, 1);
    QCOMPARE(counter.count(), qint64(expected.size()));
    QCOMPARE(HttpUrlEncodedParser::countPairs(input), qint64(expected.size()));
}

void TestHttpUrlEncodedParser::lastOccurrenceWins()
{
    Params result;
    HttpUrlEncodedParser::parse("id=1&id=2&id=3", result);
    QCOMPARE(result.value("id"), QByteArray("3"));
    // The program copies the map into a QMap: the copy must agree.
    const QMap<QByteArray, QByteArray> copy = result;
    QCOMPARE(copy.value("id"), QByteArray("3"));
    QCOMPARE(result.values("id").size(), 3);
}

void TestHttpUrlEncodedParser::percentDecodeInPaths()
{
    // In a path '+' is a plus.
    QCOMPARE(HttpUrlEncodedParser::percentDecode("/a+b%20c", false), QByteArray("/a+b c"));
    QCOMPARE(HttpUrlEncodedParser::percentDecode("%2e%2E%2f", false), QByteArray("../"));
}

QTEST_APPLESS_MAIN(TestHttpUrlEncodedParser)
#include "tst_httpurlencodedparser.moc"
