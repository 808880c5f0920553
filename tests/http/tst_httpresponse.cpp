#include "HttpCookie.h"
#include "HttpResponse.h"
#include "HttpTestClient.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QThread>
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
    void deadlineEndsWaitsForSlowClient();
    void abortLeavesBodyIncomplete();
    void largeBodiesArriveWhole_data();
    void largeBodiesArriveWhole();

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

void TestHttpResponse::deadlineEndsWaitsForSlowClient()
{
    // The client takes nothing: each write would wait the whole write time-out for it.
    m_serverSide->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 65536);
    HttpResponse response(m_serverSide, 30000);
    response.setDeadline(QDeadlineTimer(300));
    QElapsedTimer timer;
    timer.start();
    const QByteArray chunk(512 * 1024, 'x');
    for (int i = 0; i < 200 && response.isConnected(); ++i)
        response.write(chunk);
    QVERIFY(!response.isConnected());
    QVERIFY2(timer.elapsed() < 10000, "writes waited past the deadline");
    QVERIFY(m_client->waitForClose(10000));
}

void TestHttpResponse::abortLeavesBodyIncomplete()
{
    HttpResponse response(m_serverSide);
    response.write("{\"Rows\":[");
    response.abort();
    response.write("]}", true);
    QVERIFY(!response.isConnected());
    QVERIFY(response.hasSentLastPart());
    const HttpTestReply reply = m_client->readReply();
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("transfer-encoding"), QByteArray("chunked"));
    QVERIFY(!reply.complete);
    QCOMPARE(reply.body, QByteArray("{\"Rows\":["));
}

// Bodies far larger than the socket's buffers, so that the kernel takes each write only in
// part: what is left must follow in order, behind bytes already queued on the socket and ahead
// of the next response on the connection.
void TestHttpResponse::largeBodiesArriveWhole_data()
{
    QTest::addColumn<int>("parts"); // writes of the body; more than one is sent chunked
    QTest::addColumn<bool>("queuedBefore");
    QTest::addColumn<bool>("head");
    QTest::newRow("one write") << 1 << false << false;
    QTest::newRow("chunked") << 3 << false << false;
    QTest::newRow("behind queued bytes") << 1 << true << false;
    QTest::newRow("chunked behind queued bytes") << 2 << true << false;
    QTest::newRow("head") << 1 << false << true;
}

void TestHttpResponse::largeBodiesArriveWhole()
{
    QFETCH(int, parts);
    QFETCH(bool, queuedBefore);
    QFETCH(bool, head);
    QByteArray body(8 * 1024 * 1024 + 13, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (char& c : body)
        c = char('a' + random.bounded(26));

    // The client reads on a thread of its own while this one writes.
    HttpTestReply interim, reply, next;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QThread* client = QThread::create([&] {
        HttpTestClient c;
        if (!c.connectTo(m_server.serverPort()))
            return;
        if (queuedBefore)
            interim = c.readReply(20000);
        reply = c.readReply(60000, &hash, head);
        next = c.readReply(20000);
    });
    client->start();
    QVERIFY(m_server.waitForNewConnection(10000));
    QTcpSocket* socket = m_server.nextPendingConnection();
    QVERIFY(socket);
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 65536);
    if (queuedBefore)
        socket->write("HTTP/1.1 100 Continue\r\n\r\n"); // waits in the socket's buffer

    {
        HttpResponse response(socket, 30000);
        response.setRequestInfo(false, true, head);
        const int step = body.size() / parts;
        for (int i = 0; i < parts; ++i) {
            const bool last = i == parts - 1;
            response.write(body.mid(i * step, last ? -1 : step), last);
        }
        HttpResponse second(socket, 30000);
        second.write_sync("next", true);
        QVERIFY(second.isConnected());
    }
    QVERIFY(client->wait(60000));
    delete client;
    delete socket;

    if (queuedBefore)
        QCOMPARE(interim.status, 100);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("transfer-encoding") == "chunked", parts > 1);
    QCOMPARE(reply.bodySize, head ? 0 : qint64(body.size()));
    if (!head)
        QCOMPARE(hash.result(), QCryptographicHash::hash(body, QCryptographicHash::Sha256));
    QVERIFY(next.complete);
    QCOMPARE(next.body, QByteArray("next"));
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
