#include "HttpSessionStore.h"

#include "HttpCookie.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpServerConfig.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>

HttpSessionStore::HttpSessionStore(QSettings* settings, QObject* parent)
    : QObject(parent), m_cleanupTimer(new QTimer(this))
{
    const ConfigGroup& keys = HttpServerConfig::sessions();
    m_expirationTime = keys.integer(settings, QStringLiteral("expirationTime"));
    m_cookieName = keys.text(settings, QStringLiteral("cookieName")).toUtf8();
    m_cookiePath = keys.text(settings, QStringLiteral("cookiePath")).toUtf8();
    m_cookieDomain = keys.text(settings, QStringLiteral("cookieDomain")).toUtf8();
    m_maxEmptySessions = int(keys.integer(settings, QStringLiteral("maxEmptySessions")));

    connect(m_cleanupTimer, &QTimer::timeout, this, &HttpSessionStore::removeExpired);
    // Often enough that expired sessions do not pile up, rarely enough to cost nothing.
    m_cleanupTimer->start(int(qBound<qint64>(10, m_expirationTime / 10, 60000)));
}

HttpSessionStore::~HttpSessionStore() = default;

QByteArray HttpSessionStore::newId()
{
    // 128 bits from the system's cryptographic source.
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

HttpSession HttpSessionStore::findLocked(const QByteArray& id)
{
    auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return HttpSession();
    if (it->idleTime() > m_expirationTime) {
        m_sessions.erase(it);
        return HttpSession();
    }
    it->setLastAccess();
    return *it;
}

void HttpSessionStore::setCookie(HttpResponse& response, const QByteArray& id) const
{
    // Rounded up: a Max-Age of 0 would make it a browser-session cookie.
    const int maxAge = int(qBound<qint64>(1, (m_expirationTime + 999) / 1000, 0x7fffffff));
    HttpCookie cookie(m_cookieName, id, maxAge, m_cookiePath, QByteArray(), m_cookieDomain);
    cookie.setHttpOnly(true);
    cookie.setSameSite("Lax");
    response.setCookie(cookie);
}

HttpSession HttpSessionStore::getSession(HttpRequest& request, HttpResponse& response,
                                         bool allowCreate)
{
    QByteArray id = response.getCookies().value(m_cookieName).getValue();
    if (id.isEmpty())
        id = request.getCookie(m_cookieName);

    HttpSession session;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!id.isEmpty())
            session = findLocked(id);
        if (session.isNull() && allowCreate) {
            session = HttpSession(newId());
            addLocked(session);
        }
    }
    if (!session.isNull())
        setCookie(response, session.getId());
    return session;
}

void HttpSessionStore::addLocked(const HttpSession& session)
{
    m_sessions.insert(session.getId(), session);
    if (!session.isEmpty())
        return;
    m_emptyOrder.push_back(session.getId());
    while (int(m_emptyOrder.size()) > m_maxEmptySessions) {
        const auto it = m_sessions.find(m_emptyOrder.front());
        if (it != m_sessions.end() && it->isEmpty())
            m_sessions.erase(it);
        m_emptyOrder.pop_front();
    }
}

HttpSession HttpSessionStore::renewSession(const HttpSession& session, HttpResponse& response)
{
    HttpSession renewed(newId());
    const QMap<QByteArray, QVariant> values = session.getAll();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        renewed.set(it.key(), it.value());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!session.isNull()) {
            const auto it = m_sessions.find(session.getId());
            if (it != m_sessions.end() && *it == session)
                m_sessions.erase(it);
        }
        addLocked(renewed);
    }
    setCookie(response, renewed.getId());
    return renewed;
}

HttpSession HttpSessionStore::getSession(const QByteArray& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return findLocked(id);
}

void HttpSessionStore::removeSession(const HttpSession& session)
{
    if (session.isNull())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sessions.find(session.getId());
    if (it != m_sessions.end() && *it == session)
        m_sessions.erase(it);
}

int HttpSessionStore::removeSessions(const std::function<bool(const HttpSession&)>& matches)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int removed = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (matches(*it)) {
            it = m_sessions.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

int HttpSessionStore::sessionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

void HttpSessionStore::removeExpired()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->idleTime() > m_expirationTime)
            it = m_sessions.erase(it);
        else
            ++it;
    }
}
