#pragma once

#include "HttpBodyPolicy.h"
#include "HttpListenerSettings.h"
#include "HttpServerGlobal.h"

#include <QByteArray>

#include <functional>
#include <memory>

class HttpRequest;
class QHostAddress;

// Turns the bytes of a connection into requests, one after the other. Knows nothing of
// sockets: feed it what arrived, and it tells whether a request is complete or the
// input is broken (with the status to answer). Bytes after a complete request stay
// buffered for the next one (pipelining).
class HTTPSERVER_EXPORT HttpRequestParser
{
public:
    enum class State
    {
        Incomplete,
        Complete,
        Error
    };

    explicit HttpRequestParser(const HttpListenerSettings& settings = HttpListenerSettings());
    ~HttpRequestParser();
    HttpRequestParser(const HttpRequestParser&) = delete;
    HttpRequestParser& operator=(const HttpRequestParser&) = delete;

    void setPeerAddress(const QHostAddress& address);

    // Asked once a request's header is in, before any of its body is read: returns 0 to go
    // on, or the status to refuse the request with (State::Error with an empty error text).
    // It may narrow the body's policy (see HttpBodyPolicy).
    using HeaderCheck = std::function<int(const HttpRequest& request, HttpBodyPolicy* body)>;
    void setHeaderCheck(HeaderCheck check);

    State feed(const QByteArray& data);
    // The peer will send nothing more: a request begun but not complete is an error.
    State finishInput();
    State state() const;

    // True once per request when its header asked for "Expect: 100-continue" and the
    // body is still to come; the caller then sends the interim response.
    bool takeContinueRequest();
    // Nothing of the next request has arrived yet.
    bool isIdle() const;
    bool isHeaderComplete() const;

    // After State::Error: the status to answer (400, 413, 431, ...) and a short reason.
    int errorStatus() const;
    QByteArray errorText() const;

    // After State::Complete: hands over the request; then call next().
    std::unique_ptr<HttpRequest> takeRequest();
    // Starts on the next request with the bytes left over from the previous one.
    State next();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
