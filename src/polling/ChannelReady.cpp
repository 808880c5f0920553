#include "ChannelReady.h"

#include "TryLocker.h"

#include <QtDebug>

namespace {

// The claims' lock is held for one set operation.
constexpr int ClaimLockMs = 1000;

} // namespace

ChannelReady::Flag ChannelReady::flag(const QString& channelKey)
{
    QMutexLocker locker(&m_mutex); // held only for the look-up
    Flag& f = m_flags[channelKey];
    if (!f)
        f = std::make_shared<std::atomic<bool>>(false);
    return f;
}

ChannelReady::Claim ChannelReady::claim(const QString& channelKey)
{
    const TryLocker locker(&m_mutex, ClaimLockMs);
    if (!locker || m_claimed.contains(channelKey))
        return {};
    m_claimed.insert(channelKey);
    return Claim(new QString(channelKey), [this](const QString* key) {
        if (const TryLocker released{&m_mutex, ClaimLockMs})
            m_claimed.remove(*key);
        else
            qWarning() << "Channel" << *key << "stays claimed: its table was locked";
        delete key;
    });
}

int ChannelReady::claimedCount()
{
    const TryLocker locker(&m_mutex, ClaimLockMs);
    return locker ? m_claimed.size() : -1;
}
