#include "HttpRequest.h"
#include "HttpRequestParser.h"

#include <QHostAddress>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

using Params = QMap<QByteArray, QByteArray>;
using State = HttpRequestParser::State;
Q_DECLARE_METATYPE(State)

namespace {

QByteArray post(const QByteArray& target, const QByteArray& contentType, const QByteArray& body)
{
    return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray chunked(const QByteArray& target, const QByteArray& contentType,
                   const QList<QByteArray>& chunks)
{
    QByteArray out = "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + contentType +
                     "\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const QByteArray& c : chunks)
        out += QByteArray::number(c.size(), 16) + ";ext=1\r\n" + c + "\r\n";
    return out + "0\r\nX-Trailer: t\r\n\r\n";
}

QByteArray withoutLastChunk(const QByteArray& request)
{
    return request.left(request.lastIndexOf("0\r\n"));
}

QByteArray multipart(const QList<QPair<QByteArray, QByteArray>>& parts)
{
    QByteArray body;
    for (const auto& p : parts)
        body += "--BoUnDaRy\r\nContent-Disposition: form-data; " + p.first + "\r\n\r\n" + p.second +
                "\r\n";
    return body + "--BoUnDaRy--\r\n";
}

const QByteArray kMultipartType = "multipart/form-data; boundary=BoUnDaRy";

// Every QMultiMap entry as "value()" per key: what the program sees after its copy.
Params flatten(const QMultiMap<QByteArray, QByteArray>& m)
{
    Params p;
    for (const QByteArray& key : m.uniqueKeys())
        p.insert(key, m.value(key));
    return p;
}

} // namespace

class TestHttpRequestParser : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void requestParts();
    void parameters_data();
    void parameters();
    void rawBody_data();
    void rawBody();
    void cookies();
    void uploadedFiles();
    void byteByByteEqualsWhole();
    void pipelined();
    void expectContinue_data();
    void expectContinue();
    void keepAlive_data();
    void keepAlive();
    void errors_data();
    void errors();
    void parameterLimit_data();
    void parameterLimit();
    void bodyPolicy_data();
    void bodyPolicy();
    void idleEndIsNoError();

private:
    HttpListenerSettings settings() const;
    std::unique_ptr<HttpRequest> parseWhole(const QByteArray& bytes);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestHttpRequestParser::init()
{
    m_dir.reset(new QTemporaryDir);
}

HttpListenerSettings TestHttpRequestParser::settings() const
{
    HttpListenerSettings s;
    s.uploadDir = m_dir->path();
    return s;
}

std::unique_ptr<HttpRequest> TestHttpRequestParser::parseWhole(const QByteArray& bytes)
{
    HttpRequestParser parser(settings());
    if (parser.feed(bytes) != State::Complete)
        return nullptr;
    return parser.takeRequest();
}

void TestHttpRequestParser::requestParts()
{
    HttpRequestParser parser(settings());
    parser.setPeerAddress(QHostAddress("10.1.2.3"));
    QCOMPARE(parser.feed("GET /root/a%20b.html?x=1 HTTP/1.1\r\nHost: h\r\nX-Custom: One\r\n"
                         "x-custom: Two\r\nAccept:  text/html  \r\n\r\n"),
             State::Complete);
    auto r = parser.takeRequest();
    QVERIFY(r);
    QCOMPARE(r->getMethod(), QByteArray("GET"));
    QCOMPARE(r->getPath(), QByteArray("/root/a%20b.html")); // raw, not decoded
    QCOMPARE(r->getVersion(), QByteArray("HTTP/1.1"));
    QCOMPARE(r->getHeader("ACCEPT"), QByteArray("text/html"));
    QCOMPARE(r->getHeader("X-CUSTOM"), QByteArray("Two"));
    QCOMPARE(r->getHeaderMap().values("x-custom").size(), 2);
    QCOMPARE(r->getHeader("missing"), QByteArray());
    QCOMPARE(r->getPeerAddress(), QHostAddress("10.1.2.3"));
    QCOMPARE(r->getUploadedFile("none"), nullptr);
}

void TestHttpRequestParser::parameters_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<Params>("expected");

