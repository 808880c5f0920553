#include "HttpConnectionHandler.h"

#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpRequestParser.h"
#include "HttpResponse.h"

#include <QTcpSocket>
#include <QTimer>

#include <exception>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Bounds what a client can queue while its request is being served.
constexpr qint64 kReadBufferSize = 1024 * 1024;
constexpr qint64 kReadPiece = 256 * 1024;

void shutdownSending(QTcpSocket* socket)
{
#ifdef Q_OS_UNIX
    if (socket->socketDescriptor() >= 0)
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
#else
    socket->disconnectFromHost();
#endif
}

} // namespace

HttpConnectionHandler::HttpConnectionHandler(const HttpListenerSettings& settings,
                                             HttpRequestHandler* requestHandler)
    : m_settings(settings), m_requestHandler(requestHandler), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &HttpConnectionHandler::onTimeout);
}

HttpConnectionHandler::~HttpConnectionHandler()
{
    closeSpareDescriptor();
}

bool HttpConnectionHandler::tryClaim()
{
    bool expected = false;
    return m_busy.compare_exchange_strong(expected, true);
}

void HttpConnectionHandler::closeGracefully(QTcpSocket* socket, int lingerMs)
{
    socket->disconnect();
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(lingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    auto shutdownWhenSent = [socket] {
        if (socket->bytesToWrite() == 0 && !socket->property("httpShutdown").toBool()) {
            socket->setProperty("httpShutdown", true);
            shutdownSending(socket);
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, shutdownWhenSent);
    socket->flush();
    shutdownWhenSent();
}

void HttpConnectionHandler::handleConnection(qintptr socketDescriptor)
{
    m_socket = new QTcpSocket(this);
    if (!m_socket->setSocketDescriptor(socketDescriptor)) {
        qWarning("HttpConnectionHandler: cannot take over the connection: %s",
                 qPrintable(m_socket->errorString()));
#ifdef Q_OS_UNIX
        ::close(int(socketDescriptor));
#endif
        endConnection();
        return;
    }
#ifdef Q_OS_UNIX
    m_spareDescriptor = ::dup(int(socketDescriptor));
#endif
    m_socket->setReadBufferSize(kReadBufferSize);
    m_parser.reset(new HttpRequestParser(m_settings));
    m_parser->setPeerAddress(m_socket->peerAddress());
    HttpRequestHandler* handler = m_requestHandler;
    m_parser->setHeaderCheck([handler](const HttpRequest& request, HttpBodyPolicy* body) {
        return handler->checkHeader(request, body);
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnectionHandler::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnectionHandler::onDisconnected);
    m_timer->start(m_settings.headerTimeout);
    processInput();
}

void HttpConnectionHandler::onReadyRead()
{
    // A handler running a local event loop must not see its next request start underneath.
    if (m_inService || !m_socket)
        return;
    processInput();
}

void HttpConnectionHandler::processInput()
{
    while (m_socket && m_socket->bytesAvailable() > 0) {
        HttpRequestParser::State state = m_parser->feed(m_socket->read(kReadPiece));
        // The header has one deadline, however slowly it trickles in; after it each piece
        // of the body restarts readTimeout, so a large upload on a slow line is not cut off.
        if (m_parser->isHeaderComplete())
            m_timer->start(m_settings.readTimeout);
        if (m_parser->takeContinueRequest()) {
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            m_socket->flush();
        }
        while (state == HttpRequestParser::State::Complete) {
            m_timer->stop();
            std::unique_ptr<HttpRequest> request = m_parser->takeRequest();
            const bool keepOpen = serve(*request);
            request.reset(); // removes the uploaded files
            if (!m_socket)
                return;
            if (m_socket->state() != QAbstractSocket::ConnectedState) {
                endConnection();
                return;
            }
            if (!keepOpen) {
                closeConnection();
                return;
            }
            state = m_parser->next();
            m_timer->start(m_parser->isHeaderComplete() ? m_settings.readTimeout
                                                        : m_settings.headerTimeout);
            if (m_parser->takeContinueRequest()) {
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
                m_socket->flush();
            }
        }
        if (state == HttpRequestParser::State::Error) {
            answerErrorAndClose(m_parser->errorStatus(), m_parser->errorText());
            return;
        }
    }
}

bool HttpConnectionHandler::serve(HttpRequest& request)
{
    HttpResponse response(m_socket, m_settings.writeTimeout);
    response.setRequestInfo(request.getVersion() == "HTTP/1.0", request.isKeepAlive(),
                            request.getMethod() == "HEAD");
    m_inService = true;
    try {
        m_requestHandler->service(request, response);
    } catch (const std::exception& e) {
        qWarning("HttpConnectionHandler: request handler failed: %s", e.what());
        if (!response.hasSentHeaders()) {
            response.setStatus(500, "Internal Server Error");
            response.write("500 Internal Server Error\n", true);
        }
    } catch (...) {
        qWarning("HttpConnectionHandler: request handler failed");
        if (!response.hasSentHeaders()) {
            response.setStatus(500, "Internal Server Error");
            response.write("500 Internal Server Error\n", true);
        }
    }
    m_inService = false;
    if (!response.hasSentLastPart())
        response.write(QByteArray(), true);
    return response.isConnected() && !response.closeAfterResponse();
}

void HttpConnectionHandler::answerErrorAndClose(int status, const QByteArray& text)
{
    m_socket->write(HttpResponse::errorResponse(status, text));
    closeConnection();
}

void HttpConnectionHandler::closeConnection()
{
    QTcpSocket* socket = m_socket;
    m_socket = nullptr;
    // Free before the client sees the end: it may connect again at once. The next
    // connection is handed over queued, so it cannot start before this returns.
    endConnection();
    closeGracefully(socket, qMin(m_settings.readTimeout, 5000));
}

void HttpConnectionHandler::onDisconnected()
{
    if (m_inService)
        return; // looked at when the handler returns
    // The client ended its side in the middle of a request: answer it on the spare
    // descriptor, which Qt has not closed.
    if (m_parser && m_spareDescriptor >= 0 &&
        m_parser->finishInput() == HttpRequestParser::State::Error) {
#ifdef Q_OS_UNIX
        const QByteArray answer =
            HttpResponse::errorResponse(m_parser->errorStatus(), m_parser->errorText());
        if (::send(m_spareDescriptor, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL) > 0)
            ::shutdown(m_spareDescriptor, SHUT_WR);
#endif
    }
    endConnection();
}

void HttpConnectionHandler::onTimeout()
{
    if (!m_socket || m_inService)
        return;
    if (m_parser->isIdle()) {
        // An idle keep-alive connection is just closed.
        closeConnection();
        return;
    }
    answerErrorAndClose(408, "Request timed out");
}

void HttpConnectionHandler::endConnection()
{
    m_timer->stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    closeSpareDescriptor();
    m_parser.reset();
    m_busy.store(false); // last: from here on the pool may hand over the next connection
}

void HttpConnectionHandler::closeSpareDescriptor()
{
#ifdef Q_OS_UNIX
    if (m_spareDescriptor >= 0)
        ::close(m_spareDescriptor);
#endif
    m_spareDescriptor = -1;
}
