#pragma once

#include "RequestParams.h"

#include <QObject>

// The device ping: asks a device for its slave id on a line of its own, with the settings of
// the request, before or while it is configured.
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    explicit ModbusEngine(QObject* parent = nullptr);

    // "pingDevice": type ("serial", else TCP), timeout, ModbusId, and ip, portTCP or
    // serialPort, baudRate, parity, stopBits. {"success":true,"message":"<slave id>"} or an error.
    QByteArray pingDevice_j(t_GetArray& GET);
    QByteArray pingSerialDevice(t_GetArray& GET);
    QByteArray pingTcpDevice(t_GetArray& GET);

private:
    QByteArray ping(class ModbusLine& line, const char* connectError);
};
