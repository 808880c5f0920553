#pragma once

#include "RequestParams.h"

#include <QObject>

// Devices with their read plans and parameters (tables Devices, ReadIterations,
// ConfiguredParameters).
class DeviceManager : public QObject
{
    Q_OBJECT
public:
    explicit DeviceManager(QObject* parent = nullptr);

    // Creates the Devices table when the opened file lacks it.
    void checkTables();

    // "cfg_getDevCfg": {"devices":[{...}],"parameters":[{...}]}
    QByteArray getDevCfg_j();
    // "cfg_addNewDevice": name, type, ModbusId, ModbusReadFunction, connectionType,
    // idOfConnection, decimal, isActive, readIterations (JSON array), parameters (JSON array).
    // All or nothing: {"success":true} or an error.
    QByteArray addNewDevice_j(t_GetArray& GET);
    // "cfg_removeDevice": id; its read plan, parameters and archive go with it.
    QByteArray removeDevice_j(t_GetArray& GET);
};
