#include "HttpResponse.h"

#include <QTcpSocket>

#include <cerrno>
#include <ostream> // status.hpp uses it without including it

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/uio.h>
#endif

#include <boost/beast/http/status.hpp>

namespace {

// Above this many queued bytes a write waits for the client.
constexpr qint64 kMaxQueuedBytes = 1024 * 1024;

#ifdef Q_OS_UNIX
// Hands the pieces to the kernel as far as it takes them now, straight from their own bytes.
// On return the pieces before `first` went out whole, and `first` up to `offset`; false when
// the connection failed.
bool sendDirect(int fd, const QByteArray* pieces, int count, int& first, qint64& offset)
{
    for (;;) {
        while (first < count && offset >= pieces[first].size()) {
            ++first;
            offset = 0;
        }
        if (first == count)
            return true;
        iovec iov[HttpResponse::MaxPieces];
        int n = 0;
        for (int i = first; i < count; ++i) {
            const qint64 skip = i == first ? offset : 0;
            iov[n].iov_base = const_cast<char*>(pieces[i].constData()) + skip;
            iov[n].iov_len = size_t(pieces[i].size() - skip);
            ++n;
        }
        msghdr message = {};
        message.msg_iov = iov;
        message.msg_iovlen = size_t(n);
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK; // the rest waits in the socket
        }
        for (qint64 left = sent; left > 0;) {
            const qint64 taken = qMin(left, pieces[first].size() - offset);
            offset += taken;
            left -= taken;
            if (offset == pieces[first].size()) {
                ++first;
                offset = 0;
            }
        }
    }
}
#endif

QByteArray clean(const QByteArray& in)
{
    QByteArray out = in;
    out.replace('\r', "").replace('\n', "").replace('\0', "");
    return out;
}

} // namespace

HttpResponse::HttpResponse(QTcpSocket* socket, int writeTimeout)
    : m_socket(socket), m_writeTimeout(writeTimeout)
{
}

HttpResponse::~HttpResponse() = default;

QByteArray HttpResponse::reasonPhrase(int statusCode)
{
    const auto reason =
        boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(statusCode));
    if (reason.empty() || reason.front() == '<')
        return "Unknown";
    return QByteArray(reason.data(), int(reason.size()));
}

QByteArray HttpResponse::errorBody(int statusCode, const QByteArray& text)
{
    return text.isEmpty() ? QByteArray() : QByteArray::number(statusCode) + ' ' + text + '\n';
}

QByteArray HttpResponse::errorResponse(int statusCode, const QByteArray& text)
{
    const QByteArray body = errorBody(statusCode, text);
    return "HTTP/1.1 " + QByteArray::number(statusCode) + ' ' + reasonPhrase(statusCode) +
           "\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void HttpResponse::setStatus(int statusCode, const QByteArray& description)
{
    m_statusCode = statusCode;
    m_statusDescription = description.isEmpty() ? reasonPhrase(statusCode) : clean(description);
}

void HttpResponse::setHeader(const QByteArray& name, const QByteArray& value)
{
    const QByteArray n = clean(name).trimmed();
    if (n.isEmpty())
        return;
    for (auto it = m_headers.begin(); it != m_headers.end();) {
        if (it.key().compare(n, Qt::CaseInsensitive) == 0)
            it = m_headers.erase(it);
        else
            ++it;
    }
    m_headers.insert(n, clean(value));
}

void HttpResponse::setHeader(const QByteArray& name, int value)
{
    setHeader(name, QByteArray::number(value));
}

QByteArray HttpResponse::getHeader(const QByteArray& name) const
{
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QByteArray();
}

void HttpResponse::setCookie(const HttpCookie& cookie)
{
    if (!cookie.getName().isEmpty())
        m_cookies.insert(cookie.getName(), cookie);
}

void HttpResponse::redirect(const QByteArray& url)
{
    setStatus(303, "See Other");
    setHeader("Location", url);
    write("Redirect", true);
}

void HttpResponse::setRequestInfo(bool http10, bool keepAlive, bool headRequest)
{
    m_http10 = http10;
    m_keepAlive = keepAlive;
    m_head = headRequest;
}

bool HttpResponse::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray HttpResponse::headerBlock(bool lastPart, qint64 size)
{
    const QByteArray declared = getHeader("Content-Length");
    if (!declared.isEmpty()) {
        bool ok = false;
        m_declaredLength = declared.trimmed().toLongLong(&ok);
        if (!ok || m_declaredLength < 0) {
            // Unusable: frame the body as if none had been set.
            m_declaredLength = -1;
            for (auto it = m_headers.begin(); it != m_headers.end();) {
                if (it.key().compare("Content-Length", Qt::CaseInsensitive) == 0)
                    it = m_headers.erase(it);
                else
                    ++it;
            }
        }
    }
    if (m_declaredLength >= 0) {
        // The handler's own length frames the body.
    } else if (lastPart) {
        setHeader("Content-Length", QByteArray::number(size));
        m_declaredLength = size;
    } else if (!m_http10) {
        setHeader("Transfer-Encoding", "chunked");
        m_chunked = true;
    } else {
        m_close = true; // HTTP/1.0 without a length: the end of the body is the close
    }
    if (!m_keepAlive || getHeader("Connection").toLower().contains("close"))
        m_close = true;
    if (m_close)
        setHeader("Connection", "close");
    else if (m_http10)
        setHeader("Connection", "keep-alive");

    QByteArray block =
        "HTTP/1.1 " + QByteArray::number(m_statusCode) + ' ' + m_statusDescription + "\r\n";
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it)
        block += it.key() + ": " + it.value() + "\r\n";
    for (const HttpCookie& cookie : qAsConst(m_cookies))
        block += "Set-Cookie: " + cookie.toByteArray() + "\r\n";
    block += "\r\n";
    m_headersSent = true;
    return block;
}

