#include "HttpTestClient.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QHostAddress>

#include <sys/socket.h>

bool HttpTestClient::connectTo(quint16 port, int timeout, const QHostAddress& from)
{
    if (!from.isNull() && !m_socket.bind(from))
        return false;
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    return m_socket.waitForConnected(timeout);
}

void HttpTestClient::send(const QByteArray& bytes)
{
    m_socket.write(bytes);
    while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(5000)) {
    }
}

void HttpTestClient::shutdownSending()
{
    m_socket.flush();
    ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
}

bool HttpTestClient::fill(int timeout)
{
    if (m_socket.bytesAvailable() == 0 && !m_closed) {
        if (!m_socket.waitForReadyRead(timeout)) {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                m_closed = true;
        }
    }
    const QByteArray data = m_socket.readAll();
    m_buffer += data;
    return !data.isEmpty();
}

bool HttpTestClient::readUntil(const QByteArray& marker, int timeout, QByteArray& out)
{
    QDeadlineTimer deadline(timeout);
    for (;;) {
        const int at = m_buffer.indexOf(marker);
        if (at >= 0) {
            out = m_buffer.left(at);
            m_buffer.remove(0, at + marker.size());
            return true;
        }
        if (m_closed || deadline.hasExpired())
            return false;
        fill(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

bool HttpTestClient::readExactly(qint64 size, int timeout, HttpTestReply& reply,
                                 QCryptographicHash* hash)
{
    QDeadlineTimer deadline(timeout);
    while (size > 0) {
        if (m_buffer.isEmpty()) {
            if (m_closed || deadline.hasExpired())
                return false;
            fill(int(qMax<qint64>(1, deadline.remainingTime())));
            continue;
        }
        const int take = int(qMin<qint64>(size, m_buffer.size()));
        if (hash)
            hash->addData(m_buffer.constData(), take);
        else
            reply.body.append(m_buffer.constData(), take);
        reply.bodySize += take;
        m_buffer.remove(0, take);
        size -= take;
    }
    return true;
}

HttpTestReply HttpTestClient::readReply(int timeout, QCryptographicHash* hash, bool headRequest)
{
    HttpTestReply reply;
    QByteArray head;
    if (!readUntil("\r\n\r\n", timeout, head))
        return reply;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> statusLine = lines.value(0).trimmed().split(' ');
    reply.status = statusLine.value(1).toInt();
    reply.reason =
        lines.value(0).trimmed().mid(statusLine.value(0).size() + statusLine.value(1).size() + 2);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        reply.headerNames.append(name);
        if (name.toLower() == "set-cookie")
            reply.setCookies.append(value);
        reply.headers.insert(name.toLower(), value);
    }
    if (reply.status / 100 == 1 || headRequest || reply.status == 204 || reply.status == 304) {
        reply.complete = true;
        return reply;
    }
    if (reply.header("transfer-encoding").toLower() == "chunked") {
        for (;;) {
            QByteArray sizeLine;
            if (!readUntil("\r\n", timeout, sizeLine))
                return reply;
            bool ok = false;
            const qint64 size = sizeLine.split(';').value(0).trimmed().toLongLong(&ok, 16);
            if (!ok)
                return reply;
            if (size == 0) {
                QByteArray trailer;
                readUntil("\r\n", timeout, trailer);
                break;
            }
            if (!readExactly(size, timeout, reply, hash))
                return reply;
            QByteArray crlf;
            if (!readUntil("\r\n", timeout, crlf) || !crlf.isEmpty())
                return reply;
        }
    } else if (reply.headers.contains("content-length")) {
        if (!readExactly(reply.header("content-length").toLongLong(), timeout, reply, hash))
            return reply;
    } else {
        // Delimited by the close.
        QDeadlineTimer deadline(timeout);
        while (!m_closed && !deadline.hasExpired())
            fill(int(qMax<qint64>(1, deadline.remainingTime())));
        if (!m_closed)
            return reply;
        readExactly(m_buffer.size(), timeout, reply, hash);
    }
    reply.complete = true;
    return reply;
}

bool HttpTestClient::waitForClose(int timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!m_closed && !deadline.hasExpired()) {
        fill(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return m_closed;
}

HttpTestReply HttpTestClient::exchange(quint16 port, const QByteArray& request, int timeout)
{
    HttpTestClient client;
    if (!client.connectTo(port))
        return HttpTestReply();
    client.send(request);
    return client.readReply(timeout);
}
