// Which requests count as made by another site's page.
#include "HttpListenerSettings.h"
#include "RequestOrigin.h"

#include <QtTest>

class TestRequestOrigin : public QObject
{
    Q_OBJECT
private slots:
    void foreign_data();
    void foreign();
    void ownHost_data();
    void ownHost();
    void configuredNames();
    void client_data();
    void client();
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

void TestRequestOrigin::ownHost_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("own");

    QTest::newRow("no host: HTTP/1.0 scripts") << QByteArray() << true;
    QTest::newRow("IPv4 with port") << QByteArray("127.0.0.1:8080") << true;
    QTest::newRow("IPv4") << QByteArray("192.168.1.20") << true;
    QTest::newRow("IPv6 with port") << QByteArray("[::1]:8080") << true;
    QTest::newRow("IPv6") << QByteArray("[fe80::1]") << true;
    QTest::newRow("localhost") << QByteArray("localhost:8080") << true;
    QTest::newRow("localhost in capitals, final dot") << QByteArray("LocalHost.:80") << true;
    QTest::newRow("own name") << QByteArray("plant:8080") << true;
    QTest::newRow("own name with domain") << QByteArray("Plant.Lan") << true;
    QTest::newRow("configured name") << QByteArray("capture.example.org:443") << true;

    QTest::newRow("rebound name") << QByteArray("attacker.example:8080") << false;
    QTest::newRow("address as a subdomain") << QByteArray("127.0.0.1.attacker.example") << false;
    QTest::newRow("subdomain of localhost") << QByteArray("x.localhost") << false;
    QTest::newRow("subdomain of a configured name")
        << QByteArray("evil.capture.example.org") << false;
    QTest::newRow("own name as a prefix") << QByteArray("plant.attacker.example") << false;
    QTest::newRow("user info") << QByteArray("attacker.example@127.0.0.1") << false;
    QTest::newRow("path") << QByteArray("127.0.0.1/x") << false;
    QTest::newRow("bad port") << QByteArray("127.0.0.1:x") << false;
}

void TestRequestOrigin::ownHost()
{
    QFETCH(QByteArray, host);
    QFETCH(bool, own);
    const QStringList names{"plant", "plant.lan", "capture.example.org"};
    QCOMPARE(RequestOrigin::isOwnHost(host, names), own);
}

void TestRequestOrigin::configuredNames()
{
    // The entries as the key table gives them: split at commas and trimmed.
    QCOMPARE(RequestOrigin::hostNames({"Capture.Example.org", "plant.lan.", ".", "x"}),
             QStringList({"capture.example.org", "plant.lan", "x"}));
    QCOMPARE(RequestOrigin::hostNames({}), QStringList());
}

void TestRequestOrigin::client_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QList<QByteArray>>("forwardedFor");
    QTest::addColumn<QString>("client");
    using H = QList<QByteArray>;
    const QString proxy = "127.0.0.1";

    QTest::newRow("proxy, no header") << proxy << H{} << proxy;
    QTest::newRow("proxy for one client") << proxy << H{"10.0.0.1"} << "10.0.0.1";
    // What the client sent itself lies to the left: only the proxy's own entry counts.
    QTest::newRow("client sent one of its own") << proxy << H{"10.0.0.2, 10.0.0.1"} << "10.0.0.1";
    QTest::newRow("two proxies") << proxy << H{"10.0.0.2, 10.0.0.1, ::1"} << "10.0.0.1";
    QTest::newRow("headers in order") << proxy << H{"10.0.0.2", "10.0.0.1"} << "10.0.0.1";
    QTest::newRow("only proxies: the farthest") << proxy << H{"::1, 127.0.0.1"} << "::1";
    QTest::newRow("IPv6 client") << proxy << H{"2001:db8::7"} << "2001:db8::7";
    QTest::newRow("ports") << proxy << H{"[2001:db8::7]:443, 10.0.0.1:51000"} << "10.0.0.1";
    QTest::newRow("bracketed IPv6") << proxy << H{"[2001:db8::7]"} << "2001:db8::7";
    QTest::newRow("IPv4 of a dual-stack socket")
        << "::ffff:127.0.0.1" << H{"::ffff:10.0.0.1"} << "10.0.0.1";
    // An entry that is no address: the walk ends at the hop that wrote it.
    QTest::newRow("no address") << proxy << H{"unknown"} << proxy;
    QTest::newRow("no address further left") << proxy << H{"garbage, 10.0.0.1, ::1"} << "10.0.0.1";
    QTest::newRow("empty entry") << proxy << H{"10.0.0.1, "} << proxy;
    // A caller that is no listed proxy cannot name its own address.
    QTest::newRow("other peer") << "127.0.0.2" << H{"10.0.0.1"} << "127.0.0.2";
    QTest::newRow("other peer, proxy named") << "127.0.0.2" << H{"127.0.0.1"} << "127.0.0.2";
}

void TestRequestOrigin::client()
{
    QFETCH(QString, peer);
    QFETCH(QList<QByteArray>, forwardedFor);
    QFETCH(QString, client);
    const QList<QHostAddress> proxies = HttpListenerSettings::addresses({"127.0.0.1", "::1"});
    QCOMPARE(RequestOrigin::client(QHostAddress(peer), forwardedFor, proxies).toString(), client);
}

QTEST_GUILESS_MAIN(TestRequestOrigin)
#include "tst_requestorigin.moc"
