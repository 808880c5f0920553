#pragma once

#include <QByteArray>
#include <QMutex>

#include <functional>
#include <memory>

// The last reply built from some data, with the version of the data it shows. Every caller
// gets the same bytes until the data change; then one caller builds the next reply while the
// others hand out the last one (or, before the first reply, wait for that one) instead of
// building it again.
class ReplyCache
{
public:
    // build copies the data, notes the version it copied and makes the reply from the copy;
    // it returns false when it could not copy (its lock was not free).
    using Build = std::function<bool(QByteArray& reply, quint64& version)>;

    explicit ReplyCache(int buildLockMs) : m_buildLockMs(buildLockMs) {}

    // A reply that shows at least version `current`: the cached one, or a new one; while
    // another caller builds it, the last reply. False when there was none and none could be
    // had within the build's lock time-out, or build() failed.
    bool reply(quint64 current, const Build& build, QByteArray& out);

private:
    struct Entry
    {
        QByteArray bytes;
        quint64 version;
    };
    bool cached(quint64 current, QByteArray& out) const;

    const int m_buildLockMs;
    QMutex m_buildMutex;
    std::shared_ptr<const Entry> m_entry; // through std::atomic_load / atomic_store only
};