void HttpResponse::write(const QByteArray& data, bool lastPart)
{
    if (m_lastPartSent)
        return;
    // Header, framing and body go out as separate pieces: a body is never copied to join them.
    QByteArray pieces[MaxPieces];
    int count = 0;
    if (!m_headersSent)
        pieces[count++] = headerBlock(lastPart, data.size());
    m_bodyBytes += data.size();
    if (!m_head) {
        if (m_chunked) {
            if (!data.isEmpty()) {
                pieces[count++] = QByteArray::number(data.size(), 16) + "\r\n";
                pieces[count++] = data;
                pieces[count++] = QByteArrayLiteral("\r\n");
            }
            if (lastPart)
                pieces[count++] = QByteArrayLiteral("0\r\n\r\n");
        } else if (!data.isEmpty()) {
            pieces[count++] = data;
        }
    }
    if (lastPart) {
        m_lastPartSent = true;
        // A body that does not match its declared length leaves the connection unusable.
        if (m_declaredLength >= 0 && m_declaredLength != m_bodyBytes && !m_head)
            m_close = true;
    }
    if (count > 0)
        send(pieces, count);
}

void HttpResponse::write_sync(const QByteArray& data, bool lastPart)
{
    write(data, lastPart);
    flushAll();
}

bool HttpResponse::send(const QByteArray* pieces, int count)
{
    if (!isConnected())
        return false;
    int first = 0;
    qint64 offset = 0;
#ifdef Q_OS_UNIX
    // Straight to the kernel while nothing else waits in the socket's buffer (the order of the
    // bytes stays); only what the kernel does not take now is copied into that buffer.
    if (m_socket->bytesToWrite() == 0 && m_socket->socketDescriptor() >= 0 &&
        !sendDirect(int(m_socket->socketDescriptor()), pieces, count, first, offset)) {
        m_socket->abort();
        return false;
    }
#endif
    if (first == count)
        return isConnected();
    for (int i = first; i < count; ++i) {
        const qint64 skip = i == first ? offset : 0;
        const qint64 size = pieces[i].size() - skip;
        if (m_socket->write(pieces[i].constData() + skip, size) != size) {
            m_socket->abort();
            return false;
        }
    }
    m_socket->flush(); // hands what the kernel takes now, without blocking
    while (isConnected() && m_socket->bytesToWrite() > kMaxQueuedBytes) {
        if (!waitWritten())
            return false;
    }
    return isConnected();
}

bool HttpResponse::flushAll()
{
    while (isConnected() && m_socket->bytesToWrite() > 0) {
        if (!waitWritten())
            return false;
    }
    return isConnected();
}

bool HttpResponse::waitWritten()
{
    const qint64 left = m_deadline.remainingTime(); // -1 without a deadline
    const int wait = left < 0 ? m_writeTimeout : int(qMin<qint64>(left, m_writeTimeout));
    if (m_deadline.hasExpired() || !m_socket->waitForBytesWritten(wait) ||
        m_deadline.hasExpired()) {
        m_socket->abort();
        return false;
    }
    return true;
}

void HttpResponse::abort()
{
    m_lastPartSent = true;
    m_close = true;
    if (m_socket)
        m_socket->abort();
}
