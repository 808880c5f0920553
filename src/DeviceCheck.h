#pragma once

#include "RequestParams.h"

class ScriptArray;

// The values of a device add or edit that polling could never use: a slave address no bus
// has, a connection that is not there, a register address outside the Modbus range.
class DeviceCheck
{
public:
    // The "Query error" reply naming the first such value, or empty when all can work.
    // parameters is null when the call does not carry the parameter list.
    static QByteArray refusal(const t_GetArray& get, const ScriptArray& iterations,
                              const ScriptArray* parameters);

private:
    static QString registerError(const ScriptArray& a, const char* arrayName);
};
