#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

class HttpListener;
class HttpRequestHandler;
class QObject;

// A listener on a free port, running in a thread of its own so that the test thread can
// use blocking client sockets. Its settings are an INI file in a temporary directory.
class TestServer
{
public:
    // keys go to the group "listener"; "port" defaults to 0.
    explicit TestServer(HttpRequestHandler* handler, const QVariantMap& keys = QVariantMap());
    ~TestServer();

    bool isListening() const { return m_listening; }
    quint16 port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    // Deletes the listener (in its thread); the destructor does it otherwise.
    void stop();

private:
    QTemporaryDir m_dir;
    QThread m_thread;
    QObject* m_context = nullptr;
    HttpListener* m_listener = nullptr;
    bool m_listening = false;
    quint16 m_port = 0;
};

// Threads of this process, from /proc/self/status.
int processThreadCount();
// Open file descriptors of this process, from /proc/self/fd.
int openDescriptorCount();
// Resident memory of this process in bytes, from /proc/self/status.
qint64 residentMemory();
