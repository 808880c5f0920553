#include "HttpListener.h"
#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"
#include "HttpTestClient.h"
#include "TestServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QMutex>
#include <QProcess>
#include <QSemaphore>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QtTest>

#include <atomic>
#include <stdexcept>

namespace {

constexpr int kChunk = 524288;

// Deterministic bytes of any length; CR, LF and '-' occur as in any binary file.
void fillPattern(QByteArray& buffer, qint64 offset)
{
    char* p = buffer.data();
    for (int i = 0; i < buffer.size(); ++i) {
        const quint64 x = quint64(offset + i) * 0x9E3779B97F4A7C15ull;
        p[i] = char(x >> 56);
    }
}

QByteArray sha1Of(QIODevice* device, qint64* size)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    *size = 0;
    while (!device->atEnd()) {
        const QByteArray block = device->read(1 << 20);
        if (block.isEmpty())
            break;
        *size += block.size();
        hash.addData(block);
    }
    return hash.result().toHex();
}

// Answers by path, the way the tests need it.
class TestHandler : public HttpRequestHandler
{
public:
    QSemaphore inside; // released when a /block request has entered service()
    QSemaphore gate;   // a /block request waits for it

    void service(HttpRequest& request, HttpResponse& response) override
    {
        const QByteArray path = request.getPath();
        if (path == "/params") {
            QByteArray out;
            const auto params = request.getParameterMap();
            for (const QByteArray& key : params.uniqueKeys())
                out += key + '=' + request.getParameter(key) + '\n';
            const auto cookies = request.getCookieMap();
            for (auto it = cookies.cbegin(); it != cookies.cend(); ++it)
                out += "cookie:" + it.key() + '=' + it.value() + '\n';
            for (const QByteArray& key : params.uniqueKeys()) {
                if (QTemporaryFile* file = request.getUploadedFile(key)) {
                    qint64 size = 0;
                    const QByteArray sha = sha1Of(file, &size);
                    out += "file:" + key + '=' + QByteArray::number(size) + ':' + sha + '\n';
                }
            }
            if (!request.getBody().isEmpty())
                out += "body:" + request.getBody() + '\n';
            response.setHeader("Content-Type", "text/plain");
            response.write(out, true);
        } else if (path == "/download") {
            const qint64 size = request.getParameter("size").toLongLong();
            response.setHeader("Content-type", "application/octet-stream");
            QByteArray chunk(kChunk, Qt::Uninitialized);
            for (qint64 offset = 0; offset < size; offset += kChunk) {
                chunk.resize(int(qMin<qint64>(kChunk, size - offset)));
                fillPattern(chunk, offset);
                response.write_sync(chunk, false);
            }
            response.write_sync(QByteArray(), true);
        } else if (path == "/block") {
            inside.release();
            gate.tryAcquire(1, 20000);
            response.write("released", true);
        } else if (path == "/stream") {
            response.write("part1,");
            response.write("part2");
        } else if (path == "/nothing") {
        } else if (path == "/status") {
            response.setStatus(404, "Nope");
        } else if (path == "/throw") {
            throw std::runtime_error("handler failure");
        } else {
            response.write("ok:" + path, true);
        }
    }
};

// Refuses by path once the header is in, and keeps files out of "/params?uploads=no".
class CheckingHandler : public TestHandler
{
public:
    std::atomic<int> served{0};

    void service(HttpRequest& request, HttpResponse& response) override
    {
        ++served;
        TestHandler::service(request, response);
    }
    int checkHeader(const HttpRequest& request, HttpBodyPolicy* body) override
    {
        if (request.getPath() == "/refused")
            return 403;
        if (request.getParameter("uploads") == "no")
            body->uploadsAllowed = false;
        return 0;
    }
};

QByteArray get(const QByteArray& target, const QByteArray& extra = QByteArray())
{
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}

QByteArray post(const QByteArray& target, const QByteArray& contentType, const QByteArray& body)
{
    return "POST " + target + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QStringList g_messages;
QMutex g_messagesMutex;
QtMessageHandler g_previousHandler = nullptr;

void collectMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker lock(&g_messagesMutex);
        g_messages.append(text);
    }
    g_previousHandler(type, context, text);
}

} // namespace

