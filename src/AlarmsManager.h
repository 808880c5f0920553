#pragma once

#include "RequestParams.h"

#include <QObject>

// The alarm definitions (table Alarms), read and written by the browser as one list.
class AlarmsManager : public QObject
{
    Q_OBJECT
public:
    explicit AlarmsManager(QObject* parent = nullptr);

    // "cfg_getAlarmsCfg": [{"idAlarms":"1","name":"..",...},...]
    QByteArray getAlarmsCfg_j();
    // "cfg_saveAlarmsCfg": cfg, a JSON array of alarms that replaces the table.
    QByteArray saveAlarmsCfg_j(t_GetArray& GET);
};
