#pragma once

#include "HttpServerGlobal.h"
#include "HttpSession.h"

#include <QByteArray>
#include <QMap>
#include <QObject>

#include <mutex>

class HttpRequest;
class HttpResponse;
class QSettings;
class QTimer;

// The sessions of all callers, found by a cookie. Thread-safe.
//
// Keys of the settings group (all optional):
//   expirationTime  ms a session lives without being used (3600000); also the cookie's
//                   Max-Age
//   cookieName      name of the session cookie ("sessionid")
//   cookiePath      its path ("/")
//   cookieDomain    its domain (none)
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
    int sessionCount() const;

    QByteArray cookieName() const { return m_cookieName; }

private:
    void removeExpired();
    HttpSession findLocked(const QByteArray& id);
    void setCookie(HttpResponse& response, const QByteArray& id) const;
    static QByteArray newId();

    qint64 m_expirationTime;
    QByteArray m_cookieName;
    QByteArray m_cookiePath;
    QByteArray m_cookieDomain;
    mutable std::mutex m_mutex;
    QMap<QByteArray, HttpSession> m_sessions;
    QTimer* m_cleanupTimer;
};
