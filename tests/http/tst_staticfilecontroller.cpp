#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"
#include "HttpTestClient.h"
#include "StaticFileController.h"
#include "TestServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtTest>

#include <memory>

namespace {

class StaticHandler : public HttpRequestHandler
{
public:
    explicit StaticHandler(StaticFileController* files) : m_files(files) {}
    void service(HttpRequest& request, HttpResponse& response) override
    {
        m_files->service(request, response);
    }

private:
    StaticFileController* m_files;
};

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

// Web root "www" beside the settings file (a relative path), a secret file beside it.
class TestStaticFileController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void serves_data();
    void serves();
    void refusesEscapes_data();
    void refusesEscapes();
    void changesInTheRootShowAtOnce();
    void largeFileArrivesWhole();

private:
    HttpTestReply fetch(const QByteArray& target);

    QTemporaryDir m_dir;
    std::unique_ptr<StaticFileController> m_files;
    std::unique_ptr<StaticHandler> m_handler;
    std::unique_ptr<TestServer> m_server;
    QByteArray m_large;
};

void TestStaticFileController::initTestCase()
{
    const QString www = m_dir.filePath(QStringLiteral("www"));
    writeFile(www + "/index.html", "<html>root</html>");
    writeFile(www + "/page.html", "<html>page</html>");
    writeFile(www + "/style.css", "body{}");
    writeFile(www + "/app.js", "var a;");
    writeFile(www + "/img.png", QByteArray("\x89PNG\r\n\x1a\n", 8));
    writeFile(www + "/data.json", "{}");
    writeFile(www + "/a.tar.gz", "tgz");
    writeFile(www + "/b.gz", "gz");
    writeFile(www + "/lib.min.js", "var m;");
    writeFile(www + "/a b.txt", "spaced");
    writeFile(www + "/sub/index.html", "<html>sub</html>");
    writeFile(www + "/emptydir/.keep", "");
    writeFile(m_dir.filePath(QStringLiteral("secret.txt")), "secret");
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("secret.txt")), www + "/outside.txt"));
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("")), www + "/outdir"));
    QVERIFY(QFile::link(www + "/page.html", www + "/inside.html"));
    m_large.resize(5 * 1024 * 1024 + 3);
    for (int i = 0; i < m_large.size(); ++i)
        m_large[i] = char((i * 31) ^ (i >> 9));
    writeFile(www + "/large.bin", m_large);

    QSettings settings(m_dir.filePath(QStringLiteral("config.ini")), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("docroot"));
    settings.setValue(QStringLiteral("path"), QStringLiteral("www"));
    settings.setValue(QStringLiteral("maxAge"), 120000);
    m_files.reset(new StaticFileController(&settings));
    QCOMPARE(m_files->docRoot(), QFileInfo(www).canonicalFilePath());
    m_handler.reset(new StaticHandler(m_files.get()));
    m_server.reset(new TestServer(m_handler.get()));
    QVERIFY(m_server->isListening());
}

void TestStaticFileController::cleanupTestCase()
{
    m_server.reset();
    m_handler.reset();
    m_files.reset();
}

HttpTestReply TestStaticFileController::fetch(const QByteArray& target)
{
    return HttpTestClient::exchange(m_server->port(),
                                    "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
}

void TestStaticFileController::serves_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("html") << QByteArray("/page.html") << 200
                          << QByteArray("text/html; charset=UTF-8")
                          << QByteArray("<html>page</html>");
    QTest::newRow("css") << QByteArray("/style.css") << 200 << QByteArray("text/css; charset=UTF-8")
                         << QByteArray("body{}");
    QTest::newRow("js") << QByteArray("/app.js") << 200
                        << QByteArray("application/javascript; charset=UTF-8")
                        << QByteArray("var a;");
    QTest::newRow("png") << QByteArray("/img.png") << 200 << QByteArray("image/png")
                         << QByteArray("\x89PNG\r\n\x1a\n", 8);
    QTest::newRow("json") << QByteArray("/data.json") << 200
                          << QByteArray("application/json; charset=UTF-8") << QByteArray("{}");
    // Types are kept per suffix: a longer suffix has a type of its own.
    QTest::newRow("tar.gz") << QByteArray("/a.tar.gz") << 200
                            << QByteArray("application/x-compressed-tar") << QByteArray("tgz");
    QTest::newRow("gz after tar.gz")
        << QByteArray("/b.gz") << 200 << QByteArray("application/gzip") << QByteArray("gz");
    QTest::newRow("min.js") << QByteArray("/lib.min.js") << 200
                            << QByteArray("application/javascript; charset=UTF-8")
                            << QByteArray("var m;");
    QTest::newRow("html again") << QByteArray("/page.html") << 200
                                << QByteArray("text/html; charset=UTF-8")
                                << QByteArray("<html>page</html>");
    QTest::newRow("root index") << QByteArray("/") << 200 << QByteArray("text/html; charset=UTF-8")
                                << QByteArray("<html>root</html>");
    QTest::newRow("directory index")
        << QByteArray("/sub/") << 200 << QByteArray("text/html; charset=UTF-8")
        << QByteArray("<html>sub</html>");
    QTest::newRow("directory without slash")
        << QByteArray("/sub") << 200 << QByteArray("text/html; charset=UTF-8")
        << QByteArray("<html>sub</html>");
    QTest::newRow("percent-encoded name")
        << QByteArray("/a%20b.txt?x=1") << 200 << QByteArray("text/plain; charset=UTF-8")
        << QByteArray("spaced");
    QTest::newRow("symlink inside root")
        << QByteArray("/inside.html") << 200 << QByteArray("text/html; charset=UTF-8")
        << QByteArray("<html>page</html>");
    QTest::newRow("missing") << QByteArray("/nothere.html") << 404
                             << QByteArray("text/plain; charset=UTF-8")
                             << QByteArray("404 Not found\n");
    QTest::newRow("directory without index")
        << QByteArray("/emptydir/") << 404 << QByteArray("text/plain; charset=UTF-8")
        << QByteArray("404 Not found\n");
    QTest::newRow("double slash stays inside")
        << QByteArray("//secret.txt") << 404 << QByteArray("text/plain; charset=UTF-8")
        << QByteArray("404 Not found\n");
}

