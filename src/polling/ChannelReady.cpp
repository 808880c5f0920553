#include "ChannelReady.h"

#include "TryLocker.h"

#include <QtDebug>

namespace {

// The table's lock is held for one look-up or set operation.
constexpr int ClaimLockMs = 1000;

} // namespace

ChannelReady::Flag ChannelReady::flag(const QString& channelKey)
{
    const TryLocker locker(&m_mutex, ClaimLockMs); // held only for the look-up
    if (!locker)
        return {};
    Flag& f = m_flags[channelKey];
    if (!f)
        f = std::make_shared<std::atomic<bool>>(false);
    return f;
}

ChannelReady::Claim ChannelReady::claim(const QStringList& keys, quint64 run)
{
    const TryLocker locker(&m_mutex, ClaimLockMs);
    if (!locker)
        return {};
    for (const QString& key : keys) {
        const auto held = m_claimed.constFind(key);
        if (held != m_claimed.constEnd() && held->run != run)
            return {};
    }
    for (const QString& key : keys) {
        Holder& holder = m_claimed[key];
        holder.run = run;
        ++holder.workers;
    }
    ++m_workers;
    return Claim(new QStringList(keys), [this](const QStringList* claimed) {
        if (const TryLocker released{&m_mutex, ClaimLockMs}) {
            for (const QString& key : *claimed) {
                const auto held = m_claimed.find(key);
                if (held != m_claimed.end() && --held->workers <= 0)
                    m_claimed.erase(held);
            }
            --m_workers;
        } else {
            qWarning() << "Channel" << claimed->join(QLatin1String(", "))
                       << "stays claimed: its table was locked";
        }
        delete claimed;
    });
}

int ChannelReady::claimedCount()
{
    const TryLocker locker(&m_mutex, ClaimLockMs);
    return locker ? m_workers : -1;
}
