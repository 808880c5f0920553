#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QMap>
#include <QSharedPointer>
#include <QVariant>

// A handle to one session's data. Copies share the data, and every call locks it, so
// several connection threads may use one session at once.
class HTTPSERVER_EXPORT HttpSession
{
public:
    // A null session: it holds nothing and keeps nothing.
    HttpSession();
    // A new session with this id, accessed now.
    explicit HttpSession(const QByteArray& id);

    bool isNull() const { return !d; }
    QByteArray getId() const;

    // Marks the session as used now; expiry counts from here.
    void setLastAccess();
    // Milliseconds since the epoch of the last access; 0 for a null session.
    qint64 getLastAccess() const;
    // Milliseconds since the last access (monotonic clock).
    qint64 idleTime() const;

    // Holds no values (a caller that never logged in, for instance).
    bool isEmpty() const;
    bool contains(const QByteArray& key) const;
    QVariant get(const QByteArray& key) const;
    void set(const QByteArray& key, const QVariant& value);
    void remove(const QByteArray& key);
    QMap<QByteArray, QVariant> getAll() const;

    bool operator==(const HttpSession& other) const { return d == other.d; }
    bool operator!=(const HttpSession& other) const { return d != other.d; }

private:
    struct Data;
    QSharedPointer<Data> d;
};