class TestHttpListener : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void announcesBoundPort();
    void failedBindIsReported();
    void parameterSources_data();
    void parameterSources();
    void expectContinue();
    void curlUpload();
    void largeUploadStreamsToFile();
    void largeDownloadWithWriteSync();
    void finishesOpenResponses_data();
    void finishesOpenResponses();
    void malformedRequests_data();
    void malformedRequests();
    void keepAliveAndPipelining();
    void http10ClosesAfterResponse();
    void servesInParallel();
    void busyThreadsGive503_data();
    void busyThreadsGive503();
    void idleThreadsAboveMinimumEnd();
    void readTimeout_data();
    void readTimeout();
    void headerHasOneDeadline();
    void headerCheck_data();
    void headerCheck();
    void defaultHandlerAnswers501();
    void deletingListenerEndsThreads();

private:
    TestHandler m_handler;
};

void TestHttpListener::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(collectMessages);
}

void TestHttpListener::cleanup()
{
    // A failed test must not leave requests blocked for the next one.
    m_handler.gate.release(10);
    while (m_handler.inside.tryAcquire()) {
    }
    while (m_handler.gate.tryAcquire()) {
    }
}

void TestHttpListener::announcesBoundPort()
{
    {
        QMutexLocker lock(&g_messagesMutex);
        g_messages.clear();
    }
    TestServer server(&m_handler);
    QVERIFY(server.isListening());
    QVERIFY(server.port() != 0);
    QMutexLocker lock(&g_messagesMutex);
    QVERIFY2(g_messages.contains(
                 QStringLiteral("HttpListener: listening on port %1").arg(server.port())),
             qPrintable(g_messages.join(QLatin1Char('\n'))));
}

void TestHttpListener::failedBindIsReported()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("config.ini")), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("listener"));
    settings.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    settings.setValue(QStringLiteral("port"), occupant.serverPort());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "^HttpListener: cannot listen on port \\d+: .+")));
    HttpListener listener(&settings, &m_handler);
    QVERIFY(!listener.isListening());
}

void TestHttpListener::parameterSources_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray boundary = "----WebKitFormBoundaryQ1w2E3";
    const QByteArray multipartBody =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\nimport\r\n" +
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"uploadedfile\"; filename=\"cfg.sql\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\nline1\r\n--" +
        boundary.left(10) + "\r\n" + "--" + boundary + "--\r\n";
    const QByteArray sha =
        QCryptographicHash::hash("line1\r\n--" + boundary.left(10), QCryptographicHash::Sha1)
            .toHex();

    QTest::newRow("query") << get("/params?func=getData&x=a%20b+c")
                           << QByteArray("func=getData\nx=a b c\n");
    QTest::newRow("urlencoded body")
        << post("/params?q=1", "application/x-www-form-urlencoded",
                "username=admin&password=%3D%26")
        << QByteArray("password==&\nq=1\nusername=admin\nbody:username=admin&password=%3D%26\n");
    QTest::newRow("chunked body")
        << QByteArray(
               "POST /params HTTP/1.1\r\nHost: x\r\nContent-Type: "
               "application/x-www-form-urlencoded\r\n"
               "Transfer-Encoding: chunked\r\n\r\n4\r\na=12\r\n3\r\n&b=\r\n1\r\n3\r\n0\r\n\r\n")
        << QByteArray("a=12\nb=3\nbody:a=12&b=3\n");
    QTest::newRow("multipart") << post("/params", "multipart/form-data; boundary=" + boundary,
                                       multipartBody)
                               << QByteArray(
                                      "func=import\nuploadedfile=cfg.sql\nfile:uploadedfile=" +
                                      QByteArray::number(7 + 2 + 10) + ':' + sha + '\n');
    QTest::newRow("cookies") << get("/params", "Cookie: sessionid=abc; user=admin\r\n")
                             << QByteArray("cookie:sessionid=abc\ncookie:user=admin\n");
}

void TestHttpListener::parameterSources()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    TestServer server(&m_handler);
    const HttpTestReply reply = HttpTestClient::exchange(server.port(), request);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, expected);
}

void TestHttpListener::expectContinue()
{
    TestServer server(&m_handler);
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send("POST /params HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\n");
    const HttpTestReply interim = client.readReply(5000);
    QCOMPARE(interim.status, 100);
    client.send("a=1");
    const HttpTestReply reply = client.readReply(5000);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray("a=1\nbody:a=1\n"));
}

