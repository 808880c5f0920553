#include "HttpCookie.h"
#include "HttpResponse.h"
#include "HttpTestClient.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <memory>

// A connected pair: the response writes to the server side, the test reads the client side.
class TestHttpResponse : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void framing_data();
    void framing();
    void headerNamesCaseInsensitive();
    void headerInjectionRemoved();
    void cookiesAndRedirect();
    void writesAfterLastPartIgnored();
    void goneClientDoesNotBlock();

private:
    QTcpServer m_server;
    std::unique_ptr<HttpTestClient> m_client;
    QTcpSocket* m_serverSide = nullptr;
};

void TestHttpResponse::init()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
    m_client.reset(new HttpTestClient);
    QVERIFY(m_client->connectTo(m_server.serverPort()));
    QVERIFY(m_server.waitForNewConnection(5000));
    m_serverSide = m_server.nextPendingConnection();
    QVERIFY(m_serverSide);
}

void TestHttpResponse::cleanup()
{
    delete m_serverSide;
    m_serverSide = nullptr;
    m_client.reset();
    m_server.close();
}

void TestHttpResponse::framing_data()
{
    QTest::addColumn<bool>("http10");
    QTest::addColumn<bool>("keepAlive");
    QTest::addColumn<bool>("head");
    QTest::addColumn<bool>("presetLength");
    QTest::addColumn<QByteArrayList>("parts"); // the last one is written as the last part
    QTest::addColumn<QByteArray>("framing");   // "length", "chunked" or "close"
    QTest::addColumn<bool>("closes");

    QTest::newRow("one write") << false << true << false << false << QByteArrayList{"hello"}
                               << QByteArray("length") << false;
    QTest::newRow("empty") << false << true << false << false << QByteArrayList{""}
                           << QByteArray("length") << false;
    QTest::newRow("several writes")
        << false << true << false << false << QByteArrayList{"a", "", "bc\r\n0\r\n", ""}
        << QByteArray("chunked") << false;
    QTest::newRow("client asked close")
        << false << false << false << false << QByteArrayList{"x"} << QByteArray("length") << true;
    QTest::newRow("http/1.0 one write")
        << true << false << false << false << QByteArrayList{"x"} << QByteArray("length") << true;
    QTest::newRow("http/1.0 keep-alive")
        << true << true << false << false << QByteArrayList{"x"} << QByteArray("length") << false;
    QTest::newRow("http/1.0 several writes")
        << true << true << false << false << QByteArrayList{"a", "b", ""} << QByteArray("close")
        << true;
    QTest::newRow("handler set length")
        << false << true << false << true << QByteArrayList{"ab", "cd", ""} << QByteArray("length")
        << false;
    QTest::newRow("head") << false << true << true << false << QByteArrayList{"body"}
                          << QByteArray("length") << false;
}

void TestHttpResponse::framing()
{
    QFETCH(bool, http10);
    QFETCH(bool, keepAlive);
    QFETCH(bool, head);
    QFETCH(bool, presetLength);
    QFETCH(QByteArrayList, parts);
    QFETCH(QByteArray, framing);
    QFETCH(bool, closes);

    HttpResponse response(m_serverSide, 5000);
    response.setRequestInfo(http10, keepAlive, head);
    if (presetLength)
        response.setHeader("Content-Length", int(parts.join().size()));
    for (int i = 0; i < parts.size(); ++i)
        response.write_sync(parts.at(i), i == parts.size() - 1);
    QVERIFY(response.hasSentLastPart());
    QCOMPARE(response.closeAfterResponse(), closes);
    if (closes)
        m_serverSide->disconnectFromHost(); // what the connection does next

    const HttpTestReply reply = m_client->readReply(5000, nullptr, head);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, head ? QByteArray() : parts.join());
    if (framing == "length")
        QCOMPARE(reply.header("content-length"), QByteArray::number(parts.join().size()));
    QCOMPARE(reply.header("transfer-encoding") == "chunked", framing == "chunked");
    if (framing == "close")
        QVERIFY(!reply.headers.contains("content-length"));
    QCOMPARE(reply.header("connection").toLower(),
             closes ? QByteArray("close") : (http10 ? QByteArray("keep-alive") : QByteArray()));
}

void TestHttpResponse::headerNamesCaseInsensitive()
{
    HttpResponse response(m_serverSide);
    response.setHeader("Content-Type", "text/html");
    response.setHeader("Content-type", "text/csv");
    response.setHeader("X-Number", 42);
    QCOMPARE(response.getHeaders().size(), 2);
    QCOMPARE(response.getHeader("CONTENT-TYPE"), QByteArray("text/csv"));
    response.write("a;b", true);

    const HttpTestReply reply = m_client->readReply();
    QCOMPARE(reply.headerNames.count("Content-type"), 1); // sent as given, once
    QVERIFY(!reply.headerNames.contains("Content-Type"));
    QCOMPARE(reply.header("content-type"), QByteArray("text/csv"));
    QCOMPARE(reply.header("x-number"), QByteArray("42"));
}

void TestHttpResponse::headerInjectionRemoved()
{
    HttpResponse response(m_serverSide);
    // A file name taken from the request ends up in a header.
    response.setHeader("Content-Disposition",
                       "attachment; filename=\"a\r\nSet-Cookie: evil=1\r\n\"");
    response.setStatus(200, "OK\r\nX-Injected: 1");
    response.write("x", true);
    const HttpTestReply reply = m_client->readReply();
    QVERIFY(reply.complete);
    QVERIFY(reply.setCookies.isEmpty());
    QVERIFY(!reply.headers.contains("x-injected"));
    QCOMPARE(reply.header("content-disposition"),
             QByteArray("attachment; filename=\"aSet-Cookie: evil=1\""));
}

void TestHttpResponse::cookiesAndRedirect()
{
    HttpResponse response(m_serverSide);
    response.setCookie(HttpCookie("user", "first", 0));
    response.setCookie(HttpCookie("user", "admin", 0));
    response.setCookie(HttpCookie("token", "1", 0));
    response.redirect("/login.html");
    QVERIFY(response.hasSentLastPart());

    const HttpTestReply reply = m_client->readReply();
    QCOMPARE(reply.status, 303);
    QCOMPARE(reply.header("location"), QByteArray("/login.html"));
    QCOMPARE(reply.setCookies, (QList<QByteArray>{"token=1; Path=/", "user=admin; Path=/"}));
}

void TestHttpResponse::writesAfterLastPartIgnored()
{
    HttpResponse response(m_serverSide);
    response.setStatus(400, QByteArray());
    response.write("", true);
    response.write("late", true);
    response.write_sync("later");
    m_serverSide->disconnectFromHost();
    const HttpTestReply reply = m_client->readReply();
    QCOMPARE(reply.status, 400);
    QCOMPARE(reply.reason, QByteArray("Bad Request"));
    QCOMPARE(reply.body, QByteArray());
    QVERIFY(m_client->waitForClose());
    QVERIFY(m_client->socket().readAll().isEmpty());
}

void TestHttpResponse::goneClientDoesNotBlock()
{
    m_client->socket().abort();
    HttpResponse response(m_serverSide, 30000);
    QElapsedTimer timer;
    timer.start();
    const QByteArray chunk(512 * 1024, 'x');
    for (int i = 0; i < 40; ++i)
        response.write(chunk);
    response.write_sync(QByteArray(), true);
    QVERIFY(!response.isConnected());
    QVERIFY2(timer.elapsed() < 10000, "writes waited for a client that is gone");
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
