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
    // The defaults of every key: those of the group's table (HttpServerConfig::listener).
    int minThreads;
    int maxThreads;
    int cleanupInterval;
    int readTimeout;
    int headerTimeout;
    int maxConnectionsPerAddress;
    int writeTimeout;
    qint64 maxHeaderSize;
    qint64 maxRequestSize;
    qint64 maxMultiPartSize;
    // Query and form parameters of one request together: each costs memory and work far
    // beyond its few bytes (the largest real request, a device with hundreds of parameters,
    // sends them as JSON in one field).
    int maxParameters;
    QString uploadDir;
    // Reverse proxies in front of the server: their connections do not count against
    // maxConnectionsPerAddress (they carry every user's), only against maxThreads.
    QList<QHostAddress> trustedProxies;

    HttpListenerSettings();

    // Reads the keys of a QSettings already positioned on the group; missing keys and values
    // the keys do not take give the defaults.
    static HttpListenerSettings fromSettings(const QSettings* settings);

    bool isTrustedProxy(const QHostAddress& address) const;
    // The addresses of a list whose entries are addresses (as the key table gives them).
    static QList<QHostAddress> addresses(const QStringList& entries);
    // An IPv4 address of a dual-stack socket (::ffff:a.b.c.d) as the IPv4 address it is.
    static QHostAddress plain(const QHostAddress& address);

private:
    void read(const QSettings* settings);
};
