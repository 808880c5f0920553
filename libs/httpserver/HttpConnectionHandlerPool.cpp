#include "HttpConnectionHandlerPool.h"

#include "HttpConnectionHandler.h"

#include <QThread>
#include <QTimer>

HttpConnectionHandlerPool::HttpConnectionHandlerPool(const HttpListenerSettings& settings,
                                                     HttpRequestHandler* requestHandler,
                                                     QObject* parent)
    : QObject(parent), m_settings(settings), m_requestHandler(requestHandler),
      m_cleanupTimer(new QTimer(this))
{
    connect(m_cleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
    m_cleanupTimer->start(m_settings.cleanupInterval);
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Quit all first so that the threads wind down in parallel.
    for (const Entry& e : qAsConst(m_entries))
        e.thread->quit();
    for (const Entry& e : qAsConst(m_entries)) {
        e.thread->wait();
        delete e.thread; // the handler deleted itself when its thread finished
    }
    m_entries.clear();
}

HttpConnectionHandler* HttpConnectionHandlerPool::getConnectionHandler(const QHostAddress& peer,
                                                                       bool* addressFull)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (addressFull)
        *addressFull = false;
    if (!peer.isNull() && !m_settings.isTrustedProxy(peer)) {
        // A handler that is busy still serves the peer it was claimed for.
        int ofPeer = 0;
        for (const Entry& e : qAsConst(m_entries)) {
            if (e.handler->isBusy() && e.peer == peer)
                ++ofPeer;
        }
        if (ofPeer >= m_settings.maxConnectionsPerAddress) {
            if (addressFull)
                *addressFull = true;
            return nullptr;
        }
    }
    for (Entry& e : m_entries) {
        if (e.handler->tryClaim()) {
            e.peer = peer;
            return e.handler;
        }
    }
    if (m_entries.size() >= m_settings.maxThreads)
        return nullptr;

    auto* handler = new HttpConnectionHandler(m_settings, m_requestHandler);
    auto* thread = new QThread;
    thread->setObjectName(QStringLiteral("HttpConnection-%1").arg(++m_threadNumber));
    handler->moveToThread(thread);
    // Deleted in its own thread, together with its socket.
    connect(thread, &QThread::finished, handler, &QObject::deleteLater);
    handler->tryClaim();
    thread->start();
    m_entries.append({handler, thread, peer});
    return handler;
}

int HttpConnectionHandlerPool::threadCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

void HttpConnectionHandlerPool::cleanup()
{
    QList<QThread*> ending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int idle = 0;
        for (const Entry& e : qAsConst(m_entries)) {
            if (!e.handler->isBusy())
                ++idle;
        }
        for (int i = m_entries.size() - 1; i >= 0 && idle > m_settings.minThreads; --i) {
            // Claiming it keeps the listener from handing it a connection meanwhile.
            if (m_entries.at(i).handler->tryClaim()) {
                ending.append(m_entries.at(i).thread);
                m_entries.removeAt(i);
                --idle;
            }
        }
    }
    for (QThread* thread : qAsConst(ending)) {
        thread->quit();
        thread->wait();
        delete thread;
    }
}
