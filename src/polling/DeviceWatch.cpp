#include "DeviceWatch.h"

#include "Database.h"
#include "OperatorLog.h"
#include "ReadIterations.h"

#include <QSqlQuery>
#include <QVariant>

DeviceWatch::DeviceWatch(const QString& channel, int timeoutMs)
    : m_channel(channel), m_timeoutMs(timeoutMs)
{
}

void DeviceWatch::note(const t_iterationConfig& iteration, int result)
{
    Device& device = m_devices[iteration.idDevice];
    device.unit = iteration.ModbusId;
    if (device.cycleResult <= 0)
        device.cycleResult = result;
}

void DeviceWatch::endCycle()
{
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
        Device& device = it.value();
        if (device.cycleResult < 0)
            continue;
        const bool failing = device.cycleResult != 0;
        if (failing != device.failing) {
            OperatorLog::info(failing ? OperatorLog::deviceNotAnswering(name(it.key()), device.unit,
                                                                        m_channel,
                                                                        device.cycleResult,
                                                                        m_timeoutMs)
                                      : OperatorLog::deviceAnswersAgain(name(it.key()),
                                                                        device.unit, m_channel));
            device.failing = failing;
        }
        device.cycleResult = -1;
    }
}

QString DeviceWatch::name(int idDevice)
{
    // Asked only when a line is written, on this thread's own connection; no lock is held.
    auto it = m_names.find(idDevice);
    if (it == m_names.end()) {
        QSqlQuery q(Database::connection());
        QString name;
        if (Database::exec(q, QStringLiteral("SELECT name FROM Devices WHERE idDevices = ?"),
                           {idDevice}) &&
            q.next())
            name = q.value(0).toString();
        if (name.isEmpty())
            name = QStringLiteral("#%1").arg(idDevice);
        it = m_names.insert(idDevice, name);
    }
    return it.value();
}
