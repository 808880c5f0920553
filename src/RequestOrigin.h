#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
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
    // The refusal of a request whose Host header isOwnHost refused, in one line: the name it
    // gave and the key of config.ini that allows it. The header is the caller's: what of it is
    // shown is cut to the length of a host name and loses control and format characters.
    static QByteArray hostRefusal(const QByteArray& host, const QString& allowingKey);
    // The client a request was made for. Behind a reverse proxy that is one of `proxies`,
    // the right-most X-Forwarded-For entry that is no listed proxy itself (each proxy appends
    // the address it was reached from); the header of any other peer is ignored, so that a
    // caller cannot pick its own address. An entry that is no address ends the walk at the
    // hop that wrote it.
    static QHostAddress client(const HttpRequest& request, const QList<QHostAddress>& proxies);
    // forwardedFor: the X-Forwarded-For values in the order they came.
    static QHostAddress client(const QHostAddress& peer, const QList<QByteArray>& forwardedFor,
                               const QList<QHostAddress>& proxies);

    // This machine's host name, with and without its domain, lower-case.
    static QStringList localHostNames();
    // Configured host names (the entries of a list key) as isOwnHost compares them:
    // lower-case, without a final dot.
    static QStringList hostNames(const QStringList& configured);
};
