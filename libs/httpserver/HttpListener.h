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
// Keys of the settings group: all optional; which there are, what each takes and its default
// are in HttpServerConfig::listener(). What they do here:
//   port              TCP port; 0 picks a free one. The bound port is logged as
//                     "HttpListener: listening on port <N>". One that is no port, and a host
//                     that is no address, leave the listener not listening.
//   host              address to bind; empty binds every address
//   minThreads        idle connection threads kept for the next connections
//   maxThreads        connection threads at most; a connection beyond that is answered 503
//                     and closed (told once, then counted: HttpRefusalLog)
//   maxConnectionsPerAddress
//                     connections of one client address at once; one more is answered 503
//                     and closed, so that one address cannot take every thread
//   trustedProxies    reverse proxies in front of the server: their connections are exempt
//                     from maxConnectionsPerAddress, and the request handler may take the
//                     client from their X-Forwarded-For header
//   cleanupInterval   ms between endings of idle threads above minThreads
//   headerTimeout     ms from the connection's start, or from the previous response, until
//                     the request's header is complete; a late header gets 408, an idle
//                     keep-alive connection is closed
//   readTimeout       ms between pieces of a request body; a late piece gets 408
//   writeTimeout      ms a write waits for the client to take data before giving up
//   maxHeaderSize     bytes of request line and headers; more gives 431
//   maxRequestSize    bytes of a body that is not multipart, and of all multipart text
//                     fields together; more gives 413
//   maxMultiPartSize  bytes of a multipart body; more gives 413
//   maxParameters     query and form parameters of one request together
//   uploadDir         directory of the uploaded files' temporary files (empty: the temp dir)
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
