#pragma once

#include "HttpServerGlobal.h"
#include "HttpSession.h"

#include <QByteArray>
#include <QMap>
#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

class HttpRequest;
class HttpResponse;
class QSettings;
class QTimer;

// The sessions of all callers, found by a cookie. Thread-safe.
//
// Keys of the settings group: all optional; which there are, what each takes and its default
// are in HttpServerConfig::sessions(). What they do here:
//   expirationTime  ms a session lives without being used; also the cookie's Max-Age
//   cookieName      name of the session cookie
//   cookiePath      its path
//   cookieDomain    its domain (empty: none)
//   maxEmptySessions  sessions that hold no values yet (callers that never logged in) kept
//                   at most; the oldest of them goes first, so that a flood of requests
//                   without a cookie cannot grow memory
class HTTPSERVER_EXPORT HttpSessionStore : public QObject
{
    Q_OBJECT
public:
    HttpSessionStore(QSettings* settings, QObject* parent = nullptr);
    ~HttpSessionStore() override;

    // The caller's session, by the cookie set on the response earlier in this request or
    // else sent with the request. Without one, and with allowCreate, a new session whose
    // cookie is set on the response; otherwise a null session. A found session is marked
    // accessed and its cookie renewed.
    HttpSession getSession(HttpRequest& request, HttpResponse& response, bool allowCreate = true);
    // The live session of this id (marked accessed), or a null session.
    HttpSession getSession(const QByteArray& id);
    void removeSession(const HttpSession& session);
    // Ends every session for which `matches` is true and returns how many. `matches` runs
    // under the store's lock: it may read the session, not call the store.
    int removeSessions(const std::function<bool(const HttpSession&)>& matches);
    // Replaces the session by one with a new id and the same values, and sets its cookie on
    // the response; the old id is forgotten. Used when a caller logs in, so that an id
    // planted before the login is worth nothing after it.
    HttpSession renewSession(const HttpSession& session, HttpResponse& response);
    int sessionCount() const;

    QByteArray cookieName() const { return m_cookieName; }

private:
    void removeExpired();
    HttpSession findLocked(const QByteArray& id);
    void addLocked(const HttpSession& session);
    void setCookie(HttpResponse& response, const QByteArray& id) const;
    static QByteArray newId();

    qint64 m_expirationTime;
    QByteArray m_cookieName;
    QByteArray m_cookiePath;
    QByteArray m_cookieDomain;
    mutable std::mutex m_mutex;
    int m_maxEmptySessions;
    QMap<QByteArray, HttpSession> m_sessions;
    // Ids of sessions created empty, oldest first; at most m_maxEmptySessions. An id whose
    // session got values or went away is only dropped when its turn comes.
    std::deque<QByteArray> m_emptyOrder;
    QTimer* m_cleanupTimer;
};
