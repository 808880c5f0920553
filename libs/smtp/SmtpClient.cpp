#include "SmtpClient.h"

#include "EmailAddress.h"
#include "MimeEncoding.h"
#include "MimeMessage.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QMutex>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QSysInfo>
#include <QThread>
#include <QWaitCondition>
#include <QtDebug>

#include <cctype>

namespace {

// RFC 5321 allows 512 octets per reply line; servers' texts vary, so a little more is read.
constexpr int MaxReplyLine = 4096;
constexpr int MaxReplyLines = 200;

// The system's trust store plus the certificates named by SSL_CERT_FILE and SSL_CERT_DIR
// (OpenSSL's convention, which Qt does not read itself). Built once: the system store takes a
// while to load, and without those variables Qt loads it on demand.
QSslConfiguration tlsConfiguration()
{
    static const QSslConfiguration configuration = [] {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setPeerVerifyMode(QSslSocket::VerifyPeer);
        const QString file = qEnvironmentVariable("SSL_CERT_FILE");
        const QString dirs = qEnvironmentVariable("SSL_CERT_DIR");
        if (file.isEmpty() && dirs.isEmpty())
            return c;
        QList<QSslCertificate> cas = QSslConfiguration::systemCaCertificates();
        if (!file.isEmpty())
            cas += QSslCertificate::fromPath(file, QSsl::Pem);
        for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
            cas += QSslCertificate::fromPath(dir + QStringLiteral("/*"), QSsl::Pem,
                                             QSslCertificate::PatternSyntax::Wildcard);
        c.setCaCertificates(cas);
        return c;
    }();
    return configuration;
}

// A domain of two labels or more, letters, digits and hyphens, whose top label is not all
// digits (an IPv4 address is not a domain): what RFC 5321 takes as a fully qualified name.
bool isFullyQualified(const QString& name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    const QStringList labels = name.split(QLatin1Char('.'));
    if (labels.size() < 2)
        return false;
    for (const QString& label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            const ushort u = c.unicode();
            if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                  u == '-'))
                return false;
        }
    }
    bool digitsOnly = false;
    labels.last().toUInt(&digitsOnly, 10);
    return !digitsOnly;
}

// Looks a name up, waiting no longer than the deadline (a blocking lookup would wait as long as
// the resolver does). QHostInfo answers through an event loop: it runs in a thread of its own,
// so that the calling thread handles none of its events meanwhile (the e-mail worker's timer
// must not start another attempt inside this one). False when the deadline passed first.
bool lookUp(const QString& name, const QDeadlineTimer& deadline, QHostInfo* info)
{
    struct Lookup
    {
        QMutex mutex;
        QWaitCondition done;
        bool finished = false;
        QHostInfo info;
    } lookup;
    std::unique_ptr<QThread> thread(QThread::create([&lookup, name] {
        QEventLoop loop;
        const int id = QHostInfo::lookupHost(name, &loop, [&lookup, &loop](const QHostInfo& info) {
            QMutexLocker lock(&lookup.mutex);
            lookup.info = info;
            lookup.finished = true;
            lookup.done.wakeAll();
            loop.quit();
        });
        loop.exec(); // until the answer, or the caller's quit()
        QHostInfo::abortHostLookup(id); // a late answer is dropped
    }));
    thread->start();
    {
        QMutexLocker lock(&lookup.mutex);
        while (!lookup.finished && lookup.done.wait(&lookup.mutex, deadline)) {
        }
    }
    thread->quit();
    thread->wait();
    *info = lookup.info;
    return lookup.finished;
}

QString tlsFailure(const QSslSocket& socket)
{
    QStringList reasons;
    for (const QSslError& e : socket.sslHandshakeErrors())
        reasons << e.errorString();
    return reasons.isEmpty() ? socket.errorString() : reasons.join(QStringLiteral("; "));
}

} // namespace

SmtpClient::SmtpClient(const QString& host, int port, ConnectionType connectionType,
                       QObject* parent)
    : QObject(parent), m_host(host), m_port(port), m_connectionType(connectionType)
{
}

