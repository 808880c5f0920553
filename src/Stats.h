#pragma once

#include "TryLocker.h"

#include <QHash>
#include <QMutex>
#include <QObject>

// Per channel and device: Modbus requests sent, answered correctly, and response times.
// Callers take the lock (lock()) around every call.
class Stats : public QObject
{
    Q_OBJECT
public:
    struct t_devStats
    {
        quint32 poolsCnt = 0;
        quint32 validRespCnt = 0;
        int avgRespTime = 0;  // ms
        int lastRespTime = 0; // ms
    };

    explicit Stats(QObject* parent = nullptr);

    static constexpr int LockTimeoutMs = 500;
    // The lock for the guard's scope, when it comes free within timeoutMs.
    TryLocker lock(int timeoutMs = LockTimeoutMs) { return TryLocker(&m_mutex, timeoutMs); }
    QMutex* mutex() { return &m_mutex; }

    // type: exactly "serial" for a serial channel, anything else for TCP.
    void addChannel(const QString& type, int channelId);
    void addDevice(const QString& type, int channelId, int deviceId);
    // A merge for a channel or device that was never registered is ignored.
    void updateDeviceStats(const QString& type, int channelId, int deviceId,
                           const t_devStats& delta);
    void resetAllStats();
    void clear();

    // [{"chanId":1,"chanType":"serial","deviceId":2,"poolsCnt":..,...},...] in Latin-1.
    QByteArray getModbusStats_j() const;

private:
    using Channels = QHash<int, QHash<int, t_devStats>>;
    Channels& channels(const QString& type)
    {
        return type == QLatin1String("serial") ? m_serial : m_tcp;
    }

    Channels m_serial;
    Channels m_tcp;
    QMutex m_mutex;
};
