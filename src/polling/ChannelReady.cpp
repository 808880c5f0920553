#include "ChannelReady.h"

ChannelReady::Flag ChannelReady::flag(const QString& channelKey)
{
    QMutexLocker locker(&m_mutex); // held only for the look-up
    Flag& f = m_flags[channelKey];
    if (!f)
        f = std::make_shared<std::atomic<bool>>(false);
    return f;
}