    QTest::newRow("query") << QByteArray(
                                  "GET /ajax.html?func=getData&id=7&name=a+b%21 HTTP/1.1\r\n\r\n")
                           << Params{{"func", "getData"}, {"id", "7"}, {"name", "a b!"}};
    QTest::newRow("query key without value")
        << QByteArray("GET /?logout HTTP/1.1\r\n\r\n") << Params{{"logout", ""}};
    QTest::newRow("absolute target")
        << QByteArray("GET http://h:1/p?x=1 HTTP/1.1\r\n\r\n") << Params{{"x", "1"}};
    QTest::newRow("urlencoded body") << post("/login.html", "application/x-www-form-urlencoded",
                                             "username=admin&password=p%26ss")
                                     << Params{{"username", "admin"}, {"password", "p&ss"}};
    QTest::newRow("urlencoded with charset")
        << post("/", "Application/X-WWW-Form-Urlencoded; charset=UTF-8", "a=%C3%A4")
        << Params{{"a", "\xC3\xA4"}};
    QTest::newRow("body wins over query")
        << post("/?a=query&q=1", "application/x-www-form-urlencoded", "a=body")
        << Params{{"a", "body"}, {"q", "1"}};
    QTest::newRow("chunked urlencoded") << chunked("/", "application/x-www-form-urlencoded",
                                                   {"fileCon", "tent=x%0D%0Ay&", "filename=f.csv"})
                                        << Params{{"fileContent", "x\r\ny"}, {"filename", "f.csv"}};
    QTest::newRow("multipart text fields")
        << post("/?q=1", kMultipartType,
                multipart({{"name=\"func\"", "save"},
                           {"name=\"text\"", "a\r\n--BoUnDaR\r\n-BoUnDaRy\n--BoUnDaRy\r\nb"}}))
        << Params{{"func", "save"},
                  {"text", "a\r\n--BoUnDaR\r\n-BoUnDaRy\n--BoUnDaRy\r\nb"},
                  {"q", "1"}};
    QTest::newRow("chunked multipart") << chunked("/", kMultipartType,
                                                  {multipart({{"name=\"a\"", "1"}}).left(20),
                                                   multipart({{"name=\"a\"", "1"}}).mid(20)})
                                       << Params{{"a", "1"}};
    QTest::newRow("other body type is not decoded")
        << post("/?x=1", "application/json", "{\"a\":1}") << Params{{"x", "1"}};
}

void TestHttpRequestParser::parameters()
{
    QFETCH(QByteArray, request);
    QFETCH(Params, expected);
    auto r = parseWhole(request);
    QVERIFY(r);
    QCOMPARE(flatten(r->getParameterMap()), expected);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(r->getParameter(it.key()), it.value());
}

void TestHttpRequestParser::rawBody_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("content-length")
        << post("/", "application/json", "{\"a\":1}") << QByteArray("{\"a\":1}");
    QTest::newRow("chunked") << chunked("/", "text/plain", {"ab", QByteArray(70000, 'c'), "\r\n"})
                             << QByteArray("ab" + QByteArray(70000, 'c') + "\r\n");
    QTest::newRow("none") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray();
}

void TestHttpRequestParser::rawBody()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, body);
    auto r = parseWhole(request);
    QVERIFY(r);
    QCOMPARE(r->getBody(), body);
}

void TestHttpRequestParser::cookies()
{
    auto r = parseWhole(
        "GET / HTTP/1.1\r\nCookie: sessionid=abc; user=admin\r\nCookie: x=\"q\"\r\n\r\n");
    QVERIFY(r);
    QCOMPARE(r->getCookie("sessionid"), QByteArray("abc"));
    QCOMPARE(r->getCookie("user"), QByteArray("admin"));
    QCOMPARE(r->getCookie("x"), QByteArray("q"));
    QCOMPARE(r->getCookie("missing"), QByteArray());
    QCOMPARE(r->getCookieMap().size(), 3);
}

