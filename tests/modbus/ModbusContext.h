#pragma once

#include "ModbusLib.h"

#include <QDeadlineTimer>
#include <QString>

#include <poll.h>

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

// The RTU peer on the other end of device serves one request at a time: a slow answer a read
// gave up on still holds it. True once the line has been quiet for longer than the peer's
// pauses and the peer answers a plain read (unit 1, register 7) again, within 30 s.
inline bool rtuPeerIdle(const QString& device)
{
    ModbusContext ctx = rtuContext(device, 1, 2000);
    if (!ctx)
        return false;
    QDeadlineTimer deadline(30000);
    pollfd p = {::modbus_get_socket(ctx.get()), POLLIN, 0};
    while (!deadline.hasExpired()) {
        while (::poll(&p, 1, 1000) > 0 && !deadline.hasExpired())
            ::modbus_flush(ctx.get());
        uint16_t word = 0;
        if (modbuslib::modbus_read_registers(ctx.get(), 7, 1, &word) == 1 && word == 7)
            return true;
    }
    return false;
}
