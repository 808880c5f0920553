#include "HttpRequest.h"
#include "HttpRequestParser.h"
#include "HttpResponse.h"
#include "HttpSession.h"
#include "HttpSessionStore.h"

#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTime>
#include <QtTest>

#include <memory>
#include <thread>
#include <vector>

namespace {

std::unique_ptr<HttpRequest> requestWithCookie(const QByteArray& cookieHeader)
{
    HttpRequestParser parser;
    QByteArray bytes = "GET /ajax.html HTTP/1.1\r\nHost: x\r\n";
    if (!cookieHeader.isEmpty())
        bytes += "Cookie: " + cookieHeader + "\r\n";
    parser.feed(bytes + "\r\n");
    return parser.takeRequest();
}

} // namespace

class TestHttpSessionStore : public QObject
{
    Q_OBJECT

private slots:
    void newSessionSetsCookie();
    void cookieFindsSameSession();
    void unknownOrMissingCookie();
    void removeSession();
    void removeSessionsThatMatch();
    void expiry();
    void idsAreRandomAndLong();
    void handlesShareData();
    void concurrentUse();
    void emptySessionsAreBounded();
    void renewGivesANewIdAndForgetsTheOld();

private:
    std::unique_ptr<HttpSessionStore> store(const QVariantMap& keys = QVariantMap());
    QTemporaryDir m_dir;
};

std::unique_ptr<HttpSessionStore> TestHttpSessionStore::store(const QVariantMap& keys)
{
    QSettings settings(m_dir.filePath(QStringLiteral("config.ini")), QSettings::IniFormat);
    settings.remove(QStringLiteral("sessions"));
    settings.beginGroup(QStringLiteral("sessions"));
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        settings.setValue(it.key(), it.value());
    return std::make_unique<HttpSessionStore>(&settings);
}

void TestHttpSessionStore::newSessionSetsCookie()
{
    auto s = store({{QStringLiteral("expirationTime"), 1800000}});
    auto request = requestWithCookie("");
    HttpResponse response(nullptr);
    const HttpSession session = s->getSession(*request, response, true);
    QVERIFY(!session.isNull());
    const HttpCookie cookie = response.getCookies().value("sessionid");
    QCOMPARE(cookie.getValue(), session.getId());
    QCOMPARE(cookie.toByteArray(),
             "sessionid=" + session.getId() + "; Max-Age=1800; Path=/; HttpOnly; SameSite=Lax");

    // Asked again within the same request, the session just made is found.
    QCOMPARE(s->getSession(*request, response, true).getId(), session.getId());
    QCOMPARE(s->sessionCount(), 1);
}

void TestHttpSessionStore::cookieFindsSameSession()
{
    auto s = store({{QStringLiteral("cookieName"), QStringLiteral("sid")},
                    {QStringLiteral("cookiePath"), QStringLiteral("/app")}});
    auto first = requestWithCookie("");
    HttpResponse firstResponse(nullptr);
    HttpSession session = s->getSession(*first, firstResponse);
    session.set("username", QByteArray("admin"));
    session.set("priv", 255);
    session.set("logintime", QTime(12, 30));
    QVERIFY(firstResponse.getCookies().value("sid").toByteArray().contains("; Path=/app;"));

    auto second = requestWithCookie("user=admin; sid=" + session.getId());
    HttpResponse secondResponse(nullptr);
    const HttpSession again = s->getSession(*second, secondResponse);
    QCOMPARE(again.getId(), session.getId());
    QVERIFY(again.contains("username"));
    QCOMPARE(again.get("username").toByteArray(), QByteArray("admin"));
    QCOMPARE(again.get("priv").toInt(), 255);
    QCOMPARE(again.get("logintime").toTime(), QTime(12, 30));
    QCOMPARE(s->getSession(session.getId()).getId(), session.getId());
    QCOMPARE(s->sessionCount(), 1);
}

