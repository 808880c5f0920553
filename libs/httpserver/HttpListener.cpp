#include "HttpListener.h"

#include "HttpConnectionHandler.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpResponse.h"

#include <QHostAddress>
#include <QSettings>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

HttpListener::HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent)
    : QTcpServer(parent), m_settings(HttpListenerSettings::fromSettings(settings)),
      m_pool(new HttpConnectionHandlerPool(m_settings, requestHandler, this))
{
    const int port = settings ? settings->value("port", 8080).toInt() : 8080;
    const QString host = settings ? settings->value("host").toString().trimmed() : QString();
    QHostAddress address(QHostAddress::Any);
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!host.isEmpty())
        address = QHostAddress(host);

    if (address.isNull()) {
        qWarning("HttpListener: cannot listen on host %s: not an address", qPrintable(host));
    } else if (port < 0 || port > 65535 || !listen(address, quint16(port))) {
        qWarning("HttpListener: cannot listen on port %d: %s", port, qPrintable(errorString()));
    } else {
        qInfo("HttpListener: listening on port %d", int(serverPort()));
    }
}

HttpListener::~HttpListener()
{
    close();
    delete m_pool; // waits for the connection threads, before the handler can go away
    m_pool = nullptr;
}

void HttpListener::incomingConnection(qintptr socketDescriptor)
{
    HttpConnectionHandler* handler = m_pool->getConnectionHandler();
    if (!handler) {
        reject(socketDescriptor);
        return;
    }
    // Queued: the handler lives in its own thread, where the socket has to be created.
    QMetaObject::invokeMethod(
        handler, [handler, socketDescriptor] { handler->handleConnection(socketDescriptor); },
        Qt::QueuedConnection);
}

void HttpListener::reject(qintptr socketDescriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
#ifdef Q_OS_UNIX
        ::close(int(socketDescriptor));
#endif
        return;
    }
    qWarning("HttpListener: all %d connection threads busy, answering 503", m_settings.maxThreads);
    socket->write(HttpResponse::errorResponse(503, "Too many connections, try again later"));
    HttpConnectionHandler::closeGracefully(socket, qMin(m_settings.readTimeout, 5000));
}
