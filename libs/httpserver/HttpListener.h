#pragma once

#include "HttpListenerSettings.h"
#include "HttpRefusalLog.h"
#include "HttpServerGlobal.h"

#include <QElapsedTimer>
#include <QTcpServer>

class HttpConnectionHandlerPool;
class HttpRequestHandler;
class QSettings;
class QTimer;

// Accepts connections and hands each to a connection thread, which calls the request
// handler's service(). Binds in the constructor: isListening() tells whether that worked.
// Deleting the listener stops serving and ends every connection thread.
//
// Keys of the settings group (all optional; what each takes, and its default, is in
// HttpServerConfig::listener()):
//   port              TCP port (8080); 0 picks a free one. The bound port is logged as
//                     "HttpListener: listening on port <N>". One that is no port, and a host
//                     that is no address, leave the listener not listening.
//   host              address to bind (an IPv4 or IPv6 address, or localhost); empty binds
//                     every address
//   minThreads        idle connection threads kept for the next connections (4)
//   maxThreads        connection threads at most (100); a connection beyond that is
//                     answered 503 and closed (told once, then counted: HttpRefusalLog)
//   maxConnectionsPerAddress
//                     connections of one client address at once (half of maxThreads, at
//                     least 6); one more is answered 503 and closed, so that one address
//                     cannot take every thread
//   trustedProxies    reverse proxies in front of the server, IPv4 or IPv6 addresses
//                     separated by commas (none): their connections are exempt from
//                     maxConnectionsPerAddress, and the request handler may take the client
//                     from their X-Forwarded-For header
//   cleanupInterval   ms between endings of idle threads above minThreads (1000)
//   headerTimeout     ms from the connection's start, or from the previous response, until
//                     the request's header is complete (5000); a late header gets 408, an idle
//                     keep-alive connection is closed
//   readTimeout       ms between pieces of a request body (10000); a late piece gets 408
//   writeTimeout      ms a write waits for the client to take data before giving up (60000)
//   maxHeaderSize     bytes of request line and headers (16384); more gives 431
//   maxRequestSize    bytes of a body that is not multipart, and of all multipart text
//                     fields together (16 MiB); more gives 413
//   maxMultiPartSize  bytes of a multipart body (1 GiB); more gives 413
//   uploadDir         directory of the uploaded files' temporary files (the temp dir)
class HTTPSERVER_EXPORT HttpListener : public QTcpServer
{
    Q_OBJECT
public:
    // settings is positioned on the listener's group by the caller and read here only.
    HttpListener(QSettings* settings, HttpRequestHandler* requestHandler,
                 QObject* parent = nullptr);
    ~HttpListener() override;

    // The port listened on, or the one a failed listen was tried on (-1 for none).
    int port() const;
    // Whether the settings held a port or host that cannot be used: nothing was tried then.
    bool settingsRefused() const { return m_settingsRefused; }
    const HttpListenerSettings& settings() const { return m_settings; }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void reject(qintptr socketDescriptor, const QHostAddress& address, const char* why);
    // Writes the count of refusals that is due, and waits for the next one.
    void tellRefusals(bool final = false);

    HttpListenerSettings m_settings;
    HttpConnectionHandlerPool* m_pool;
    int m_port = -1;
    bool m_settingsRefused = false;
    HttpRefusalLog m_refusals;
    QElapsedTimer m_clock;
    QTimer* m_refusalTimer;
};
