#pragma once

#include "HttpListenerSettings.h"
#include "HttpServerGlobal.h"

#include <QObject>

#include <atomic>
#include <memory>

class HttpRequest;
class HttpRequestHandler;
class HttpRequestParser;
class QTcpSocket;
class QTimer;

// Serves one connection at a time on the thread it was moved to: reads requests (keep-alive
// and pipelining included), calls the request handler, and finishes what the handler left
// open. The pool claims it for a connection; it makes itself free when the connection ends.
class HTTPSERVER_EXPORT HttpConnectionHandler : public QObject
{
    Q_OBJECT
public:
    HttpConnectionHandler(const HttpListenerSettings& settings, HttpRequestHandler* requestHandler);
    ~HttpConnectionHandler() override;

    // Listener thread: marks this handler busy if it was free.
    bool tryClaim();
    bool isBusy() const { return m_busy.load(); }

    // Own thread (call it queued): takes over the accepted socket descriptor.
    void handleConnection(qintptr socketDescriptor);

    // Sends what is queued, ends the sending direction and discards input until the client
    // closes or lingerMs pass, then deletes the socket. Closing at once instead could reset
    // the connection before the client has read the response.
    static void closeGracefully(QTcpSocket* socket, int lingerMs);

private:
    void onReadyRead();
    void onDisconnected();
    void onTimeout();
    void processInput();
    bool serve(HttpRequest& request);
    void answerErrorAndClose(int status, const QByteArray& text);
    void closeConnection();
    void endConnection();
    void closeSpareDescriptor();

    const HttpListenerSettings m_settings;
    HttpRequestHandler* m_requestHandler;
    QTcpSocket* m_socket = nullptr;
    std::unique_ptr<HttpRequestParser> m_parser;
    QTimer* m_timer;
    std::atomic<bool> m_busy{false};
    bool m_inService = false;
    // A second descriptor of the connection: Qt closes its own when the client ends its
    // sending side, and an answer to a truncated request still has to go out.
    int m_spareDescriptor = -1;
};
