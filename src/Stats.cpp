#include "Stats.h"

Stats::Stats(QObject* parent) : QObject(parent) {}

void Stats::addChannel(const QString& type, int channelId)
{
    channels(type).insert(channelId, {});
}

void Stats::addDevice(const QString& type, int channelId, int deviceId)
{
    Channels& c = channels(type);
    const auto it = c.find(channelId);
    if (it != c.end())
        it->insert(deviceId, t_devStats());
}

void Stats::updateDeviceStats(const QString& type, int channelId, int deviceId,
                              const t_devStats& delta)
{
    Channels& c = channels(type);
    const auto channel = c.find(channelId);
    if (channel == c.end())
        return;
    const auto device = channel->find(deviceId);
    if (device == channel->end())
        return;
    t_devStats& s = *device;
    s.poolsCnt += delta.poolsCnt;
    s.validRespCnt += delta.validRespCnt;
    if (delta.avgRespTime > 0)
        s.avgRespTime = int((qint64(delta.avgRespTime) + s.avgRespTime) / 2);
    s.lastRespTime = delta.lastRespTime;
}

void Stats::resetAllStats()
{
    for (Channels* c : {&m_serial, &m_tcp}) {
        for (auto& devices : *c) {
            for (t_devStats& s : devices)
                s = t_devStats();
        }
    }
}

void Stats::clear()
{
    m_serial.clear();
    m_tcp.clear();
}

QByteArray Stats::getModbusStats_j() const
{
    QByteArray out = "[";
    const std::pair<const Channels*, const char*> tables[] = {
        {&m_serial, ",\"chanType\":\"serial\","}, {&m_tcp, ",\"chanType\":\"tcp\","}};
    for (const auto& table : tables) {
        for (auto channel = table.first->cbegin(); channel != table.first->cend(); ++channel) {
            for (auto device = channel->cbegin(); device != channel->cend(); ++device) {
                const t_devStats& s = device.value();
                out += "{\"chanId\":" + QByteArray::number(channel.key()) + table.second +
                       "\"deviceId\":" + QByteArray::number(device.key()) +
                       ",\"poolsCnt\":" + QByteArray::number(s.poolsCnt) +
                       ",\"validRespCnt\":" + QByteArray::number(s.validRespCnt) +
                       ",\"avgRespTime\":" + QByteArray::number(s.avgRespTime) +
                       ",\"lastRespTime\":" + QByteArray::number(s.lastRespTime) + "},";
            }
        }
    }
    if (out.size() == 1)
        return "[]";
    out.chop(1);
    return out + "]";
}
