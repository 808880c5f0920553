#include "HttpRequestHandler.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

HttpRequestHandler::HttpRequestHandler(QObject* parent) : QObject(parent) {}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::service(HttpRequest& request, HttpResponse& response)
{
    Q_UNUSED(request)
    response.setStatus(501, "Not Implemented");
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    response.write("501 Not Implemented\n", true);
}

int HttpRequestHandler::checkHeader(const HttpRequest& request, HttpBodyPolicy* body)
{
    Q_UNUSED(request)
    Q_UNUSED(body)
    return 0;
}
