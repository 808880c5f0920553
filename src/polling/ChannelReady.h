#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// Whether a channel has no cycle running and may be given the next one. One flag per
// connection (its type and key), so that two connections never share one; the flags
// themselves are atomic and read and written without the table's lock.
// It also knows which channels have a worker that has not ended yet: a worker that a stop left
// behind still holds its channel, and no second worker may read beside it, neither on its
// connection nor on the device the connection reads (a connection removed and added again
// names the same port or address under a new id).
class ChannelReady
{
public:
    using Flag = std::shared_ptr<std::atomic<bool>>;
    // Held by a channel's worker until it is destroyed; its keys are free again once the last
    // copy goes.
    using Claim = std::shared_ptr<const QStringList>;

    // The channel's flag, made (false) on first use; null when the table stayed locked.
    Flag flag(const QString& channelKey);

    // The keys of a channel (its connection, the device it reads) for a new worker of polling
    // run `run`; null while a worker of another run still holds any of them. Workers of one
    // run may share a device, as two connections naming one port or address always could.
    Claim claim(const QStringList& keys, quint64 run);
    // Workers that hold their channel now; -1 when the table stayed locked.
    int claimedCount();

private:
    struct Holder
    {
        quint64 run;
        int workers;
    };

    QMutex m_mutex;
    QHash<QString, Flag> m_flags;
    QHash<QString, Holder> m_claimed;
    int m_workers = 0;
};
