#pragma once

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>

// Whether a channel has no cycle running and may be given the next one. One flag per
// connection (its type and key), so that two connections never share one; the flags
// themselves are atomic and read and written without the table's lock.
// It also knows which channels have a worker that has not ended yet: a worker that a stop left
// behind still holds its channel, and no second worker may read beside it.
class ChannelReady
{
public:
    using Flag = std::shared_ptr<std::atomic<bool>>;
    // Held by a channel's worker until it is destroyed; the channel is free again once the
    // last copy goes.
    using Claim = std::shared_ptr<const QString>;

    // The channel's flag, made (false) on first use.
    Flag flag(const QString& channelKey);

    // The channel for a new worker; null while another worker still holds it.
    Claim claim(const QString& channelKey);
    // Workers that hold their channel now; -1 when the table stayed locked.
    int claimedCount();

private:
    QMutex m_mutex;
    QHash<QString, Flag> m_flags;
    QSet<QString> m_claimed;
};