void TestHttpSessionStore::unknownOrMissingCookie()
{
    auto s = store();
    auto request = requestWithCookie("sessionid=chosen-by-the-client");
    HttpResponse noCreate(nullptr);
    QVERIFY(s->getSession(*request, noCreate, false).isNull());
    QVERIFY(noCreate.getCookies().isEmpty());
    QCOMPARE(s->sessionCount(), 0);

    // A new session never takes over an id the client made up.
    HttpResponse create(nullptr);
    const HttpSession session = s->getSession(*request, create, true);
    QVERIFY(!session.isNull());
    QVERIFY(session.getId() != "chosen-by-the-client");
    QVERIFY(s->getSession("chosen-by-the-client").isNull());
}

void TestHttpSessionStore::removeSession()
{
    auto s = store();
    auto request = requestWithCookie("");
    HttpResponse response(nullptr);
    const HttpSession session = s->getSession(*request, response);
    s->removeSession(session);
    QVERIFY(s->getSession(session.getId()).isNull());
    QCOMPARE(s->sessionCount(), 0);

    auto later = requestWithCookie("sessionid=" + session.getId());
    HttpResponse laterResponse(nullptr);
    const HttpSession fresh = s->getSession(*later, laterResponse);
    QVERIFY(fresh.getId() != session.getId());
    s->removeSession(HttpSession()); // harmless
}

void TestHttpSessionStore::removeSessionsThatMatch()
{
    auto s = store();
    QList<HttpSession> sessions;
    for (const char* user : {"a", "b", "a", ""}) {
        auto request = requestWithCookie("");
        HttpResponse response(nullptr);
        sessions.append(s->getSession(*request, response));
        if (*user)
            sessions.last().set("username", QByteArray(user));
    }
    const auto ofA = [](const HttpSession& session) {
        return session.get("username").toByteArray() == "a";
    };
    QCOMPARE(s->removeSessions(ofA), 2);
    QVERIFY(s->getSession(sessions[0].getId()).isNull());
    QVERIFY(s->getSession(sessions[2].getId()).isNull());
    QCOMPARE(s->getSession(sessions[1].getId()), sessions[1]);
    QCOMPARE(s->getSession(sessions[3].getId()), sessions[3]);
    QCOMPARE(s->removeSessions(ofA), 0);
}

void TestHttpSessionStore::expiry()
{
    const int expiration = 300;
    auto s = store({{QStringLiteral("expirationTime"), expiration}});
    auto request = requestWithCookie("");
    HttpResponse response(nullptr);
    HttpSession used = s->getSession(*request, response);
    HttpResponse otherResponse(nullptr);
    HttpSession unused = s->getSession(*requestWithCookie(""), otherResponse, true);
    // Rounded up: Max-Age=0 would make it a browser-session cookie.
    QVERIFY(otherResponse.getCookies().value("sessionid").toByteArray().contains("Max-Age=1;"));

    // Access renews: a session used halfway is still there after the first has gone.
    QTRY_VERIFY_WITH_TIMEOUT(used.idleTime() > expiration / 2, 5000);
    QVERIFY(!s->getSession(used.getId()).isNull());
    QVERIFY(used.idleTime() < expiration / 2);
    QTRY_VERIFY_WITH_TIMEOUT(unused.idleTime() > expiration, 5000);
    QVERIFY(s->getSession(unused.getId()).isNull());
    auto withOldCookie = requestWithCookie("sessionid=" + unused.getId());
    HttpResponse renewed(nullptr);
    QVERIFY(s->getSession(*withOldCookie, renewed).getId() != unused.getId());

    // The cleanup timer removes what nobody asks for any more.
    QTRY_COMPARE_WITH_TIMEOUT(s->sessionCount(), 0, 5000);
}

