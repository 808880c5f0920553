#pragma once

#include <QByteArrayList>
#include <QHostAddress>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <functional>

// A scripted SMTP peer in a thread of its own on 127.0.0.1 (or another address) and a free port. It greets each
// connection, then answers every command line by the test's rule; the lines it received are
// kept (a message after DATA as one item). An empty greeting or reply is silence from then on.
class FakeSmtpServer
{
public:
    using Rule = std::function<QByteArray(const QByteArray& command)>;

    FakeSmtpServer(const QByteArray& greeting, Rule rule,
                   const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    ~FakeSmtpServer();

    // 0 when the address could not be listened on.
    quint16 port() const { return m_port; }
    QByteArrayList received() const;
    int connections() const { return m_connections; }

    // A rule for a server that accepts everything, with the EHLO reply's extension lines.
    static Rule accepting(const QByteArrayList& extensions);

private:
    void serveConnection(class QTcpSocket& socket);
    void record(const QByteArray& item);

    QByteArray m_greeting;
    Rule m_rule;
    std::atomic<quint16> m_port{0};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable QMutex m_mutex;
    QByteArrayList m_received;
    QThread* m_thread = nullptr;
};
