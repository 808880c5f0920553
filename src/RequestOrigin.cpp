#include "RequestOrigin.h"

#include "HttpListenerSettings.h"
#include "HttpRequest.h"
#include "ShownText.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QUrl>

#include <algorithm>

namespace {

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("http"))
        return 80;
    if (scheme == QLatin1String("https"))
        return 443;
    return -1;
}

struct Origin
{
    QString host;
    int port = -1;
    int schemePort = -1; // the default port of its scheme
};

// The origin an Origin or Referer value names; false for anything but an http(s) origin.
bool parseOrigin(const QByteArray& text, Origin* origin)
{
    const QUrl url(QString::fromUtf8(text.trimmed()), QUrl::StrictMode);
    origin->schemePort = defaultPort(url.scheme().toLower());
    if (!url.isValid() || origin->schemePort < 0 || url.host().isEmpty())
        return false;
    origin->host = url.host();
    origin->port = url.port(origin->schemePort);
    return true;
}

// A Host header as an address; invalid unless it is "name[:port]" or "[v6]:port" and nothing
// more.
QUrl hostUrl(const QByteArray& host)
{
    const QUrl self(QStringLiteral("http://") + QString::fromUtf8(host.trimmed()),
                    QUrl::StrictMode);
    if (host.trimmed().isEmpty() || !self.isValid() || self.host().isEmpty() ||
        !self.path().isEmpty() || !self.userInfo().isEmpty() || self.hasQuery() ||
        self.hasFragment())
        return QUrl();
    return self;
}

QString withoutFinalDot(QString name)
{
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

// A text of the caller's as a refusal may show it: at most the length of a host name.
QString shownText(const QString& text)
{
    constexpr int maxShown = 253;
    return ShownText::of(text, maxShown);
}

// One X-Forwarded-For entry: an address, perhaps with a port ("a.b.c.d:p", "[v6]:p").
QHostAddress forwardedAddress(QByteArray entry)
{
    entry = entry.trimmed();
    if (entry.startsWith('[')) {
        const int close = entry.indexOf(']');
        entry = close < 0 ? QByteArray() : entry.mid(1, close - 1);
    } else if (entry.count(':') == 1) {
        entry.truncate(entry.indexOf(':'));
    }
    return HttpListenerSettings::plain(QHostAddress(QString::fromLatin1(entry)));
}

} // namespace

bool RequestOrigin::isForeign(const HttpRequest& request)
{
    return isForeign(request.getHeader("host"), request.getHeader("origin"),
                     request.getHeader("referer"), request.getHeader("sec-fetch-site"));
}

bool RequestOrigin::isForeign(const QByteArray& host, const QByteArray& origin,
                              const QByteArray& referer, const QByteArray& fetchSite)
{
    // "same-site" is another port or subdomain: still another origin.
    const QByteArray site = fetchSite.trimmed().toLower();
    if (site == "cross-site" || site == "same-site")
        return true;
    const QByteArray source = origin.trimmed().isEmpty() ? referer : origin;
    if (source.trimmed().isEmpty())
        return false;
    Origin from;
    if (!parseOrigin(source, &from))
        return true;

    // Host is "name[:port]" or "[v6]:port"; anything more is no host of ours.
    const QUrl self = hostUrl(host);
    if (!self.isValid())
        return true;
    // Without a port the Host header means the scheme's default, which a proxy in front of
    // the program may serve as https.
    return self.host() != from.host || self.port(from.schemePort) != from.port;
}

bool RequestOrigin::isOwnHost(const QByteArray& host, const QStringList& names)
{
    if (host.trimmed().isEmpty())
        return true;
    const QUrl self = hostUrl(host);
    if (!self.isValid())
        return false;
    const QString name = self.host(); // lower-case; an IPv6 address without its brackets
    if (!QHostAddress(name).isNull())
        return true;
    const QString plain = withoutFinalDot(name);
    return plain == QLatin1String("localhost") || names.contains(plain);
}

QByteArray RequestOrigin::hostRefusal(const QByteArray& host, const QString& allowingKey)
{
    const QUrl self = hostUrl(host);
    if (!self.isValid()) {
        return QStringLiteral("Host header \"%1\" refused: it names no host")
            .arg(shownText(QString::fromUtf8(host.trimmed())))
            .toUtf8();
    }
    return QStringLiteral("Host name \"%1\" refused: add it to %2 in the group [listener] of "
                          "config.ini, then start the program again")
        .arg(shownText(withoutFinalDot(self.host())), allowingKey)
        .toUtf8();
}

QStringList RequestOrigin::localHostNames()
{
    const QString host = QHostInfo::localHostName().toLower();
    const QString domain = withoutFinalDot(QHostInfo::localDomainName().toLower());
    QStringList names;
    if (host.isEmpty())
        return names;
    names << host;
    const int dot = host.indexOf(QLatin1Char('.'));
    if (dot > 0)
        names << host.left(dot);
    else if (!domain.isEmpty())
        names << host + QLatin1Char('.') + domain;
    return names;
}

QStringList RequestOrigin::hostNames(const QStringList& configured)
{
    QStringList names;
    for (const QString& entry : configured) {
        const QString name = withoutFinalDot(entry.toLower());
        if (!name.isEmpty()) // "." names nothing
            names << name;
    }
    return names;
}

QHostAddress RequestOrigin::client(const HttpRequest& request, const QList<QHostAddress>& proxies)
{
    QList<QByteArray> values = request.getHeaderMap().values("x-forwarded-for");
    std::reverse(values.begin(), values.end()); // the map gives the last one first
    return client(request.getPeerAddress(), values, proxies);
}

QHostAddress RequestOrigin::client(const QHostAddress& peer, const QList<QByteArray>& forwardedFor,
                                   const QList<QHostAddress>& proxies)
{
    QHostAddress hop = HttpListenerSettings::plain(peer);
    QList<QByteArray> entries;
    for (const QByteArray& value : forwardedFor)
        entries += value.split(',');
    for (auto it = entries.crbegin(); it != entries.crend() && proxies.contains(hop); ++it) {
        const QHostAddress from = forwardedAddress(*it);
        if (from.isNull())
            break;
        hop = from;
    }
    return hop;
}
