#include "HttpListener.h"

#include "HttpConnectionHandler.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpResponse.h"
#include "HttpServerConfig.h"

#include <QHostAddress>
#include <QSettings>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

HttpListener::HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent)
    : QTcpServer(parent), m_settings(HttpListenerSettings::fromSettings(settings)),
      m_pool(new HttpConnectionHandlerPool(m_settings, requestHandler, this)),
      m_refusalTimer(new QTimer(this))
{
    m_clock.start();
    m_refusalTimer->setSingleShot(true);
    connect(m_refusalTimer, &QTimer::timeout, this, [this] { tellRefusals(); });

    const ConfigGroup& keys = HttpServerConfig::listener();
    const QVariant port = keys.value(settings, QStringLiteral("port"));
    const QVariant host = keys.value(settings, QStringLiteral("host"));
    m_port = !port.isValid() ? -1 : int(port.toLongLong());
    QHostAddress address(QHostAddress::Any);
    const QString hostText = host.toString().trimmed();
    if (hostText.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!hostText.isEmpty())
        address = QHostAddress(hostText);

    // A port or host the settings do not take is told by the program's check of its
    // configuration, naming the key; here it only means not listening anywhere else.
    m_settingsRefused = !port.isValid() || !host.isValid();
    if (m_settingsRefused)
        return;
    if (!listen(address, quint16(m_port)))
        qWarning("HttpListener: cannot listen on port %d: %s", m_port, qPrintable(errorString()));
    else
        qInfo("HttpListener: listening on port %d", int(serverPort()));
}

HttpListener::~HttpListener()
{
    tellRefusals(true);
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
    const QHostAddress address = peerAddress(socketDescriptor);
    HttpConnectionHandler* handler = m_pool->getConnectionHandler(address, &addressFull);
    if (!handler) {
        reject(socketDescriptor, address,
               addressFull ? "connections of this address" : "connection threads");
        return;
    }
    // Queued: the handler lives in its own thread, where the socket has to be created.
    QMetaObject::invokeMethod(
        handler, [handler, socketDescriptor] { handler->handleConnection(socketDescriptor); },
        Qt::QueuedConnection);
}

void HttpListener::reject(qintptr socketDescriptor, const QHostAddress& address, const char* why)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
#ifdef Q_OS_UNIX
        ::close(int(socketDescriptor));
#endif
        return;
    }
    const QString line =
        m_refusals.refused(address, QString::fromLatin1(why), m_clock.elapsed());
    if (!line.isEmpty())
        qWarning("%s", qUtf8Printable(line));
    tellRefusals();
    socket->write(HttpResponse::errorResponse(503, "Too many connections, try again later"));
    HttpConnectionHandler::closeGracefully(socket, qMin(m_settings.readTimeout, 5000));
}

void HttpListener::tellRefusals(bool final)
{
    const qint64 now = m_clock.elapsed();
    const QString line = m_refusals.due(now, final);
    if (!line.isEmpty())
        qWarning("%s", qUtf8Printable(line));
    const qint64 next = m_refusals.nextDueMs();
    if (next < 0 || final)
        m_refusalTimer->stop();
    else if (!m_refusalTimer->isActive())
        m_refusalTimer->start(int(qBound<qint64>(0, next - now, HttpRefusalLog::DefaultIntervalMs)));
}