void TestHttpRequestParser::uploadedFiles()
{
    const QByteArray sql = "INSERT INTO t VALUES(1);\r\n--BoUnDaRx\r\n\r\n";
    QByteArray binary;
    for (int i = 0; i < 256 * 40; ++i)
        binary += char(i);
    auto r = parseWhole(post("/importConfig.html", kMultipartType,
                             multipart({{"name=\"uploadedfile\"; filename=\"cfg.sql\"", sql},
                                        {"name=\"note\"", "n"},
                                        {"name=\"second\"; filename=\"b.bin\"", binary}})));
    QVERIFY(r);
    QCOMPARE(r->getParameter("uploadedfile"), QByteArray("cfg.sql"));
    QCOMPARE(r->getParameter("note"), QByteArray("n"));
    QTemporaryFile* file = r->getUploadedFile("uploadedfile");
    QVERIFY(file);
    QCOMPARE(file->pos(), qint64(0));
    QCOMPARE(file->readAll(), sql);
    QCOMPARE(r->getUploadedFile("second")->readAll(), binary);
    QCOMPARE(r->getUploadedFile("note"), nullptr);
    QCOMPARE(r->getBody(), QByteArray());

    const QString path = file->fileName();
    QVERIFY(QFile::exists(path));
    r.reset();
    QVERIFY(!QFile::exists(path)); // owned by the request
}

void TestHttpRequestParser::byteByByteEqualsWhole()
{
    const QByteArray bytes =
        chunked("/?q=1", kMultipartType,
                {multipart({{"name=\"f\"; filename=\"x\"", "\r\n--Bo\r\n"}, {"name=\"t\"", "v"}})});
    HttpRequestParser parser(settings());
    for (int i = 0; i < bytes.size() - 1; ++i)
        QCOMPARE(parser.feed(bytes.mid(i, 1)), State::Incomplete);
    QCOMPARE(parser.feed(bytes.right(1)), State::Complete);
    auto r = parser.takeRequest();
    QCOMPARE(r->getParameter("t"), QByteArray("v"));
    QCOMPARE(r->getParameter("q"), QByteArray("1"));
    QCOMPARE(r->getUploadedFile("f")->readAll(), QByteArray("\r\n--Bo\r\n"));
}

void TestHttpRequestParser::pipelined()
{
    HttpRequestParser parser(settings());
    const QByteArray two =
        post("/one", "text/plain", "1\r\n\r\n") + "\r\nGET /two?b=2 HTTP/1.1\r\n\r\nGET /thr";
    QCOMPARE(parser.feed(two), State::Complete);
    QCOMPARE(parser.takeRequest()->getBody(), QByteArray("1\r\n\r\n"));
    QCOMPARE(parser.next(), State::Complete);
    QCOMPARE(parser.takeRequest()->getParameter("b"), QByteArray("2"));
    QCOMPARE(parser.next(), State::Incomplete);
    QVERIFY(!parser.isIdle());
    QCOMPARE(parser.feed("ee HTTP/1.1\r\n\r\n"), State::Complete);
    QCOMPARE(parser.takeRequest()->getPath(), QByteArray("/three"));
    QCOMPARE(parser.next(), State::Incomplete);
    QVERIFY(parser.isIdle());
}

void TestHttpRequestParser::expectContinue_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("wanted");

    QTest::newRow("body to come")
        << QByteArray("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n")
        << true;
    QTest::newRow("chunked body to come")
        << QByteArray(
               "POST / HTTP/1.1\r\nExpect: 100-Continue\r\nTransfer-Encoding: chunked\r\n\r\n")
        << true;
    QTest::newRow("body already here")
        << QByteArray("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc")
        << false;
    QTest::newRow("no body") << QByteArray("GET / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n")
                             << false;
    QTest::newRow("http/1.0")
        << QByteArray("POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n")
        << false;
    QTest::newRow("not asked") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n")
                               << false;
    QTest::newRow("too large: refused instead")
        << QByteArray(
               "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 99999999999\r\n\r\n")
        << false;
}

void TestHttpRequestParser::expectContinue()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, wanted);
    HttpRequestParser parser(settings());
    parser.feed(request);
    QCOMPARE(parser.takeContinueRequest(), wanted);
    QVERIFY(!parser.takeContinueRequest()); // once per request
}

