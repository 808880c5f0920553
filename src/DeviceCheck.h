#pragma once

#include "RequestParams.h"

class ScriptArray;

// The values of a device add or edit that polling could never use: a unit id its line cannot
// address, a connection that is not there, a register address outside the Modbus range, a value
// count no request can carry. A device with an empty connection type and key 0 is on no line
// yet (the browser may assign it later); polling passes it over.
class DeviceCheck
{
public:
    // The "Query error" reply naming the first such value, or empty when all can work.
    // parameters is null when the call does not carry the parameter list.
    static QByteArray refusal(const t_GetArray& get, const ScriptArray& iterations,
                              const ScriptArray* parameters);

private:
    // The details text when ModbusId is no unit id that a line of this connection type (empty:
    // none yet) can address, or empty.
    static QString unitIdError(const t_GetArray& get, const QString& connectionType);
    // The details text of the first element whose key (a non-number reads 0) lies outside
    // [min, max], or empty.
    static QString numberError(const ScriptArray& a, const char* arrayName, const char* key,
                               qint64 min, qint64 max);
};
