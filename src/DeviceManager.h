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
    // "cfg_editDevice": id, the keys of the add, parametersChanged. The read plan is replaced;
    // with parametersChanged the parameters are merged by register address (kept ones keep
    // their archive, dropped ones go with theirs).
    QByteArray editDevice_j(t_GetArray& GET);

    // "cfg_getViewsCfg": [{"id":1,"name":"..","width":800,"height":600,"widgetsCfg":<layout>},...]
    QByteArray getViewsCfg_j();
    // "cfg_addNewView": name, width, height, widgets (a JSON value). {"success":true,"newViewId":
    // 1}
    QByteArray addNewView_j(t_GetArray& GET);
    // "cfg_editView": name, width, height, widgets, id.
    QByteArray editView_j(t_GetArray& GET);
    // "cfg_removeView": id.
    QByteArray removeView_j(t_GetArray& GET);
    // "cfg_viewNameExists": name. {"exists":true} or {"exists":false}
    QByteArray viewNameExists_j(t_GetArray& GET);

private:
    bool countViews(const QString& name, int* count, QByteArray* error);
};