void TestHttpRequestParser::keepAlive_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("keepAlive");

    QTest::newRow("1.1") << QByteArray("GET / HTTP/1.1\r\n\r\n") << true;
    QTest::newRow("1.1 close") << QByteArray("GET / HTTP/1.1\r\nConnection: close\r\n\r\n")
                               << false;
    QTest::newRow("1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
    QTest::newRow("1.0 keep-alive")
        << QByteArray("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << true;
}

void TestHttpRequestParser::keepAlive()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, keepAlive);
    auto r = parseWhole(request);
    QVERIFY(r);
    QCOMPARE(r->isKeepAlive(), keepAlive);
}

void TestHttpRequestParser::errors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("endOfInput");
    QTest::addColumn<int>("status");

    const QByteArray bigHeader = "GET / HTTP/1.1\r\nX-Big: " + QByteArray(20000, 'a') + "\r\n\r\n";
    QTest::newRow("garbage request line") << QByteArray("GARBAGE\r\n\r\n") << false << 400;
    QTest::newRow("bad version") << QByteArray("GET / HTTP/x.1\r\n\r\n") << false << 400;
    QTest::newRow("space in target") << QByteArray("GET /a b HTTP/1.1\r\n\r\n") << false << 400;
    QTest::newRow("header without colon")
        << QByteArray("GET / HTTP/1.1\r\nNoColon\r\n\r\n") << false << 400;
    QTest::newRow("binary in request line")
        << QByteArray("G\x01T / HTTP/1.1\r\n\r\n") << false << 400;
    QTest::newRow("oversize headers") << bigHeader << false << 431;
    QTest::newRow("oversize headers, unfinished") << bigHeader.left(17000) << false << 431;
    QTest::newRow("oversize request line")
        << QByteArray("GET /" + QByteArray(17000, 'a')) << false << 431;
    QTest::newRow("content-length over limit")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n") << false << 413;
    QTest::newRow("chunked over limit")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" +
                      QByteArray(1000, 'x'))
        << false << 413;
    QTest::newRow("multipart over its limit")
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: " + kMultipartType +
                      "\r\nContent-Length: 5000\r\n\r\n")
        << false << 413;
    QTest::newRow("bad content-length")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n") << false << 400;
    QTest::newRow("two content-lengths")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab")
        << false << 400;
    QTest::newRow("bad chunk size")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << false
        << 400;
    QTest::newRow("truncated body")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc") << true << 400;
    QTest::newRow("truncated header") << QByteArray("GET / HTTP/1.1\r\nHost:") << true << 400;
    QTest::newRow("truncated chunked body")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab") << true
        << 400;
    QTest::newRow("multipart without boundary")
        << post("/", "multipart/form-data", multipart({{"name=\"a\"", "1"}})) << false << 400;
    QTest::newRow("multipart with another boundary")
        << post("/", "multipart/form-data; boundary=other", multipart({{"name=\"a\"", "1"}}))
        << false << 400;
    QTest::newRow("multipart unterminated")
        << post("/", kMultipartType, multipart({{"name=\"a\"", "1"}}).left(30)) << false << 400;
    QTest::newRow("multipart bad part header")
        << post("/", kMultipartType, "--BoUnDaRy\r\nbroken header\r\n\r\nx\r\n--BoUnDaRy--\r\n")
        << false << 400;
}

void TestHttpRequestParser::errors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, endOfInput);
    QFETCH(int, status);
    HttpListenerSettings s = settings();
    s.maxRequestSize = 500;
    s.maxMultiPartSize = 4000;
    HttpRequestParser parser(s);
    State state = parser.feed(bytes);
    if (endOfInput) {
        QCOMPARE(state, State::Incomplete);
        state = parser.finishInput();
    }
    QCOMPARE(state, State::Error);
    QCOMPARE(parser.errorStatus(), status);
    QVERIFY(!parser.errorText().isEmpty());
    QVERIFY(!parser.takeRequest());
}

