#include "HttpListenerSettings.h"

#include <QDir>
#include <QSettings>

HttpListenerSettings::HttpListenerSettings() : uploadDir(QDir::tempPath()) {}

HttpListenerSettings HttpListenerSettings::fromSettings(const QSettings* settings)
{
    HttpListenerSettings s;
    if (!settings)
        return s;
    s.minThreads = qMax(0, settings->value("minThreads", s.minThreads).toInt());
    s.maxThreads = qMax(1, settings->value("maxThreads", s.maxThreads).toInt());
    s.cleanupInterval = qMax(10, settings->value("cleanupInterval", s.cleanupInterval).toInt());
    s.readTimeout = qMax(1, settings->value("readTimeout", s.readTimeout).toInt());
    s.headerTimeout = qMax(1, settings->value("headerTimeout", s.headerTimeout).toInt());
    // Half the threads, so that one address cannot take them all; but at least what a browser
    // opens to one host (6).
    const int share = qMin(s.maxThreads, qMax(6, s.maxThreads / 2));
    s.maxConnectionsPerAddress =
        qBound(1, settings->value("maxConnectionsPerAddress", share).toInt(), s.maxThreads);
    s.writeTimeout = qMax(1, settings->value("writeTimeout", s.writeTimeout).toInt());
    s.maxHeaderSize = qBound<qint64>(
        256, settings->value("maxHeaderSize", s.maxHeaderSize).toLongLong(), 0x7fffffff);
    s.maxRequestSize =
        qMax<qint64>(0, settings->value("maxRequestSize", s.maxRequestSize).toLongLong());
    s.maxMultiPartSize =
        qMax<qint64>(0, settings->value("maxMultiPartSize", s.maxMultiPartSize).toLongLong());
    s.maxParameters = qMax(1, settings->value("maxParameters", s.maxParameters).toInt());
    const QString dir = settings->value("uploadDir").toString();
    if (!dir.isEmpty())
        s.uploadDir = dir;
    QStringList rejected;
    s.trustedProxies = addresses(settings->value("trustedProxies").toStringList(), &rejected);
    for (const QString& entry : qAsConst(rejected))
        qWarning("HttpListener: trusted proxy %s is no address, left out", qPrintable(entry));
    return s;
}

bool HttpListenerSettings::isTrustedProxy(const QHostAddress& address) const
{
    return !address.isNull() && trustedProxies.contains(plain(address));
}

QList<QHostAddress> HttpListenerSettings::addresses(const QStringList& values,
                                                    QStringList* rejected)
{
    QList<QHostAddress> list;
    for (const QString& value : values) {
        for (const QString& part : value.split(QLatin1Char(','))) {
            const QString text = part.trimmed();
            if (text.isEmpty())
                continue;
            const QHostAddress address(text);
            if (!address.isNull())
                list.append(plain(address));
            else if (rejected)
                rejected->append(text);
        }
    }
    return list;
}

QHostAddress HttpListenerSettings::plain(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}