void TestHttpSessionStore::idsAreRandomAndLong()
{
    auto s = store();
    QSet<QByteArray> ids;
    const QRegularExpression hex(QStringLiteral("^[0-9a-f]{32,}$"));
    for (int i = 0; i < 200; ++i) {
        auto request = requestWithCookie("");
        HttpResponse response(nullptr);
        const QByteArray id = s->getSession(*request, response).getId();
        QVERIFY2(hex.match(QString::fromLatin1(id)).hasMatch(), id.constData());
        ids.insert(id);
    }
    QCOMPARE(ids.size(), 200);
}

void TestHttpSessionStore::handlesShareData()
{
    HttpSession a("id1");
    HttpSession b = a;
    b.set("k", 1);
    QCOMPARE(a.get("k").toInt(), 1);
    QCOMPARE(a.getAll().size(), 1);
    a.remove("k");
    QVERIFY(!b.contains("k"));
    QVERIFY(a.getLastAccess() > 0);

    HttpSession null;
    QVERIFY(null.isNull());
    null.set("k", 1);
    QVERIFY(!null.contains("k"));
    QVERIFY(!null.get("k").isValid());
}

void TestHttpSessionStore::concurrentUse()
{
    auto s = store();
    auto request = requestWithCookie("");
    HttpResponse response(nullptr);
    const QByteArray id = s->getSession(*request, response).getId();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&s, id, t] {
            for (int i = 0; i < 500; ++i) {
                HttpSession session = s->getSession(id);
                session.set("k" + QByteArray::number(t), i);
                session.setLastAccess();
                session.getAll();
                auto other = requestWithCookie("");
                HttpResponse otherResponse(nullptr);
                s->removeSession(s->getSession(*other, otherResponse));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const HttpSession session = s->getSession(id);
    for (int t = 0; t < 4; ++t)
        QCOMPARE(session.get("k" + QByteArray::number(t)).toInt(), 499);
    QCOMPARE(s->sessionCount(), 1);
}

void TestHttpSessionStore::emptySessionsAreBounded()
{
    auto s = store({{QStringLiteral("maxEmptySessions"), 3}});
    auto newSession = [&s] {
        HttpResponse response(nullptr);
        return s->getSession(*requestWithCookie(""), response);
    };
    HttpSession loggedIn = newSession();
    loggedIn.set("username", QByteArray("u"));
    QList<QByteArray> ids;
    for (int i = 0; i < 5; ++i)
        ids << newSession().getId();
    // The oldest empty ones went first; the one holding values stays.
    QCOMPARE(s->sessionCount(), 4);
    QVERIFY(!s->getSession(loggedIn.getId()).isNull());
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(s->getSession(ids.at(i)).isNull(), i < 2);

    // A flood of callers without a cookie keeps the bound.
    auto flooded = store();
    for (int i = 0; i < 20000; ++i) {
        HttpResponse response(nullptr);
        flooded->getSession(*requestWithCookie(""), response);
    }
    QCOMPARE(flooded->sessionCount(), 1000);
}

void TestHttpSessionStore::renewGivesANewIdAndForgetsTheOld()
{
    auto s = store();
    HttpResponse first(nullptr);
    HttpSession planted = s->getSession(*requestWithCookie(""), first);
    planted.set("lang", QByteArray("pl"));

    auto request = requestWithCookie("sessionid=" + planted.getId());
    HttpResponse response(nullptr);
    HttpSession renewed = s->renewSession(s->getSession(*request, response), response);
    renewed.set("username", QByteArray("admin"));

    QVERIFY(renewed.getId() != planted.getId());
    QCOMPARE(renewed.get("lang").toByteArray(), QByteArray("pl"));
    QCOMPARE(response.getCookies().value("sessionid").getValue(), renewed.getId());
    QVERIFY(s->getSession(planted.getId()).isNull());
    QVERIFY(!planted.contains("username"));
    QCOMPARE(s->getSession(renewed.getId()).get("username").toByteArray(), QByteArray("admin"));
    QCOMPARE(s->sessionCount(), 1);
}

QTEST_GUILESS_MAIN(TestHttpSessionStore)
#include "tst_httpsessionstore.moc"
