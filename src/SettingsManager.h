#pragma once

#include "RequestParams.h"

#include <QObject>

#include <atomic>

// The run-time settings of the single Settings row, held in memory for every thread.
// Each variable is atomic: HTTP threads, the main thread and the channel workers read them
// while a save on an HTTP thread writes them.
class SettingsManager : public QObject
{
    Q_OBJECT
public:
    explicit SettingsManager(QObject* parent = nullptr);

    std::atomic<int> m_modbusPollInterval{0};
    std::atomic<int> m_modbusIterDelay{0};
    std::atomic<bool> m_sessionEnabled{false};
    std::atomic<qint16> m_defaultAppState{0};

    // Loads the four variables from the row (defaults 5000, 10, false when it cannot be read).
    void updateSettingsVariables();

    // "cfg_getSetting": {"idSettings":"1","archiveVersion":"0.1.1",...}, {} when unreadable.
    QByteArray getSetting_j();

    // "cfg_saveSetting": modbusPollInterval (at least 1), modbusIterDelay (at least 0), both
    // required decimal integers, sessionEnabled, defaultAppState. Only a caller with privilege
    // 255 may change sessionEnabled. Reply {"success":true} or an error.
    QByteArray saveSetting_j(t_GetArray& GET, qint16 callerPrivilege = 255);
};
