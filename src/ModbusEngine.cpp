#include "ModbusEngine.h"

#include "Logs.h"
#include "connections/ModbusSerialLine.h"
#include "connections/ModbusTCPLine.h"

ModbusEngine::ModbusEngine(QObject* parent) : QObject(parent) {}

QByteArray ModbusEngine::pingDevice_j(t_GetArray& GET)
{
    return GET.value("type") == "serial" ? pingSerialDevice(GET) : pingTcpDevice(GET);
}

QByteArray ModbusEngine::pingSerialDevice(t_GetArray& GET)
{
    t_serialConnection settings;
    settings.id = RequestParams::toInt(GET, "ModbusId");
    settings.serialPort = RequestParams::text(GET, "serialPort");
    settings.baudRate = RequestParams::toInt(GET, "baudRate");
    const QByteArray parity = GET.value("parity");
    settings.parity = parity.isEmpty() ? char(0) : parity.at(0);
    settings.stopBits = char(RequestParams::toInt(GET, "stopBits"));
    settings.timeout = RequestParams::toInt(GET, "timeout");
    ModbusSerialLine line(settings);
    return ping(line, "Unable to connect with serial port.");
}

QByteArray ModbusEngine::pingTcpDevice(t_GetArray& GET)
{
    t_tcpConnection settings;
    settings.id = RequestParams::toInt(GET, "ModbusId");
    settings.ip = RequestParams::text(GET, "ip");
    settings.portTCP = quint16(GET.value("portTCP").toUShort());
    settings.timeout = RequestParams::toInt(GET, "timeout");
    ModbusTCPLine line(settings);
    return ping(line, "Unable to connect to host.");
}

QByteArray ModbusEngine::ping(ModbusLine& line, const char* connectError)
{
    if (line.connect() != 0)
        return Logs::errorJson(QLatin1String(connectError), QString());
    int slaveId = 0;
    const int result = line.identifySlave(slaveId, 0);
    line.disconnect();
    switch (result) {
    case ModbusLine::Success:
        return Logs::successJson(QString::number(slaveId), QString());
    case ModbusLine::Timeout:
        return Logs::errorJson(QStringLiteral("Device didn't respond in allowed time."), QString());
    default:
        return Logs::errorJson(QStringLiteral("Invalid response."), QString::number(result));
    }
}