void TestHttpListener::curlUpload()
{
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty())
        QSKIP("curl is not installed");
    TestServer server(&m_handler);
    // Large enough that curl waits for 100 Continue before sending the body.
    QTemporaryFile upload;
    QVERIFY(upload.open());
    QByteArray data(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    fillPattern(data, 0);
    upload.write(data);
    upload.flush();

    QProcess process;
    process.start(curl,
                  {QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("60"),
                   QStringLiteral("-F"), QStringLiteral("note=hi there"), QStringLiteral("-F"),
                   QStringLiteral("uploadedfile=@%1;filename=data.bin").arg(upload.fileName()),
                   QStringLiteral("http://127.0.0.1:%1/params?x=1").arg(server.port())});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray sha = QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
    QCOMPARE(process.readAllStandardOutput(),
             "note=hi there\nuploadedfile=data.bin\nx=1\nfile:uploadedfile=" +
                 QByteArray::number(data.size()) + ':' + sha + '\n');
}

void TestHttpListener::largeUploadStreamsToFile()
{
    const qint64 fileSize = qint64(200) * 1024 * 1024 + 123;
    const QByteArray boundary = "----KorvalenUpload7f3a";
    const QByteArray head =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nbig\r\n" +
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"big.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n";
    const QByteArray tail = "\r\n--" + boundary + "--\r\n";
    // A delimiter but for its last character.
    const QByteArray nearDelimiter = "\r\n--" + boundary.left(boundary.size() - 1) + '#';

    TestServer server(&m_handler);
    // Warm up, so that threads and buffers exist before the idle size is taken.
    QCOMPARE(HttpTestClient::exchange(server.port(), get("/warmup")).status, 200);
    const qint64 idle = residentMemory();
    QVERIFY(idle > 0);

    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send("POST /params HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=" +
                boundary + "\r\nContent-Length: " +
                QByteArray::number(head.size() + fileSize + tail.size()) + "\r\n\r\n" + head);

    // The upload is made as it is sent; only one chunk exists at a time.
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    qint64 peak = idle;
    int round = 0;
    for (qint64 offset = 0; offset < fileSize; offset += chunk.size()) {
        chunk.resize(int(qMin<qint64>(256 * 1024, fileSize - offset)));
        fillPattern(chunk, offset);
        if (chunk.size() > 100)
            chunk.replace(40, nearDelimiter.size(), nearDelimiter); // almost a delimiter
        hash.addData(chunk);
        client.socket().write(chunk);
        while (client.socket().bytesToWrite() > 1024 * 1024)
            QVERIFY2(client.socket().waitForBytesWritten(20000),
                     qPrintable(client.socket().errorString()));
        if (++round % 16 == 0)
            peak = qMax(peak, residentMemory());
    }
    client.send(tail);
    const HttpTestReply reply = client.readReply(120000);
    peak = qMax(peak, residentMemory());
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, "note=big\nupload=big.bin\nfile:upload=" + QByteArray::number(fileSize) +
                             ':' + hash.result().toHex() + '\n');
    qInfo("resident memory: idle %lld MB, peak %lld MB", idle >> 20, peak >> 20);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    qInfo("resident memory grew by %lld MB (not checked under sanitizers)", (peak - idle) >> 20);
#else
    QVERIFY2(peak - idle < 50 * 1024 * 1024,
             qPrintable(QStringLiteral("resident memory grew by %1 MB").arg((peak - idle) >> 20)));
#endif
}

void TestHttpListener::largeDownloadWithWriteSync()
{
    TestServer server(&m_handler);
    const qint64 size = 6 * kChunk + 1000;
    QByteArray expected(int(size), Qt::Uninitialized);
    fillPattern(expected, 0);

    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(get("/download?size=" + QByteArray::number(size)));
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const HttpTestReply reply = client.readReply(30000, &hash);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("transfer-encoding"), QByteArray("chunked"));
    QCOMPARE(reply.header("content-type"), QByteArray("application/octet-stream"));
    QCOMPARE(reply.bodySize, size);
    QCOMPARE(hash.result(), QCryptographicHash::hash(expected, QCryptographicHash::Sha1));
    // The connection is still usable afterwards.
    client.send(get("/after"));
    QCOMPARE(client.readReply().body, QByteArray("ok:/after"));
}

void TestHttpListener::finishesOpenResponses_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("nothing written") << QByteArray("/nothing") << 200 << QByteArray();
    QTest::newRow("status only") << QByteArray("/status") << 404 << QByteArray();
    QTest::newRow("no last part") << QByteArray("/stream") << 200 << QByteArray("part1,part2");
    QTest::newRow("handler throws")
        << QByteArray("/throw") << 500 << QByteArray("500 Internal Server Error\n");
}

