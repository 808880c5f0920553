#pragma once

#include "ModbusLibGlobal.h"
#include "QextPortInfo.h"

#include <QList>

class QString;

// The serial ports present now.
class MODBUSLIB_EXPORT QextSerialEnumerator
{
public:
    // Serial ports known to the system, then the pseudo-terminals /dev/pts/N in numeric order,
    // then the stable names udev keeps under /dev/serial/by-id and /dev/serial/by-path. Every
    // name is a full path, so a configured "ttyUSB0" matches as a substring and "/dev/ttyUSB0"
    // as a whole.
    static QList<QextPortInfo> getPorts();

    // The links in `directory` that lead to an existing file, by full path in name order, each
    // with the path it leads to as its description.
    static QList<QextPortInfo> linksIn(const QString& directory);
};
