#include "HttpListenerSettings.h"

#include "HttpServerConfig.h"

#include <QDir>
#include <QSettings>

HttpListenerSettings::HttpListenerSettings()
{
    read(nullptr);
}

HttpListenerSettings HttpListenerSettings::fromSettings(const QSettings* settings)
{
    HttpListenerSettings s;
    s.read(settings);
    return s;
}

void HttpListenerSettings::read(const QSettings* settings)
{
    const ConfigGroup& keys = HttpServerConfig::listener();
    minThreads = int(keys.integer(settings, QStringLiteral("minThreads")));
    maxThreads = int(keys.integer(settings, QStringLiteral("maxThreads")));
    cleanupInterval = int(keys.integer(settings, QStringLiteral("cleanupInterval")));
    readTimeout = int(keys.integer(settings, QStringLiteral("readTimeout")));
    headerTimeout = int(keys.integer(settings, QStringLiteral("headerTimeout")));
    // Half the threads, so that one address cannot take them all; but at least what a browser
    // opens to one host (6).
    const QVariant perAddress = keys.value(settings, QStringLiteral("maxConnectionsPerAddress"));
    maxConnectionsPerAddress = !perAddress.isValid() ? qMin(maxThreads, qMax(6, maxThreads / 2))
                                                   : qMin(int(perAddress.toLongLong()), maxThreads);
    writeTimeout = int(keys.integer(settings, QStringLiteral("writeTimeout")));
    maxHeaderSize = keys.integer(settings, QStringLiteral("maxHeaderSize"));
    maxRequestSize = keys.integer(settings, QStringLiteral("maxRequestSize"));
    maxMultiPartSize = keys.integer(settings, QStringLiteral("maxMultiPartSize"));
    maxParameters = int(keys.integer(settings, QStringLiteral("maxParameters")));
    uploadDir = keys.text(settings, QStringLiteral("uploadDir"));
    if (uploadDir.isEmpty())
        uploadDir = QDir::tempPath();
    trustedProxies =
        addresses(keys.value(settings, QStringLiteral("trustedProxies")).toStringList());
}

bool HttpListenerSettings::isTrustedProxy(const QHostAddress& address) const
{
    return !address.isNull() && trustedProxies.contains(plain(address));
}

QList<QHostAddress> HttpListenerSettings::addresses(const QStringList& entries)
{
    QList<QHostAddress> list;
    for (const QString& entry : entries)
        list.append(plain(QHostAddress(entry)));
    return list;
}

QHostAddress HttpListenerSettings::plain(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}
