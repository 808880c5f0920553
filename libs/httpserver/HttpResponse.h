#pragma once

#include "HttpCookie.h"
#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMap>

class QTcpSocket;

// The answer to one request, written by the request handler on the connection's thread.
// Status, headers and cookies go out with the first write. A first write that is also the
// last part carries a Content-Length; otherwise the body is sent chunked (HTTP/1.1), or
// ended by closing the connection (HTTP/1.0), unless the handler set Content-Length.
class HTTPSERVER_EXPORT HttpResponse
{
public:
    // socket may be null (then nothing is sent, which suits tests of handlers);
    // writeTimeout bounds each wait of a write for the client to take data.
    explicit HttpResponse(QTcpSocket* socket, int writeTimeout = 60000);
    ~HttpResponse();
    HttpResponse(const HttpResponse&) = delete;
    HttpResponse& operator=(const HttpResponse&) = delete;

    // An empty description is replaced by the usual reason phrase of the code.
    void setStatus(int statusCode, const QByteArray& description = QByteArray());
    int getStatusCode() const { return m_statusCode; }
    QByteArray getStatusDescription() const { return m_statusDescription; }

    // Names compare case-insensitively: setting "Content-type" replaces "Content-Type".
    // The name is sent as given by the last call. CR, LF and NUL are removed.
    void setHeader(const QByteArray& name, const QByteArray& value);
    void setHeader(const QByteArray& name, int value);
    QMap<QByteArray, QByteArray> getHeaders() const { return m_headers; }
    // Case-insensitive; empty when not set.
    QByteArray getHeader(const QByteArray& name) const;

    // A second cookie of the same name replaces the first.
    void setCookie(const HttpCookie& cookie);
    QMap<QByteArray, HttpCookie> getCookies() const { return m_cookies; }

    // 303 See Other to url, sent at once as the whole response.
    void redirect(const QByteArray& url);

    // Queues data for the client: the kernel takes what it can straight from data's bytes,
    // and only the rest is copied to wait on the socket. Blocks while more than about 1 MiB
    // waits there, so a large download never piles up in memory. Writes after the last part
    // are ignored.
    void write(const QByteArray& data, bool lastPart = false);
    // Like write(), and returns only when the bytes went to the connection.
    void write_sync(const QByteArray& data, bool lastPart = false);

    // Bounds all later waits of writes together: a client that has not taken the data by then
    // is cut off, however steadily it reads.
    void setDeadline(const QDeadlineTimer& deadline) { m_deadline = deadline; }
    // Closes the connection without the rest of the response, so that the client sees it
    // incomplete (a chunked body without its last chunk). Later writes are ignored.
    void abort();

    bool hasSentLastPart() const { return m_lastPartSent; }
    bool hasSentHeaders() const { return m_headersSent; }
    // False once the client has gone (or a write timed out): writes return at once then.
    bool isConnected() const;

    // Set by the connection before the handler runs.
    void setRequestInfo(bool http10, bool keepAlive, bool headRequest);
    // Whether the connection must be closed after this response.
    bool closeAfterResponse() const { return m_close; }

    // A complete response with a short plain-text body (none for an empty text) and
    // "Connection: close", for the errors found before a request reaches a handler.
    static QByteArray errorResponse(int statusCode, const QByteArray& text);
    // Its body: the status and the text on one line; empty for an empty text.
    static QByteArray errorBody(int statusCode, const QByteArray& text);
    static QByteArray reasonPhrase(int statusCode);

    // Most pieces one write sends: header, chunk size, body, chunk end, last chunk.
    static constexpr int MaxPieces = 5;

private:
    QByteArray headerBlock(bool lastPart, qint64 size);
    bool send(const QByteArray* pieces, int count);
    bool flushAll();
    // Waits for the client to take some of what is queued; false (the connection aborted)
    // when it took nothing in writeTimeout or the deadline passed.
    bool waitWritten();

    QTcpSocket* m_socket;
    int m_writeTimeout;
    QDeadlineTimer m_deadline{QDeadlineTimer::Forever};
    int m_statusCode = 200;
    QByteArray m_statusDescription = "OK";
    QMap<QByteArray, QByteArray> m_headers;
    QMap<QByteArray, HttpCookie> m_cookies;
    bool m_http10 = false;
    bool m_keepAlive = true;
    bool m_head = false;
    bool m_headersSent = false;
    bool m_chunked = false;
    bool m_close = false;
    bool m_lastPartSent = false;
    qint64 m_declaredLength = -1;
    qint64 m_bodyBytes = 0;
};
