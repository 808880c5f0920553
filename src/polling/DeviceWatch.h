#pragma once

#include <QHash>
#include <QMap>
#include <QString>

struct t_iterationConfig;

// Tells the operator when a device of one channel stops answering and when it answers again:
// one information line for each change, none for each failed read. A device answers in a
// cycle when every request for it succeeded; the first failure of the cycle gives the reason.
// Used by its channel worker's thread only.
class DeviceWatch
{
public:
    // channel: the serial port, or address:port; timeoutMs: the line's response time-out.
    DeviceWatch(const QString& channel, int timeoutMs);

    // The result of one request of the cycle, or the result a skipped request was marked with.
    void note(const t_iterationConfig& iteration, int result);
    // After a whole cycle: writes the changes and starts the next cycle's tally.
    void endCycle();

private:
    struct Device
    {
        int unit = 0;
        bool failing = false; // as last told: a device is taken as answering until it fails
        int cycleResult = -1; // -1: not asked in this cycle
    };
    QString name(int idDevice);

    QString m_channel;
    int m_timeoutMs;
    QMap<int, Device> m_devices;
    QHash<int, QString> m_names;
};