void TestHttpListener::finishesOpenResponses()
{
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    TestServer server(&m_handler);
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(get(path));
    const HttpTestReply reply = client.readReply();
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.body, body);
    // Properly ended: the next request on the same connection works.
    client.send(get("/next"));
    QCOMPARE(client.readReply().body, QByteArray("ok:/next"));
}

void TestHttpListener::malformedRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("shutdownAfter");
    QTest::addColumn<int>("status");

    QTest::newRow("bad request line") << QByteArray("GARBAGE\r\n\r\n") << false << 400;
    QTest::newRow("oversize headers")
        << get("/", "X-Big: " + QByteArray(20000, 'a') + "\r\n") << false << 431;
    QTest::newRow("body over limit")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 999999999\r\n\r\nabc") << false << 413;
    QTest::newRow("truncated body")
        << QByteArray("POST /params HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly part") << true
        << 400;
    QTest::newRow("bad multipart boundary")
        << post("/params", "multipart/form-data", "--x\r\n\r\n--x--\r\n") << false << 400;
    QTest::newRow("unterminated multipart")
        << post("/params", "multipart/form-data; boundary=b",
                "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n")
        << false << 400;
    QTest::newRow("bad chunk")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n") << false
        << 400;
}

void TestHttpListener::malformedRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, shutdownAfter);
    QFETCH(int, status);
    TestServer server(&m_handler, {{QStringLiteral("maxThreads"), 2}});
    for (int attempt = 0; attempt < 3; ++attempt) {
        HttpTestClient client;
        QVERIFY(client.connectTo(server.port()));
        client.send(request);
        if (shutdownAfter)
            client.shutdownSending();
        const HttpTestReply reply = client.readReply(5000);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("connection"), QByteArray("close"));
        QVERIFY(client.waitForClose());
    }
    // Errors free their threads: with two threads, a fourth connection is served.
    QCOMPARE(HttpTestClient::exchange(server.port(), get("/fine")).body, QByteArray("ok:/fine"));
}

void TestHttpListener::keepAliveAndPipelining()
{
    TestServer server(&m_handler);
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(get("/one"));
    QCOMPARE(client.readReply().body, QByteArray("ok:/one"));
    client.send(post("/params", "application/x-www-form-urlencoded", "k=v"));
    const HttpTestReply second = client.readReply();
    QCOMPARE(second.body, QByteArray("k=v\nbody:k=v\n"));
    QCOMPARE(second.header("connection"), QByteArray());

    // Three requests in one write are answered in order.
    client.send(get("/a") + post("/params", "application/x-www-form-urlencoded", "p=1") +
                get("/c", "Connection: close\r\n"));
    QCOMPARE(client.readReply().body, QByteArray("ok:/a"));
    QCOMPARE(client.readReply().body, QByteArray("p=1\nbody:p=1\n"));
    const HttpTestReply last = client.readReply();
    QCOMPARE(last.body, QByteArray("ok:/c"));
    QCOMPARE(last.header("connection"), QByteArray("close"));
    QVERIFY(client.waitForClose());
}

void TestHttpListener::http10ClosesAfterResponse()
{
    TestServer server(&m_handler);
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send("GET /stream HTTP/1.0\r\n\r\n");
    const HttpTestReply reply = client.readReply();
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, QByteArray("part1,part2"));
    QCOMPARE(reply.header("transfer-encoding"), QByteArray()); // not for HTTP/1.0
    QVERIFY(client.waitForClose());

    HttpTestClient keep;
    QVERIFY(keep.connectTo(server.port()));
    keep.send("GET /x HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    const HttpTestReply first = keep.readReply();
    QCOMPARE(first.header("connection").toLower(), QByteArray("keep-alive"));
    keep.send("GET /y HTTP/1.0\r\n\r\n");
    QCOMPARE(keep.readReply().body, QByteArray("ok:/y"));
    QVERIFY(keep.waitForClose());
}

void TestHttpListener::servesInParallel()
{
    const int n = 4;
    TestServer server(&m_handler);
    QList<QSharedPointer<HttpTestClient>> clients;
    for (int i = 0; i < n; ++i) {
        clients.append(QSharedPointer<HttpTestClient>::create());
        QVERIFY(clients.last()->connectTo(server.port()));
        clients.last()->send(get("/block"));
    }
    // All n are inside service() at the same time, before any of them may leave.
    QVERIFY(m_handler.inside.tryAcquire(n, 10000));
    m_handler.gate.release(n);
    for (const auto& client : clients)
        QCOMPARE(client->readReply().body, QByteArray("released"));
}

