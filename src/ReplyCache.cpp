#include "ReplyCache.h"

#include "TryLocker.h"

#include <QDeadlineTimer>

#include <chrono>

ReplyCache::ReplyCache(int lockMs, Clock clock) : m_lockMs(lockMs), m_clock(std::move(clock)) {}

qint64 ReplyCache::steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool ReplyCache::reply(quint64 current, int staleMs, const Build& build, QByteArray& out)
{
    const qint64 called = m_clock();
    const QDeadlineTimer deadline(m_lockMs);
    // The cached reply when it shows the data of this call's start (a build that copied them
    // after the call began does); with `young`, also when its build began less than staleMs
    // before this call.
    const auto take = [&](bool young) {
        const std::shared_ptr<const Entry> e = std::atomic_load(&m_entry);
        if (!e || !(e->version >= current || (young && called - e->builtAt < staleMs)))
            return false;
        out = e->bytes;
        return true;
    };
    if (take(false))
        return true;
    {
        const TryLocker building(&m_buildMutex, 0);
        if (building) // another caller may have built it since the first look
            return take(false) || this->build(build, int(deadline.remainingTime()), out);
    }
    // Another caller builds, perhaps waiting for a poll worker's lock: a young reply is handed
    // out meanwhile; an older one could show a device that failed since as good.
    if (take(true))
        return true;
    const TryLocker waited(&m_buildMutex, int(deadline.remainingTime()));
    // Without the lock the time ran out; with it, the build waited for failed or copied the
    // data before they changed last, and this caller builds its own.
    return take(false) || (waited && this->build(build, int(deadline.remainingTime()), out));
}

bool ReplyCache::build(const Build& build, int lockMs, QByteArray& out)
{
    const qint64 began = m_clock();
    QByteArray bytes;
    quint64 version = 0;
    if (!build(lockMs, bytes, version))
        return false;
    std::atomic_store(&m_entry, std::make_shared<const Entry>(Entry{bytes, version, began}));
    out = bytes;
    return true;
}
