#pragma once

#include <QByteArray>
#include <QMutex>

#include <functional>
#include <memory>

// The last reply built from some data, with the version of the data it shows. Every caller
// gets the same bytes until the data change; then one caller builds the next reply. A caller
// that comes while it is built takes the reply being replaced only when that one's build began
// less than the age the caller allows before its call; else it waits for the new one (within
// the lock time-out): a caller that asks rarely is never shown data from long before its call.
class ReplyCache
{
public:
    // build copies the data (its lock given up after lockMs), notes the version it copied and
    // makes the reply from the copy; it returns false when it could not copy.
    using Build = std::function<bool(int lockMs, QByteArray& reply, quint64& version)>;
    // Monotonic ms: when a reply was built, for its age.
    using Clock = std::function<qint64()>;

    explicit ReplyCache(int lockMs, Clock clock = steadyMs);

    // A reply that shows at least version `current` (the data when the call began); while
    // another caller builds, the reply being replaced when its build began less than `staleMs`
    // before this call. False when none could be had within the lock time-out (the
    // whole call, build included), or build() failed.
    bool reply(quint64 current, int staleMs, const Build& build, QByteArray& out);

    static qint64 steadyMs();

private:
    struct Entry
    {
        QByteArray bytes;
        quint64 version;
        qint64 builtAt; // m_clock() when its build began, before the copy
    };
    bool build(const Build& build, int lockMs, QByteArray& out);

    const int m_lockMs;
    const Clock m_clock;
    QMutex m_buildMutex;
    std::shared_ptr<const Entry> m_entry; // through std::atomic_load / atomic_store only
};
