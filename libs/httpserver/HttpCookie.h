#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QMap>

// One cookie of a response (Set-Cookie), and the parsing of a request's Cookie header.
class HTTPSERVER_EXPORT HttpCookie
{
public:
    HttpCookie() = default;
    // maxAge in seconds; 0 makes a session cookie (no Max-Age attribute at all, because
    // Max-Age=0 would tell the browser to delete it).
    HttpCookie(const QByteArray& name, const QByteArray& value, int maxAge,
               const QByteArray& path = "/", const QByteArray& comment = QByteArray(),
               const QByteArray& domain = QByteArray(), bool secure = false);

    void setName(const QByteArray& name) { m_name = name; }
    void setValue(const QByteArray& value) { m_value = value; }
    void setMaxAge(int maxAge) { m_maxAge = maxAge; }
    void setPath(const QByteArray& path) { m_path = path; }
    void setComment(const QByteArray& comment) { m_comment = comment; }
    void setDomain(const QByteArray& domain) { m_domain = domain; }
    void setSecure(bool secure) { m_secure = secure; }
    void setHttpOnly(bool httpOnly) { m_httpOnly = httpOnly; }
    // "Strict", "Lax" or "None"; empty sends no SameSite attribute.
    void setSameSite(const QByteArray& sameSite) { m_sameSite = sameSite; }

    QByteArray getName() const { return m_name; }
    QByteArray getValue() const { return m_value; }
    int getMaxAge() const { return m_maxAge; }
    QByteArray getPath() const { return m_path; }
    QByteArray getComment() const { return m_comment; }
    QByteArray getDomain() const { return m_domain; }
    bool getSecure() const { return m_secure; }
    bool getHttpOnly() const { return m_httpOnly; }
    QByteArray getSameSite() const { return m_sameSite; }

    // The value of a Set-Cookie header. The value goes as its bytes (UTF-8 text as it is),
    // unless it holds what a cookie cannot carry (controls, ';', '"', '\\', a blank at either
    // end, bytes that are no UTF-8): then the whole value is percent-encoded, '%' and non-ASCII
    // bytes too, so that a value taken from a request can never split or extend the header.
    // Bytes a name cannot carry ('=' among them) are always encoded, so that no name can set
    // another cookie.
    QByteArray toByteArray() const;

    // Whether a name is a cookie name as it stands: a token of RFC 6265 (letters, digits and
    // !#$%&'*+-.^_`|~), not empty.
    static bool isValidName(const QByteArray& name);

    // Name/value pairs of a Cookie request header ("a=1; b=2"); surrounding double quotes
    // of a value are removed. For a repeated name the first one wins, as browsers send
    // the most specific cookie first.
    static QMap<QByteArray, QByteArray> parseCookieHeader(const QByteArray& header);

private:
    QByteArray m_name;
    QByteArray m_value;
    int m_maxAge = 0;
    QByteArray m_path = "/";
    QByteArray m_comment;
    QByteArray m_domain;
    bool m_secure = false;
    bool m_httpOnly = false;
    QByteArray m_sameSite;
};
