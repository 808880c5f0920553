#pragma once

#include "HttpBodyPolicy.h"
#include "HttpServerGlobal.h"

#include <QObject>

class HttpRequest;
class HttpResponse;

// What the listener calls for every request. service() runs on the connection threads,
// several at once, so a subclass keeps no per-request state in its members; it may block
// (the connection waits) and may run local event loops.
class HTTPSERVER_EXPORT HttpRequestHandler : public QObject
{
    Q_OBJECT
public:
    explicit HttpRequestHandler(QObject* parent = nullptr);
    ~HttpRequestHandler() override;

    // Answers 501 Not Implemented.
    virtual void service(HttpRequest& request, HttpResponse& response);

    // Asked on the connection thread once a request's header is in, before any of its body
    // is read (query parameters, headers and cookies are there; body fields and files are
    // not). Returns 0 to read the request, or a status with which the connection refuses it
    // (empty body) and closes; *body may narrow what the request's body may be. The default
    // accepts all.
    virtual int checkHeader(const HttpRequest& request, HttpBodyPolicy* body);
};