void TestHttpListener::busyThreadsGive503_data()
{
    QTest::addColumn<int>("maxThreads");
    QTest::addColumn<int>("perAddress");
    QTest::addColumn<QString>("trustedProxies");
    QTest::addColumn<bool>("thirdServed");
    QTest::addColumn<bool>("otherAddressServed");
    QTest::newRow("every thread busy") << 2 << 2 << "" << false << false;
    // Threads are free, but this address has its share: another address is still served.
    QTest::newRow("the address's share busy") << 8 << 2 << "" << false << true;
    // A reverse proxy carries every user's connections: it has no share of its own...
    QTest::newRow("a trusted proxy has no share") << 8 << 2 << "::1, 127.0.0.1" << true << true;
    // ...but the threads are still bounded.
    QTest::newRow("a trusted proxy meets the thread bound")
        << 2 << 1 << "127.0.0.1" << false << false;
}

void TestHttpListener::busyThreadsGive503()
{
    QFETCH(int, maxThreads);
    QFETCH(int, perAddress);
    QFETCH(QString, trustedProxies);
    QFETCH(bool, thirdServed);
    QFETCH(bool, otherAddressServed);
    TestServer server(&m_handler, {{QStringLiteral("maxThreads"), maxThreads},
                                   {QStringLiteral("minThreads"), 1},
                                   {QStringLiteral("maxConnectionsPerAddress"), perAddress},
                                   {QStringLiteral("trustedProxies"), trustedProxies}});
    HttpTestClient a;
    HttpTestClient b;
    QVERIFY(a.connectTo(server.port()));
    QVERIFY(b.connectTo(server.port()));
    a.send(get("/block", "Connection: close\r\n"));
    b.send(get("/block", "Connection: close\r\n"));
    QVERIFY(m_handler.inside.tryAcquire(2, 10000));

    HttpTestClient c;
    QVERIFY(c.connectTo(server.port()));
    c.send(get("/third"));
    QCOMPARE(c.readReply(5000).status, thirdServed ? 200 : 503);
    if (!thirdServed)
        QVERIFY(c.waitForClose());

    HttpTestClient other;
    QVERIFY(other.connectTo(server.port(), 5000, QHostAddress(QStringLiteral("127.0.0.2"))));
    other.send(get("/other"));
    QCOMPARE(other.readReply(5000).status, otherAddressServed ? 200 : 503);

    m_handler.gate.release(2);
    QCOMPARE(a.readReply().body, QByteArray("released"));
    QCOMPARE(b.readReply().body, QByteArray("released"));
    QVERIFY(a.waitForClose());
    QVERIFY(b.waitForClose());
    QCOMPARE(HttpTestClient::exchange(server.port(), get("/again")).body, QByteArray("ok:/again"));
}

void TestHttpListener::idleThreadsAboveMinimumEnd()
{
    TestServer server(&m_handler,
                      {{QStringLiteral("minThreads"), 1}, {QStringLiteral("cleanupInterval"), 50}});
    const int idle = processThreadCount();
    const int n = 4;
    QList<QSharedPointer<HttpTestClient>> clients;
    for (int i = 0; i < n; ++i) {
        clients.append(QSharedPointer<HttpTestClient>::create());
        QVERIFY(clients.last()->connectTo(server.port()));
        clients.last()->send(get("/block", "Connection: close\r\n"));
    }
    QVERIFY(m_handler.inside.tryAcquire(n, 10000));
    QCOMPARE(processThreadCount(), idle + n);
    m_handler.gate.release(n);
    for (const auto& client : clients)
        QCOMPARE(client->readReply().body, QByteArray("released"));
    // One idle thread is kept for the next connection.
    QTRY_COMPARE(processThreadCount(), idle + 1);
    QCOMPARE(HttpTestClient::exchange(server.port(), get("/x")).status, 200);
}

void TestHttpListener::readTimeout_data()
{
    QTest::addColumn<QByteArray>("partial");
    QTest::addColumn<int>("status"); // 0: closed without an answer

    QTest::newRow("unfinished header") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << 408;
    QTest::newRow("unfinished body")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345") << 408;
    QTest::newRow("idle connection") << QByteArray() << 0;
}

