#pragma once

#include <QByteArray>

class HttpRequest;

// Whether a request was made by a page of another origin than this server, as the browser
// tells it: Sec-Fetch-Site, then Origin or, without it, Referer compared with the Host header
// (host and port). A request that carries none of them (a script, curl) is not foreign.
// An opaque origin ("null": sandboxed frames, local files) is foreign.
class RequestOrigin
{
public:
    static bool isForeign(const HttpRequest& request);
    static bool isForeign(const QByteArray& host, const QByteArray& origin,
                          const QByteArray& referer, const QByteArray& fetchSite);
};
