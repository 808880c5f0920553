#pragma once

#include "HttpServerGlobal.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

class QSettings;

// The connection limits of the group "listener", read once and then copied to every
// connection thread (so no thread reads QSettings while serving).
struct HTTPSERVER_EXPORT HttpListenerSettings
{
    int minThreads = 4;
    int maxThreads = 100;
    int cleanupInterval = 1000;
    int readTimeout = 10000;
    int headerTimeout = 5000;
    int maxConnectionsPerAddress = 50;
    int writeTimeout = 60000;
    qint64 maxHeaderSize = 16384;
    qint64 maxRequestSize = 16 * 1024 * 1024;
    qint64 maxMultiPartSize = qint64(1024) * 1024 * 1024;
    // Query and form parameters of one request together: each costs memory and work far
    // beyond its few bytes (the largest real request, a device with hundreds of parameters,
    // sends them as JSON in one field).
    int maxParameters = 10000;
    QString uploadDir;
    // Reverse proxies in front of the server: their connections do not count against
    // maxConnectionsPerAddress (they carry every user's), only against maxThreads.
    QList<QHostAddress> trustedProxies;

    HttpListenerSettings();

    // Reads the keys of a QSettings already positioned on the group; missing keys keep
    // the defaults above and nonsensical values are clamped.
    static HttpListenerSettings fromSettings(const QSettings* settings);

    bool isTrustedProxy(const QHostAddress& address) const;
    // IPv4 or IPv6 addresses separated by commas (one or more values); an entry that is no
    // address is left out, and given in *rejected.
    static QList<QHostAddress> addresses(const QStringList& values,
                                         QStringList* rejected = nullptr);
    // An IPv4 address of a dual-stack socket (::ffff:a.b.c.d) as the IPv4 address it is.
    static QHostAddress plain(const QHostAddress& address);
};
