#pragma once

#include "HttpListenerSettings.h"
#include "HttpServerGlobal.h"

#include <QHostAddress>
#include <QList>
#include <QObject>

#include <mutex>

class HttpConnectionHandler;
class HttpRequestHandler;
class QThread;
class QTimer;

// The connection threads of a listener: one HttpConnectionHandler per thread, started on
// demand up to maxThreads, idle ones above minThreads ended every cleanupInterval.
class HTTPSERVER_EXPORT HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    HttpConnectionHandlerPool(const HttpListenerSettings& settings,
                              HttpRequestHandler* requestHandler, QObject* parent = nullptr);
    // Ends every thread; a request being served runs to its end first.
    ~HttpConnectionHandlerPool() override;

    // A handler claimed for a new connection from peer, or null when maxThreads are all busy
    // or the peer already has maxConnectionsPerAddress (then *addressFull is set). A null
    // peer (unknown) and a trusted proxy are not counted.
    HttpConnectionHandler* getConnectionHandler(const QHostAddress& peer = QHostAddress(),
                                                bool* addressFull = nullptr);
    int threadCount() const;

private:
    struct Entry
    {
        HttpConnectionHandler* handler;
        QThread* thread;
        QHostAddress peer; // of the connection it was last claimed for
    };

    void cleanup();

    const HttpListenerSettings m_settings;
    HttpRequestHandler* m_requestHandler;
    QList<Entry> m_entries;
    mutable std::mutex m_mutex;
    QTimer* m_cleanupTimer;
    int m_threadNumber = 0;
};
