#pragma once

#include "ModbusLib.h"

#include <QString>

#include <memory>

// A libmodbus context for tests that talk to a peer without a line: closed and freed on scope exit.
struct ModbusContextDeleter
{
    void operator()(modbus_t* ctx) const
    {
        ::modbus_close(ctx);
        ::modbus_free(ctx);
    }
};
using ModbusContext = std::unique_ptr<modbus_t, ModbusContextDeleter>;

// Connected, addressed to slave, with the response time-out given; null when that fails.
inline ModbusContext connectedContext(modbus_t* raw, int slave, int timeoutMs)
{
    ModbusContext ctx(raw);
    const timeval tv = {0, suseconds_t(timeoutMs) * 1000};
    if (!ctx || modbuslib::modbus_connect(ctx.get()) == -1 ||
        ::modbus_set_slave(ctx.get(), slave) == -1 ||
        modbuslib::modbus_set_timeout_begin(ctx.get(), &tv) == -1)
        return nullptr;
    return ctx;
}

inline ModbusContext tcpContext(quint16 port, int slave, int timeoutMs = 300)
{
    return connectedContext(::modbus_new_tcp("127.0.0.1", port), slave, timeoutMs);
}

inline ModbusContext rtuContext(const QString& device, int slave, int timeoutMs = 300)
{
    return connectedContext(::modbus_new_rtu(device.toLatin1().constData(), 9600, 'N', 8, 1), slave,
                            timeoutMs);
}