void TestStaticFileController::serves()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    const HttpTestReply reply = fetch(target);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.header("content-type"), contentType);
    QCOMPARE(reply.body, body);
    if (status == 200)
        QCOMPARE(reply.header("cache-control"), QByteArray("max-age=120"));
}

void TestStaticFileController::refusesEscapes_data()
{
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("dot dot") << QByteArray("/../secret.txt");
    QTest::newRow("dot dot inside") << QByteArray("/sub/../../secret.txt");
    QTest::newRow("%2e%2e/") << QByteArray("/%2e%2e/secret.txt");
    QTest::newRow("..%2f") << QByteArray("/..%2fsecret.txt");
    QTest::newRow("%2e%2e%2f") << QByteArray("/%2e%2e%2fsecret.txt");
    QTest::newRow("mixed case %2E.") << QByteArray("/sub/%2E./%2E%2E/secret.txt");
    QTest::newRow("backslash") << QByteArray("/..%5csecret.txt");
    QTest::newRow("nul") << QByteArray("/page.html%00.png");
    QTest::newRow("symlink to a file outside") << QByteArray("/outside.txt");
    QTest::newRow("symlink to a directory outside") << QByteArray("/outdir/secret.txt");
}

void TestStaticFileController::refusesEscapes()
{
    QFETCH(QByteArray, target);
    const HttpTestReply reply = fetch(target);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 403);
    QVERIFY(!reply.body.contains("secret"));
}

// Paths are remembered for a moment; a change in the root still shows at the next request.
void TestStaticFileController::changesInTheRootShowAtOnce()
{
    const QString www = m_dir.filePath(QStringLiteral("www"));
    writeFile(www + "/changing.txt", "first");
    QCOMPARE(fetch("/changing.txt").body, QByteArray("first"));
    writeFile(www + "/changing.txt", "second");
    QCOMPARE(fetch("/changing.txt").body, QByteArray("second"));
    QVERIFY(QFile::remove(www + "/changing.txt"));
    QCOMPARE(fetch("/changing.txt").status, 404);

    // A directory where the file was: its index.
    writeFile(www + "/changing.txt/index.html", "<html>now a directory</html>");
    QCOMPARE(fetch("/changing.txt").body, QByteArray("<html>now a directory</html>"));

    // A link inside the root, served, then pointed outside once its target is gone.
    writeFile(www + "/target.txt", "inside");
    QVERIFY(QFile::link(www + "/target.txt", www + "/moved.txt"));
    QCOMPARE(fetch("/moved.txt").body, QByteArray("inside"));
    QVERIFY(QFile::remove(www + "/target.txt"));
    QVERIFY(QFile::remove(www + "/moved.txt"));
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("secret.txt")), www + "/moved.txt"));
    const HttpTestReply reply = fetch("/moved.txt");
    QCOMPARE(reply.status, 403);
    QVERIFY(!reply.body.contains("secret"));
}

void TestStaticFileController::largeFileArrivesWhole()
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    HttpTestClient client;
    QVERIFY(client.connectTo(m_server->port()));
    client.send("GET /large.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    const HttpTestReply reply = client.readReply(30000, &hash);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("content-length"), QByteArray::number(m_large.size()));
    QCOMPARE(reply.bodySize, qint64(m_large.size()));
    QCOMPARE(hash.result(), QCryptographicHash::hash(m_large, QCryptographicHash::Sha1));
    // HEAD: the same headers, no body.
    client.send("HEAD /large.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    const HttpTestReply head = client.readReply(5000, nullptr, true);
    QCOMPARE(head.header("content-length"), QByteArray::number(m_large.size()));
    client.send("GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(client.readReply().body, QByteArray("body{}"));
}

QTEST_GUILESS_MAIN(TestStaticFileController)
#include "tst_staticfilecontroller.moc"
