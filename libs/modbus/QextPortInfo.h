#pragma once

#include <QString>

// One serial port present on the machine.
struct QextPortInfo
{
    QString portName;   // full device path, e.g. /dev/ttyUSB0 or /dev/pts/3
    QString friendName; // description, may be empty
};
