#pragma once

#include <QByteArray>
#include <QStringList>

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

    // Whether a Host header names this program as its own users reach it: an IP address (v4 or
    // v6, with or without a port), "localhost", or one of `names` (lower-case host names: the
    // machine's own and those configured). Any other name may be one whose owner pointed it at
    // this machine (DNS rebinding): the browser then takes the owner's pages for the program's.
    // An empty Host passes: HTTP/1.0 scripts send none.
    static bool isOwnHost(const QByteArray& host, const QStringList& names);
    // This machine's host name, with and without its domain, lower-case.
    static QStringList localHostNames();
    // Host names of a configuration value: comma-separated, lower-case, without a final dot.
    static QStringList hostNames(const QStringList& configured);
};
