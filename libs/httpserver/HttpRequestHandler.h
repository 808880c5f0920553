#pragma once

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
};
