#pragma once

#include "RequestParams.h"

class ScriptArray;

// The values of a device add or edit that polling could never use: a slave address no bus
// has, a connection that is not there, a register address outside the Modbus range, a value
// count no request can carry.
class DeviceCheck
{
public:
    // The "Query error" reply naming the first such value, or empty when all can work.
    // parameters is null when the call does not carry the parameter list.
    static QByteArray refusal(const t_GetArray& get, const ScriptArray& iterations,
                              const ScriptArray* parameters);

private:
    // The details text of the first element whose key (a non-number reads 0) lies outside
    // [min, max], or empty.
    static QString numberError(const ScriptArray& a, const char* arrayName, const char* key,
                               qint64 min, qint64 max);
};
