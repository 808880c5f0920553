#pragma once

#include "ModbusLibGlobal.h"
#include "QextPortInfo.h"

#include <QList>

// The serial ports present now.
class MODBUSLIB_EXPORT QextSerialEnumerator
{
public:
    // Serial ports known to the system, then the pseudo-terminals /dev/pts/N in numeric order.
    // Every name is a full device path, so a configured "ttyUSB0" matches as a substring and
    // "/dev/ttyUSB0" as a whole.
    static QList<QextPortInfo> getPorts();
};
