#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QTcpSocket>

class QCryptographicHash;

// One parsed response as a test client saw it.
struct HttpTestReply
{
    bool complete = false;
    int status = 0;
    QByteArray reason;
    QMap<QByteArray, QByteArray> headers; // names lower-case
    QList<QByteArray> headerNames;        // as sent, in order
    QList<QByteArray> setCookies;
    QByteArray body;
    qint64 bodySize = 0;

    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
};

// A blocking HTTP/1.1 client on a plain QTcpSocket that reads responses by their framing
// (Content-Length, chunked, or up to the close), so tests can check the framing itself.
class HttpTestClient
{
public:
    // from: the local address to connect from (127.0.0.2 is a second loopback client).
    bool connectTo(quint16 port, int timeout = 5000, const QHostAddress& from = QHostAddress());
    void send(const QByteArray& bytes);
    // Ends the sending direction only: the server still can answer.
    void shutdownSending();
    // Reads one response; 1xx interim responses are returned like any other. With a hash,
    // body bytes are hashed and counted instead of kept.
    HttpTestReply readReply(int timeout = 10000, QCryptographicHash* hash = nullptr,
                            bool headRequest = false);
    // True when the server closes the connection within timeout.
    bool waitForClose(int timeout = 5000);
    QTcpSocket& socket() { return m_socket; }

    // Connects, sends and reads one response.
    static HttpTestReply exchange(quint16 port, const QByteArray& request, int timeout = 10000);

private:
    bool fill(int timeout);
    bool readUntil(const QByteArray& marker, int timeout, QByteArray& out);
    bool readExactly(qint64 size, int timeout, HttpTestReply& reply, QCryptographicHash* hash);

    QTcpSocket m_socket;
    QByteArray m_buffer;
    bool m_closed = false;
};
