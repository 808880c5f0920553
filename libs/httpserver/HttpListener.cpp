#include "HttpListener.h"

#include "HttpConnectionHandler.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpResponse.h"

#include <QHostAddress>
#include <QSettings>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

HttpListener::HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent)
    : QTcpServer(parent), m_settings(HttpListenerSettings::fromSettings(settings)),
      m_pool(new HttpConnectionHandlerPool(m_settings, requestHandler, this)),
      m_port(settings ? settings->value("port", 8080).toInt() : 8080)
{
    const int port = m_port;
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

int HttpListener::port() const
{
    return isListening() ? int(serverPort()) : m_port;
}

namespace {

// The client's address; IPv4 clients of a dual-stack socket count by their IPv4 address.
QHostAddress peerAddress(qintptr socketDescriptor)
{
#ifdef Q_OS_UNIX
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(int(socketDescriptor), reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return QHostAddress();
    return HttpListenerSettings::plain(QHostAddress(reinterpret_cast<const sockaddr*>(&storage)));
#else
    Q_UNUSED(socketDescriptor)
    return QHostAddress();
#endif
}

} // namespace

void HttpListener::incomingConnection(qintptr socketDescriptor)
{
    bool addressFull = false;
    HttpConnectionHandler* handler =
        m_pool->getConnectionHandler(peerAddress(socketDescriptor), &addressFull);
    if (!handler) {
        reject(socketDescriptor,
               addressFull ? "connections of this address" : "connection threads");
        return;
    }
    // Queued: the handler lives in its own thread, where the socket has to be created.
    QMetaObject::invokeMethod(
        handler, [handler, socketDescriptor] { handler->handleConnection(socketDescriptor); },
        Qt::QueuedConnection);
}

void HttpListener::reject(qintptr socketDescriptor, const char* why)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
#ifdef Q_OS_UNIX
        ::close(int(socketDescriptor));
#endif
        return;
    }
    qWarning("HttpListener: all %s busy, answering 503", why);
    socket->write(HttpResponse::errorResponse(503, "Too many connections, try again later"));
    HttpConnectionHandler::closeGracefully(socket, qMin(m_settings.readTimeout, 5000));
}