SmtpClient::~SmtpClient()
{
    disconnect();
}

bool SmtpClient::fail(const QString& reason)
{
    m_lastError = reason;
    qWarning().noquote() << "SmtpClient:" << reason;
    return false;
}

bool SmtpClient::connectToHost()
{
    if (open())
        return true;
    // Nothing more goes over a connection that did not become ready, above all no credentials
    // over one whose upgrade to TLS failed.
    disconnect();
    return false;
}

bool SmtpClient::open()
{
    disconnect();
    m_lastError.clear();
    if (m_connectionType != TcpConnection && m_connectionType != SslConnection &&
        m_connectionType != TlsConnection)
        return fail(QStringLiteral("unknown connection type %1").arg(int(m_connectionType)));
    if (m_port < 1 || m_port > 65535)
        return fail(QStringLiteral("invalid port %1").arg(m_port));

    m_socket = std::make_unique<QSslSocket>();
    m_socket->setSslConfiguration(tlsConfiguration());
    // Certificates must name the server as configured, not the address connected to.
    m_socket->setPeerVerifyName(m_host);
    // One deadline for the lookup, the connection and the TLS hand-shake of type 1.
    const QDeadlineTimer deadline(m_connectionTimeout);
    QList<QHostAddress> addresses;
    if (!resolve(deadline, &addresses))
        return false;
    QString reason;
    for (const QHostAddress& address : qAsConst(addresses)) {
        m_socket->connectToHost(address, quint16(m_port));
        if (m_socket->waitForConnected(int(deadline.remainingTime())))
            break;
        reason = m_socket->errorString();
        m_socket->abort();
        if (deadline.hasExpired())
            break;
    }
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return fail(QStringLiteral("cannot connect to %1:%2: %3")
                        .arg(m_host, QString::number(m_port), reason));
    if (m_connectionType == SslConnection) {
        m_socket->startClientEncryption();
        if (!m_socket->waitForEncrypted(int(deadline.remainingTime())))
            return fail(QStringLiteral("TLS connection to %1:%2 failed: %3")
                            .arg(m_host)
                            .arg(m_port)
                            .arg(tlsFailure(*m_socket)));
    }
    if (!expectReply({220}, m_responseTimeout, "greeting") || !introduce())
        return false;
    if (m_connectionType == TlsConnection)
        return startTls() && introduce();
    return true;
}

bool SmtpClient::resolve(const QDeadlineTimer& deadline, QList<QHostAddress>* addresses)
{
    QHostAddress address;
    if (address.setAddress(m_host)) {
        *addresses = {address};
        return true;
    }
    QHostInfo info;
    if (!lookUp(m_host, deadline, &info))
        return fail(QStringLiteral("cannot resolve %1 within %2 ms")
                        .arg(m_host, QString::number(m_connectionTimeout)));
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
        return fail(QStringLiteral("cannot resolve %1: %2").arg(m_host, info.errorString()));
    *addresses = info.addresses();
    return true;
}

QByteArray SmtpClient::ehloDomain(const QString& hostName, const QHostAddress& localAddress)
{
    QString name = hostName;
    if (name.endsWith(QLatin1Char('.'))) // the root, which EHLO does not carry
        name.chop(1);
    if (isFullyQualified(name))
        return name.toLatin1();
    bool isIPv4 = false;
    const quint32 ipv4 = localAddress.toIPv4Address(&isIPv4); // also an IPv4-mapped IPv6 address
    if (isIPv4 || localAddress.protocol() != QAbstractSocket::IPv6Protocol)
        return '[' + QHostAddress(ipv4).toString().toLatin1() + ']';
    QHostAddress ipv6 = localAddress;
    ipv6.setScopeId(QString()); // an interface name has no place in the literal
    return "[IPv6:" + ipv6.toString().toLatin1() + ']';
}

