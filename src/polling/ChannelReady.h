#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>

// Whether a channel has no cycle running and may be given the next one. One flag per
// connection (its type and key), so that two connections never share one; the flags
// themselves are atomic and read and written without the table's lock.
class ChannelReady
{
public:
    using Flag = std::shared_ptr<std::atomic<bool>>;

    // The channel's flag, made (false) on first use.
    Flag flag(const QString& channelKey);

private:
    QMutex m_mutex;
    QHash<QString, Flag> m_flags;
};