void TestHttpListener::readTimeout()
{
    QFETCH(QByteArray, partial);
    QFETCH(int, status);
    TestServer server(
        &m_handler, {{QStringLiteral("readTimeout"), 300}, {QStringLiteral("headerTimeout"), 300}});
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    if (!partial.isEmpty())
        client.send(partial);
    QElapsedTimer timer;
    timer.start();
    const HttpTestReply reply = client.readReply(10000);
    QCOMPARE(reply.status, status);
    QVERIFY(client.waitForClose(10000));
    QVERIFY(timer.elapsed() < 8000);
}

void TestHttpListener::headerHasOneDeadline()
{
    // The body's time-out is long: only the header's own deadline can end this.
    TestServer server(&m_handler, {{QStringLiteral("readTimeout"), 10000},
                                   {QStringLiteral("headerTimeout"), 400}});
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    QElapsedTimer timer;
    timer.start();
    client.send("GET /slow HTTP/1.1\r\nHost: x\r\n");
    // A header that keeps coming, a line at a time, never completes.
    while (timer.elapsed() < 5000 && client.socket().bytesAvailable() == 0 &&
           client.socket().state() == QAbstractSocket::ConnectedState) {
        client.send("X-Slow: 1\r\n");
        client.socket().waitForReadyRead(50);
    }
    QCOMPARE(client.readReply(5000).status, 408);
    QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
}

void TestHttpListener::headerCheck_data()
{
    const QByteArray boundary = "b0undary";
    const QByteArray multipart = "multipart/form-data; boundary=" + boundary;
    const QByteArray field =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n";
    const QByteArray fileHead =
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.bin\"\r\n\r\n" +
        QByteArray(1000, 'x');
    const QByteArray end = "--" + boundary + "--\r\n";

    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("served");

    QTest::newRow("refused: empty body, handler not called")
        << get("/refused") << 403 << QByteArray() << false;
    // Only the header is sent: the answer must not wait for a body.
    QTest::newRow("refused before the body")
        << QByteArray("POST /refused HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n")
        << 403 << QByteArray() << false;
    QTest::newRow("fields without files pass")
        << post("/params?uploads=no", multipart, field + end) << 200
        << QByteArray("note=hello\nuploads=no\n") << true;
    // The file part is not complete: a file begun would still be on disk.
    QTest::newRow("a file is refused when its part begins")
        << "POST /params?uploads=no HTTP/1.1\r\nHost: x\r\nContent-Type: " + multipart +
               "\r\nContent-Length: 100000000\r\n\r\n" + field + fileHead
        << 403 << QByteArray("403 Uploads are not accepted from this caller\n") << false;
    QTest::newRow("files pass elsewhere")
        << post("/params", multipart, field + fileHead + "\r\n" + end) << 200
        << QByteArray("note=hello\nup=a.bin\nfile:up=1000:") << true;
}

void TestHttpListener::headerCheck()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, served);
    CheckingHandler handler;
    TestServer server(&handler);
    HttpTestClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(request);
    const HttpTestReply reply = client.readReply(5000);
    QCOMPARE(reply.status, status);
    QVERIFY2(reply.body.startsWith(body), reply.body.constData());
    QCOMPARE(handler.served.load() == 1, served);
    if (status != 200) {
        QVERIFY(client.waitForClose());
        QCOMPARE(QDir(server.dir()).entryList({QStringLiteral("upload-*")}), QStringList());
    }
}

void TestHttpListener::defaultHandlerAnswers501()
{
    HttpRequestHandler plain;
    TestServer server(&plain);
    QCOMPARE(HttpTestClient::exchange(server.port(), get("/")).status, 501);
}

void TestHttpListener::deletingListenerEndsThreads()
{
    const int before = processThreadCount();
    const int descriptors = openDescriptorCount();
    HttpTestClient idle;
    {
        TestServer server(&m_handler);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(HttpTestClient::exchange(server.port(), get("/x")).status, 200);
        QVERIFY(idle.connectTo(server.port()));
        idle.send(get("/keep"));
        QCOMPARE(idle.readReply().status, 200);
        server.stop();
        // The kept-alive connection was closed by the listener's end.
        QVERIFY(idle.waitForClose(5000));
    }
    // A thread of an earlier test may still be ending while "before" is counted: none may be added.
    QTRY_VERIFY(processThreadCount() <= before);
    idle.socket().close();
    QCOMPARE(openDescriptorCount(), descriptors);
}

QTEST_GUILESS_MAIN(TestHttpListener)
#include "tst_httplistener.moc"