bool SmtpClient::introduce()
{
    m_extensions.clear();
    m_authMechanisms.clear();
    const QByteArray domain = ehloDomain(QSysInfo::machineHostName(), m_socket->localAddress());
    if (!sendLine("EHLO " + domain, m_responseTimeout))
        return false;
    const int code = readReply(m_responseTimeout);
    if (code == 0)
        return false;
    if (code != 250) // a server that does not know EHLO (RFC 5321, 3.2)
        return command("HELO " + domain, {250}, m_responseTimeout, "HELO");
    for (int i = 1; i < m_replyLines.size(); ++i) {
        QByteArrayList words = m_replyLines.at(i).toUpper().split(' ');
        words.removeAll(QByteArray());
        if (words.isEmpty())
            continue;
        QByteArray keyword = words.takeFirst();
        if (keyword.startsWith("AUTH=")) { // the form of some older servers
            words.prepend(keyword.mid(5));
            keyword = "AUTH";
        }
        m_extensions.insert(keyword);
        if (keyword == "AUTH") {
            for (const QByteArray& mechanism : qAsConst(words))
                m_authMechanisms.insert(mechanism);
        }
    }
    return true;
}

bool SmtpClient::startTls()
{
    // Never on to plain text: without the upgrade nothing else is sent.
    if (!m_extensions.contains("STARTTLS"))
        return fail(QStringLiteral("the server does not offer STARTTLS"));
    if (!command("STARTTLS", {220}, m_responseTimeout, "STARTTLS"))
        return false;
    // Whatever arrived after the go-ahead came unprotected: it is dropped, never read as a reply.
    m_socket->readAll();
    m_socket->startClientEncryption();
    if (!m_socket->waitForEncrypted(m_connectionTimeout))
        return fail(QStringLiteral("STARTTLS with %1:%2 failed: %3")
                        .arg(m_host)
                        .arg(m_port)
                        .arg(tlsFailure(*m_socket)));
    return true;
}

bool SmtpClient::login()
{
    if (m_user.isEmpty())
        return true;
    if (!m_socket)
        return fail(QStringLiteral("not connected"));
    if (m_authMechanisms.contains("PLAIN"))
        return authPlain();
    if (m_authMechanisms.contains("LOGIN"))
        return authLogin();
    return fail(QStringLiteral("the server offers neither AUTH PLAIN nor AUTH LOGIN"));
}

bool SmtpClient::authPlain()
{
    const QByteArray credentials = '\0' + m_user.toUtf8() + '\0' + m_password.toUtf8();
    return command("AUTH PLAIN " + credentials.toBase64(), {235}, m_responseTimeout, "AUTH PLAIN");
}

bool SmtpClient::authLogin()
{
    return command("AUTH LOGIN", {334}, m_responseTimeout, "AUTH LOGIN") &&
           command(m_user.toUtf8().toBase64(), {334}, m_responseTimeout, "the user name") &&
           command(m_password.toUtf8().toBase64(), {235}, m_responseTimeout, "the password");
}

bool SmtpClient::sendMail(MimeMessage& message)
{
    const EmailAddress* sender = message.senderAddress();
    if (!sender || !EmailAddress::isValidAddress(sender->address()))
        return fail(QStringLiteral("invalid sender address %1")
                        .arg(sender ? sender->address() : QString()));
    QList<EmailAddress*> recipients = message.recipients(MimeMessage::To);
    recipients += message.recipients(MimeMessage::Cc);
    recipients += message.recipients(MimeMessage::Bcc);
    if (recipients.isEmpty())
        return fail(QStringLiteral("no recipient"));
    for (const EmailAddress* r : qAsConst(recipients)) {
        if (!EmailAddress::isValidAddress(r->address()))
            return fail(QStringLiteral("invalid recipient address %1").arg(r->address()));
    }
    if (!m_socket)
        return fail(QStringLiteral("not connected"));

    if (!command("MAIL FROM:<" + sender->address().toLatin1() + '>', {250}, m_responseTimeout,
                 "MAIL FROM"))
        return false;
    for (const EmailAddress* r : qAsConst(recipients)) {
        if (!command("RCPT TO:<" + r->address().toLatin1() + '>', {250, 251}, m_responseTimeout,
                     "RCPT TO"))
            return false;
    }
    if (!command("DATA", {354}, m_responseTimeout, "DATA"))
        return false;
    m_socket->write(MimeEncoding::dotStuffed(message.toMime()) + ".\r\n");
    return flushWrites(m_sendMessageTimeout) &&
           expectReply({250}, m_sendMessageTimeout, "the message");
}

