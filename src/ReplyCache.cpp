#include "ReplyCache.h"

#include "TryLocker.h"

bool ReplyCache::cached(quint64 current, QByteArray& out) const
{
    const std::shared_ptr<const Entry> entry = std::atomic_load(&m_entry);
    if (!entry || entry->version < current)
        return false;
    out = entry->bytes;
    return true;
}

bool ReplyCache::reply(quint64 current, const Build& build, QByteArray& out)
{
    if (cached(current, out))
        return true;
    // The builder may be waiting for a poll worker's lock: only a caller without any reply
    // waits for it, the others take the last reply.
    const bool hasReply = std::atomic_load(&m_entry) != nullptr;
    const TryLocker building(&m_buildMutex, hasReply ? 0 : m_buildLockMs);
    if (!building)
        return cached(0, out);
    // Another caller may have built it while this one waited.
    if (cached(current, out))
        return true;
    QByteArray bytes;
    quint64 version = 0;
    if (!build(bytes, version))
        return false;
    std::atomic_store(&m_entry, std::make_shared<const Entry>(Entry{bytes, version}));
    out = bytes;
    return true;
}
