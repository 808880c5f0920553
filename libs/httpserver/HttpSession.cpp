#include "HttpSession.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <mutex>

struct HttpSession::Data
{
    QByteArray id;
    // std::mutex rather than QMutex: ThreadSanitizer sees it (Qt's own is invisible to it).
    mutable std::mutex mutex;
    qint64 lastAccess = 0;
    QElapsedTimer sinceAccess;
    QMap<QByteArray, QVariant> values;
};

HttpSession::HttpSession() = default;

HttpSession::HttpSession(const QByteArray& id) : d(new Data)
{
    d->id = id;
    setLastAccess();
}

QByteArray HttpSession::getId() const
{
    return d ? d->id : QByteArray(); // the id never changes: no lock needed
}

void HttpSession::setLastAccess()
{
    if (!d)
        return;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->lastAccess = QDateTime::currentMSecsSinceEpoch();
    d->sinceAccess.start();
}

qint64 HttpSession::getLastAccess() const
{
    if (!d)
        return 0;
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->lastAccess;
}

qint64 HttpSession::idleTime() const
{
    if (!d)
        return 0;
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->sinceAccess.elapsed();
}

bool HttpSession::isEmpty() const
{
    if (!d)
        return true;
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->values.isEmpty();
}

bool HttpSession::contains(const QByteArray& key) const
{
    if (!d)
        return false;
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->values.contains(key);
}

QVariant HttpSession::get(const QByteArray& key) const
{
    if (!d)
        return QVariant();
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->values.value(key);
}

void HttpSession::set(const QByteArray& key, const QVariant& value)
{
    if (!d)
        return;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->values.insert(key, value);
}

void HttpSession::remove(const QByteArray& key)
{
    if (!d)
        return;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->values.remove(key);
}

QMap<QByteArray, QVariant> HttpSession::getAll() const
{
    if (!d)
        return {};
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->values;
}
