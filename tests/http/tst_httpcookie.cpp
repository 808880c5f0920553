#include "HttpCookie.h"

#include <QtTest>

using CookieMap = QMap<QByteArray, QByteArray>;
Q_DECLARE_METATYPE(HttpCookie)
Q_DECLARE_METATYPE(CookieMap)

class TestHttpCookie : public QObject
{
    Q_OBJECT

private slots:
    void toByteArray_data();
    void toByteArray();
    void parseCookieHeader_data();
    void parseCookieHeader();
    void validNames_data();
    void validNames();
};

void TestHttpCookie::toByteArray_data()
{
    QTest::addColumn<HttpCookie>("cookie");
    QTest::addColumn<QByteArray>("expected");

    // The program's cookies: a session cookie must not carry Max-Age=0 (that deletes it).
    QTest::newRow("session cookie")
        << HttpCookie("user", "admin", 0, "/", "", "", false) << QByteArray("user=admin; Path=/");
    QTest::newRow("max age") << HttpCookie("a", "1", 3600)
                             << QByteArray("a=1; Max-Age=3600; Path=/");
    QTest::newRow("all attributes")
        << HttpCookie("a", "1", 60, "/app", "note", "example.org", true)
        << QByteArray("a=1; Max-Age=60; Path=/app; Domain=example.org; Comment=note; Secure");
    HttpCookie flagged("sid", "abc", 0);
    flagged.setHttpOnly(true);
    flagged.setSameSite("Lax");
    QTest::newRow("httponly samesite")
        << flagged << QByteArray("sid=abc; Path=/; HttpOnly; SameSite=Lax");
    // A value taken from a request must not end the attribute list or the header: then the
    // whole value is encoded, so that it decodes back.
    QTest::newRow("injection encoded")
        << HttpCookie("user", "x; Domain=evil\r\nSet-Cookie: y=1", 0)
        << QByteArray("user=x%3B%20Domain=evil%0D%0ASet-Cookie:%20y=1; Path=/");
    QTest::newRow("percent encoded with the rest")
        << HttpCookie("user", "50%\"off\"", 0) << QByteArray("user=50%25%22off%22; Path=/");
    QTest::newRow("backslash encoded")
        << HttpCookie("user", "dom\\\xC5\x81", 0) << QByteArray("user=dom%5C%C5%81; Path=/");
    QTest::newRow("blank at an end encoded")
        << HttpCookie("user", "Jan ", 0) << QByteArray("user=Jan%20; Path=/");
    QTest::newRow("no UTF-8 encoded")
        << HttpCookie("user", "J\xF6rg", 0) << QByteArray("user=J%F6rg; Path=/");
    // Browsers take anything else as it is and show UTF-8 text as text.
    QTest::newRow("UTF-8 as it is") << HttpCookie("user", "Jan Kowalski\xC5\x81", 0)
                                    << QByteArray("user=Jan Kowalski\xC5\x81; Path=/");
    QTest::newRow("comma, percent and equals as they are")
        << HttpCookie("user", "a,b=100%", 0) << QByteArray("user=a,b=100%; Path=/");
    QTest::newRow("no path") << HttpCookie("a", "1", 0, "") << QByteArray("a=1");
    // A name taken from a request must not name another cookie ("sessionid=X=1").
    QTest::newRow("name that is no token encoded")
        << HttpCookie("sessionid=X; a", "1", 0, "") << QByteArray("sessionid%3DX%3B%20a=1");
}

void TestHttpCookie::toByteArray()
{
    QFETCH(HttpCookie, cookie);
    QFETCH(QByteArray, expected);
    QCOMPARE(cookie.toByteArray(), expected);
}

void TestHttpCookie::parseCookieHeader_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<CookieMap>("expected");

    QTest::newRow("two") << QByteArray("a=1; b=2") << CookieMap{{"a", "1"}, {"b", "2"}};
    QTest::newRow("no spaces") << QByteArray("a=1;b=2") << CookieMap{{"a", "1"}, {"b", "2"}};
    QTest::newRow("quoted") << QByteArray("a=\"x y\"") << CookieMap{{"a", "x y"}};
    QTest::newRow("= in value") << QByteArray("t=a=b==") << CookieMap{{"t", "a=b=="}};
    QTest::newRow("empty value") << QByteArray("user=; x=1") << CookieMap{{"user", ""}, {"x", "1"}};
    QTest::newRow("first wins") << QByteArray("a=1; a=2") << CookieMap{{"a", "1"}};
    QTest::newRow("junk") << QByteArray(";;  ; =x; b") << CookieMap{{"b", ""}};
    QTest::newRow("empty") << QByteArray() << CookieMap();
}

void TestHttpCookie::parseCookieHeader()
{
    QFETCH(QByteArray, header);
    QFETCH(CookieMap, expected);
    QCOMPARE(HttpCookie::parseCookieHeader(header), expected);
}

void TestHttpCookie::validNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("letters and digits") << QByteArray("formToken42") << true;
    QTest::newRow("token punctuation") << QByteArray("!#$%&'*+-.^_`|~") << true;
    for (const char* name : {"", "a=b", "a b", "a;b", "a,b", "a\"b", "a/b", "a:b", "a(b)", "a\tb",
                             "a\x7f", "\xc3\xa9"})
        QTest::newRow(QByteArray("refused: " + QByteArray(name).toHex()).constData())
            << QByteArray(name) << false;
}

void TestHttpCookie::validNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, valid);
    QCOMPARE(HttpCookie::isValidName(name), valid);
}

QTEST_APPLESS_MAIN(TestHttpCookie)
#include "tst_httpcookie.moc"