void TestHttpRequestParser::parameterLimit_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<State>("state");

    const QByteArray form = "application/x-www-form-urlencoded";
    const QByteArray four = "a=1&b&c=3&d";
    QTest::newRow("query at the limit")
        << QByteArray("GET /?a&b&c HTTP/1.1\r\n\r\n") << State::Complete;
    QTest::newRow("query over it") << QByteArray("GET /?a&b&c&d HTTP/1.1\r\n\r\n") << State::Error;
    QTest::newRow("body at the limit") << post("/", form, "a=1&b&c=3") << State::Complete;
    QTest::newRow("body over it") << post("/", form, four) << State::Error;
    QTest::newRow("query and body together") << post("/?a&b", form, "c&d") << State::Error;
    QTest::newRow("pieces that are no pairs do not count")
        << post("/", form, "&&a&&b=&&=x&&c&&") << State::Complete;
    QTest::newRow("chunked body over it") << chunked("/", form, {"a&b&", "c&d"}) << State::Error;
    // Refused while the body arrives: the rest is never read, let alone decoded.
    QTest::newRow("body cut short")
        << ("POST / HTTP/1.1\r\nContent-Type: " + form + "\r\nContent-Length: 400\r\n\r\n" + four)
        << State::Error;
    QTest::newRow("other body types are no parameters")
        << post("/", "text/plain", four) << State::Complete;
    QTest::newRow("multipart at the limit")
        << post("/?a", kMultipartType, multipart({{"name=\"b\"", "1"}, {"name=\"c\"", "2"}}))
        << State::Complete;
    QTest::newRow("multipart over it") << post("/?a", kMultipartType,
                                               multipart({{"name=\"b\"", "1"},
                                                          {"name=\"c\"; filename=\"f\"", "2"},
                                                          {"name=\"d\"", "3"}}))
                                       << State::Error;
}

void TestHttpRequestParser::parameterLimit()
{
    QFETCH(QByteArray, bytes);
    QFETCH(State, state);
    HttpListenerSettings s = settings();
    s.maxParameters = 3;
    HttpRequestParser parser(s);
    QCOMPARE(parser.feed(bytes), state);
    if (state == State::Error) {
        QCOMPARE(parser.errorStatus(), 413);
        QCOMPARE(parser.errorText(), QByteArray("Too many parameters"));
    }
}

void TestHttpRequestParser::bodyPolicy_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<State>("state");

    const QByteArray form = "application/x-www-form-urlencoded";
    // Only the header is sent: the refusal must not wait for the body.
    QTest::newRow("declared length over the bound")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n") << qint64(100)
        << State::Error;
    QTest::newRow("multipart length over the bound")
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: " + kMultipartType +
                      "\r\nContent-Length: 101\r\n\r\n")
        << qint64(100) << State::Error;
    QTest::newRow("at the bound") << post("/", form, "a=" + QByteArray(98, 'x')) << qint64(100)
                                  << State::Complete;
    // The last chunk never comes.
    QTest::newRow("chunked body passing the bound")
        << withoutLastChunk(chunked("/", form, {QByteArray(60, 'x'), QByteArray(60, 'y')}))
        << qint64(100) << State::Error;
    QTest::newRow("the listener's limit without a bound")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 400\r\n\r\n") << qint64(-1)
        << State::Incomplete;
}

void TestHttpRequestParser::bodyPolicy()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, maxBodySize);
    QFETCH(State, state);
    HttpRequestParser parser(settings());
    parser.setHeaderCheck([maxBodySize](const HttpRequest&, HttpBodyPolicy* body) {
        body->maxBodySize = maxBodySize;
        return 0;
    });
    QCOMPARE(parser.feed(bytes), state);
    if (state == State::Error)
        QCOMPARE(parser.errorStatus(), 413);
}

void TestHttpRequestParser::idleEndIsNoError()
{
    HttpRequestParser parser(settings());
    QVERIFY(parser.isIdle());
    QCOMPARE(parser.finishInput(), State::Incomplete);
    QCOMPARE(parser.feed("GET / HTTP/1.1\r\n\r\n"), State::Complete);
    parser.takeRequest();
    QCOMPARE(parser.next(), State::Incomplete);
    QCOMPARE(parser.finishInput(), State::Incomplete);
}

QTEST_GUILESS_MAIN(TestHttpRequestParser)
#include "tst_httprequestparser.moc"
