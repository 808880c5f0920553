#pragma once

#include "HttpServerGlobal.h"

#include <QString>

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

    HttpListenerSettings();

    // Reads the keys of a QSettings already positioned on the group; missing keys keep
    // the defaults above and nonsensical values are clamped.
    static HttpListenerSettings fromSettings(const QSettings* settings);
};
