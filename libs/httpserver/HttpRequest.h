#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QMultiMap>

class QTemporaryFile;

// One complete request as the parser produced it. Read-only for the request handler.
class HTTPSERVER_EXPORT HttpRequest
{
public:
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    QByteArray getMethod() const { return m_method; }
    // The request target up to '?', exactly as sent (not percent-decoded).
    QByteArray getPath() const { return m_path; }
    // "HTTP/1.0" or "HTTP/1.1".
    QByteArray getVersion() const { return m_version; }
    // Case-insensitive; a repeated header gives its last value; empty when absent.
    QByteArray getHeader(const QByteArray& name) const;
    // Keys are lower-case.
    QMultiMap<QByteArray, QByteArray> getHeaderMap() const { return m_headers; }
    // Query string first, then the urlencoded or multipart body. For a repeated name
    // getParameter(), and value() on the map or on a QMap copy of it, give the last one.
    QByteArray getParameter(const QByteArray& name) const { return m_parameters.value(name); }
    QMultiMap<QByteArray, QByteArray> getParameterMap() const { return m_parameters; }
    // The raw body; empty for multipart bodies, which are decoded while they arrive.
    QByteArray getBody() const { return m_body; }
    QByteArray getCookie(const QByteArray& name) const { return m_cookies.value(name); }
    QMap<QByteArray, QByteArray> getCookieMap() const { return m_cookies; }
    // Open and positioned at 0; owned by the request (gone with it); null when absent.
    QTemporaryFile* getUploadedFile(const QByteArray& fieldName) const;
    QHostAddress getPeerAddress() const { return m_peerAddress; }
    // Whether the client lets the connection stay open after the response.
    bool isKeepAlive() const { return m_keepAlive; }

private:
    friend class HttpRequestParser;
    HttpRequest() = default;

    QByteArray m_method;
    QByteArray m_path;
    QByteArray m_version;
    QMultiMap<QByteArray, QByteArray> m_headers;
    QMultiMap<QByteArray, QByteArray> m_parameters;
    QByteArray m_body;
    QMap<QByteArray, QByteArray> m_cookies;
    QMap<QByteArray, QTemporaryFile*> m_uploadedFiles;
    QHostAddress m_peerAddress;
    bool m_keepAlive = true;
};
