// Which requests count as made by another site's page.
#include "RequestOrigin.h"

#include <QtTest>

class TestRequestOrigin : public QObject
{
    Q_OBJECT
private slots:
    void foreign_data();
    void foreign();
};

void TestRequestOrigin::foreign_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("referer");
    QTest::addColumn<QByteArray>("fetchSite");
    QTest::addColumn<bool>("foreign");
    const QByteArray none;
    const QByteArray self = "127.0.0.1:8080";

    // Scripts, curl and old browsers send none of the headers.
    QTest::newRow("no headers") << self << none << none << none << false;
    QTest::newRow("no headers, no host") << none << none << none << none << false;

    QTest::newRow("same origin") << self << QByteArray("http://127.0.0.1:8080") << none << none
                                 << false;
    QTest::newRow("same origin, host in capitals")
        << QByteArray("LOCALHOST:8080") << QByteArray("http://localhost:8080") << none << none
        << false;
    QTest::newRow("default port on both sides")
        << QByteArray("plant.example") << QByteArray("http://plant.example") << none << none
        << false;
    QTest::newRow("default port written out")
        << QByteArray("plant.example:80") << QByteArray("http://plant.example") << none << none
        << false;
    QTest::newRow("https through a proxy on 443")
        << QByteArray("plant.example") << QByteArray("https://plant.example") << none << none
        << false;
    QTest::newRow("IPv6") << QByteArray("[::1]:8080") << QByteArray("http://[::1]:8080") << none
                          << none << false;
    QTest::newRow("same-origin referer")
        << self << none << QByteArray("http://127.0.0.1:8080/root/home.html?x=1") << none << false;
    QTest::newRow("fetch site same-origin") << self << QByteArray("http://127.0.0.1:8080") << none
                                            << QByteArray("same-origin") << false;
    QTest::newRow("typed address") << self << none << none << QByteArray("none") << false;

    QTest::newRow("other host") << self << QByteArray("http://evil.example") << none << none
                                << true;
    QTest::newRow("other port") << self << QByteArray("http://127.0.0.1:3000") << none << none
                                << true;
    QTest::newRow("port only on the origin")
        << QByteArray("127.0.0.1") << QByteArray("http://127.0.0.1:8080") << none << none << true;
    QTest::newRow("localhost is not 127.0.0.1")
        << self << QByteArray("http://localhost:8080") << none << none << true;
    QTest::newRow("opaque origin") << self << QByteArray("null") << none << none << true;
    QTest::newRow("file page") << self << QByteArray("file://") << none << none << true;
    QTest::newRow("other scheme") << self << QByteArray("ftp://127.0.0.1:8080") << none << none
                                  << true;
    QTest::newRow("origin wins over referer")
        << self << QByteArray("http://evil.example")
        << QByteArray("http://127.0.0.1:8080/home.html") << none << true;
    QTest::newRow("other-site referer")
        << self << none << QByteArray("http://evil.example/page.html") << none << true;
    QTest::newRow("referer on another port")
        << self << none << QByteArray("http://127.0.0.1:8081/page.html") << none << true;
    QTest::newRow("origin but no host")
        << none << QByteArray("http://127.0.0.1:8080") << none << none << true;
    QTest::newRow("host with a path")
        << QByteArray("127.0.0.1:8080/x") << QByteArray("http://127.0.0.1:8080") << none << none
        << true;
    QTest::newRow("host with user info")
        << QByteArray("evil.example@127.0.0.1:8080") << QByteArray("http://127.0.0.1:8080") << none
        << none << true;
    // The page hid its address (no-referrer), but the browser still tells the site.
    QTest::newRow("fetch site cross-site without origin")
        << self << none << none << QByteArray("cross-site") << true;
    QTest::newRow("fetch site same-site is another origin")
        << self << none << none << QByteArray("same-site") << true;
}

void TestRequestOrigin::foreign()
{
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, referer);
    QFETCH(QByteArray, fetchSite);
    QFETCH(bool, foreign);
    QCOMPARE(RequestOrigin::isForeign(host, origin, referer, fetchSite), foreign);
}

QTEST_GUILESS_MAIN(TestRequestOrigin)
#include "tst_requestorigin.moc"
