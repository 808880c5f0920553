#include "FakeSmtpServer.h"

#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
constexpr int PollMs = 50;
}

FakeSmtpServer::FakeSmtpServer(const QByteArray& greeting, Rule rule, const QHostAddress& address)
    : m_greeting(greeting), m_rule(std::move(rule))
{
    QSemaphore listening;
    m_thread = QThread::create([this, &listening, address] {
        QTcpServer server;
        const bool listens = server.listen(address, 0);
        m_port = server.serverPort();
        listening.release();
        if (!listens)
            return;
        while (!m_stop) {
            if (!server.waitForNewConnection(PollMs))
                continue;
            QTcpSocket* socket = server.nextPendingConnection();
            ++m_connections;
            serveConnection(*socket);
            delete socket;
        }
    });
    m_thread->start();
    listening.acquire();
}

FakeSmtpServer::~FakeSmtpServer()
{
    m_stop = true;
    m_thread->wait();
    delete m_thread;
}

QByteArrayList FakeSmtpServer::received() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

void FakeSmtpServer::record(const QByteArray& item)
{
    QMutexLocker lock(&m_mutex);
    m_received.append(item);
}

void FakeSmtpServer::serveConnection(QTcpSocket& socket)
{
    bool silent = m_greeting.isEmpty();
    if (!silent)
        socket.write(m_greeting + "\r\n");
    QByteArray buffer;
    bool inData = false;
    while (!m_stop && socket.state() == QAbstractSocket::ConnectedState) {
        if (!socket.waitForReadyRead(PollMs))
            continue;
        buffer += socket.readAll();
        for (;;) {
            QByteArray reply;
            if (inData) {
                const int end = buffer.indexOf("\r\n.\r\n");
                if (end < 0)
                    break;
                record(buffer.left(end + 2));
                buffer.remove(0, end + 5);
                inData = false;
                reply = m_rule(".");
            } else {
                const int eol = buffer.indexOf("\r\n");
                if (eol < 0)
                    break;
                const QByteArray line = buffer.left(eol);
                buffer.remove(0, eol + 2);
                record(line);
                reply = m_rule(line);
                inData = line.toUpper() == "DATA" && reply.startsWith("354");
            }
            if (silent || reply.isEmpty()) {
                silent = true;
                continue;
            }
            socket.write(reply + "\r\n");
            socket.flush();
        }
    }
}

FakeSmtpServer::Rule FakeSmtpServer::accepting(const QByteArrayList& extensions)
{
    auto loginStep = std::make_shared<int>(0);
    return [extensions, loginStep](const QByteArray& command) -> QByteArray {
        const QByteArray c = command.toUpper();
        if (*loginStep == 1) {
            *loginStep = 2;
            return "334 UGFzc3dvcmQ6";
        }
        if (*loginStep == 2) {
            *loginStep = 0;
            return "235 accepted";
        }
        if (c.startsWith("EHLO")) {
            QByteArrayList lines{"fake.test greets you"};
            lines += extensions;
            QByteArray reply;
            for (int i = 0; i < lines.size(); ++i)
                reply += (i > 0 ? "\r\n250" : "250") +
                         QByteArray(i + 1 < lines.size() ? "-" : " ") + lines.at(i);
            return reply;
        }
        if (c.startsWith("AUTH PLAIN "))
            return "235 accepted";
        if (c == "AUTH LOGIN") {
            *loginStep = 1;
            return "334 VXNlcm5hbWU6";
        }
        if (c.startsWith("MAIL FROM:") || c.startsWith("RCPT TO:") || c == "RSET")
            return "250 ok";
        if (c == "DATA")
            return "354 go ahead";
        if (c == ".")
            return "250 queued";
        if (c == "QUIT")
            return "221 bye";
        return "502 not implemented";
    };
}