void SmtpClient::quit()
{
    if (m_socket && sendLine("QUIT", m_responseTimeout))
        readReply(m_responseTimeout);
}

void SmtpClient::disconnect()
{
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
    m_extensions.clear();
    m_authMechanisms.clear();
}

bool SmtpClient::sendLine(const QByteArray& line, int timeoutMs)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return fail(QStringLiteral("not connected"));
    m_socket->write(line + "\r\n");
    return flushWrites(timeoutMs);
}

bool SmtpClient::flushWrites(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_socket->bytesToWrite() > 0) {
        if (deadline.hasExpired() || !m_socket->waitForBytesWritten(int(deadline.remainingTime())))
            return fail(QStringLiteral("sending failed: %1").arg(m_socket->errorString()));
    }
    return true;
}

int SmtpClient::readReply(int timeoutMs)
{
    m_replyLines.clear();
    if (!m_socket) {
        fail(QStringLiteral("not connected"));
        return 0;
    }
    const QDeadlineTimer deadline(timeoutMs);
    int code = 0;
    for (;;) {
        while (!m_socket->canReadLine()) {
            if (m_socket->bytesAvailable() > MaxReplyLine) {
                fail(QStringLiteral("reply line too long"));
                return 0;
            }
            if (m_socket->state() != QAbstractSocket::ConnectedState) {
                fail(QStringLiteral("the server closed the connection"));
                return 0;
            }
            if (deadline.hasExpired() ||
                !m_socket->waitForReadyRead(int(deadline.remainingTime()))) {
                if (m_socket->canReadLine())
                    break;
                fail(m_socket->state() == QAbstractSocket::ConnectedState
                         ? QStringLiteral("no reply within %1 ms").arg(timeoutMs)
                         : QStringLiteral("the server closed the connection"));
                return 0;
            }
        }
        QByteArray line = m_socket->readLine(MaxReplyLine + 2);
        if (!line.endsWith('\n')) {
            fail(QStringLiteral("reply line too long"));
            return 0;
        }
        line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        const bool wellFormed = line.size() >= 3 && std::isdigit(uchar(line.at(0))) &&
                                std::isdigit(uchar(line.at(1))) &&
                                std::isdigit(uchar(line.at(2))) &&
                                (line.size() == 3 || line.at(3) == ' ' || line.at(3) == '-');
        const int lineCode = wellFormed ? line.left(3).toInt() : 0;
        if (!wellFormed || (code != 0 && lineCode != code)) {
            fail(QStringLiteral("malformed reply: %1").arg(QString::fromLatin1(line.left(100))));
            return 0;
        }
        code = lineCode;
        m_replyLines.append(line.mid(4));
        if (line.size() == 3 || line.at(3) == ' ')
            return code;
        if (m_replyLines.size() >= MaxReplyLines) {
            fail(QStringLiteral("reply too long"));
            return 0;
        }
    }
}

bool SmtpClient::expectReply(std::initializer_list<int> expected, int timeoutMs, const char* what)
{
    const int code = readReply(timeoutMs);
    if (code == 0)
        return false;
    for (const int e : expected) {
        if (code == e)
            return true;
    }
    return fail(QStringLiteral("unexpected reply to %1: %2 %3")
                    .arg(QLatin1String(what))
                    .arg(code)
                    .arg(QString::fromUtf8(m_replyLines.join(' '))));
}

bool SmtpClient::command(const QByteArray& line, std::initializer_list<int> expected, int timeoutMs,
                         const char* what)
{
    return sendLine(line, timeoutMs) && expectReply(expected, timeoutMs, what);
}
