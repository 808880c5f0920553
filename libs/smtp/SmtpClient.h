#pragma once

#include "SmtpGlobal.h"

#include <QByteArrayList>
#include <QObject>
#include <QSet>
#include <QString>

#include <initializer_list>
#include <memory>

class MimeMessage;
class QDeadlineTimer;
class QHostAddress;
class QSslSocket;

// A blocking SMTP client (RFC 5321): every call runs to its end on the calling thread, each
// step bounded by its time-out. The connection is made by connectToHost() on the calling
// thread and belongs to it until disconnect().
//
// Connection types: 0 plain, 1 TLS from the first byte, 2 plain upgraded by STARTTLS (RFC 3207),
// which is required: a server that does not offer it, or whose upgrade fails, ends the attempt
// before anything else is sent. Certificates are verified against the system's trust store
// plus the certificates named by SSL_CERT_FILE and SSL_CERT_DIR; a failed verification fails
// the attempt. Reasons of failures go to the debug output and to lastError().
class SMTPEMAIL_EXPORT SmtpClient : public QObject
{
    Q_OBJECT
public:
    enum ConnectionType : int
    {
        TcpConnection = 0,
        SslConnection = 1,
        TlsConnection = 2
    };

    static constexpr int DefaultConnectionTimeoutMs = 15000;
    static constexpr int DefaultResponseTimeoutMs = 15000;
    static constexpr int DefaultSendMessageTimeoutMs = 60000;

    SmtpClient(const QString& host = QStringLiteral("localhost"), int port = 25,
               ConnectionType connectionType = TcpConnection, QObject* parent = nullptr);
    ~SmtpClient() override;

    void setUser(const QString& user) { m_user = user; }
    void setPassword(const QString& password) { m_password = password; }
    // Bounds of the connection (the host name's lookup, the TCP connection and, for type 1, the
    // TLS hand-shake, together; the STARTTLS hand-shake again), of each reply, and of the
    // message transfer with its reply.
    void setConnectionTimeout(int ms) { m_connectionTimeout = ms; }
    void setResponseTimeout(int ms) { m_responseTimeout = ms; }
    void setSendMessageTimeout(int ms) { m_sendMessageTimeout = ms; }

    // Connects, reads the greeting and introduces the client (EHLO, with STARTTLS for type 2).
    // True when the server is ready for login.
    bool connectToHost();
    // AUTH PLAIN or LOGIN, whichever the server offers; without a user name nothing is sent
    // and the result is true.
    bool login();
    // True when the server accepted the message for every recipient.
    bool sendMail(MimeMessage& message);
    // Ends the SMTP exchange (QUIT).
    void quit();
    // Closes the connection, so that connectToHost() can connect again. Hides
    // QObject::disconnect() on purpose: this class has no signals.
    void disconnect();

    QString lastError() const { return m_lastError; }

    // The name the client gives in EHLO (RFC 5321, 4.1.3): the host name when it is a fully
    // qualified domain, else the address literal of the connection's local end.
    static QByteArray ehloDomain(const QString& hostName, const QHostAddress& localAddress);

private:
    bool fail(const QString& reason);
    bool open();
    // The server's addresses; the configured host itself when it is an address.
    bool resolve(const QDeadlineTimer& deadline, QList<QHostAddress>* addresses);
    bool startTls();
    bool introduce();
    bool authPlain();
    bool authLogin();
    // Writes one command line and waits until it has left.
    bool sendLine(const QByteArray& line, int timeoutMs);
    bool flushWrites(int timeoutMs);
    // Reads one reply, single or multi-line; its code, or 0 after a time-out, a closed
    // connection or a malformed reply. The lines' texts are kept in m_replyLines.
    int readReply(int timeoutMs);
    // sendLine, then readReply: whether the reply code is one of the expected.
    bool command(const QByteArray& line, std::initializer_list<int> expected, int timeoutMs,
                 const char* what);
    bool expectReply(std::initializer_list<int> expected, int timeoutMs, const char* what);

    QString m_host;
    int m_port;
    ConnectionType m_connectionType;
    QString m_user;
    QString m_password;
    int m_connectionTimeout = DefaultConnectionTimeoutMs;
    int m_responseTimeout = DefaultResponseTimeoutMs;
    int m_sendMessageTimeout = DefaultSendMessageTimeoutMs;

    std::unique_ptr<QSslSocket> m_socket;
    QByteArrayList m_replyLines;
    QSet<QByteArray> m_extensions;
    QSet<QByteArray> m_authMechanisms;
    QString m_lastError;
};
