#pragma once

#include "ModbusLibGlobal.h"

#include <modbus.h>
#include <sys/time.h>

#include <cstdint>
#include <utility>
#include <vector>

// The Modbus calls the lines use, on libmodbus 3.1.6. Every call returns -1 on failure with
// the reason in errno; read errno at once, before anything else can change it.
//
// libmodbus waits with select(), which cannot watch descriptors of FD_SETSIZE (1024) and
// above: modbuslib::modbus_connect refuses such a descriptor, and the process should keep
// its descriptors low.
namespace modbuslib {

// Registers one response can carry: 250 data bytes at most.
constexpr int MaxRegistersPerResponse = MODBUS_MAX_READ_REGISTERS;
constexpr int MaxRegisters32PerResponse = 62;

// Room for any Report Slave ID answer.
using SlaveIdBuffer = uint8_t[MODBUS_MAX_PDU_LENGTH];

// ::modbus_connect, refusing a descriptor that select() cannot watch (errno EMFILE).
MODBUSLIB_EXPORT int modbus_connect(modbus_t* ctx);

// The response time-out: the wait for the whole of an answer, from the request's sending to its
// last byte (libmodbus's byte time-out is not used). A µs part of 1 000 000 or more is carried
// into the seconds; negative parts and a zero wait are refused (EINVAL).
MODBUSLIB_EXPORT int modbus_get_timeout_begin(modbus_t* ctx, timeval* tv);
MODBUSLIB_EXPORT int modbus_set_timeout_begin(modbus_t* ctx, const timeval* tv);

// The requests a read of nb registers from addr is sent as, (first register, registers): as many
// registers as one response carries (perResponse), in whole values of registersPerValue
// registers, since many devices refuse a read that begins or ends inside a 32-bit value.
// Empty for a read that is refused before anything is sent.
using RequestPart = std::pair<int, int>;
MODBUSLIB_EXPORT std::vector<RequestPart> requestParts(int addr, int nb, int perResponse,
                                                       int registersPerValue);

// Functions 3 and 4: nb 16-bit registers from addr into dest[0..nb-1], host order. More than
// one response can carry is read in consecutive requests (requestParts, in whole values of
// registersPerValue registers); any part failing fails the call.
// A well-formed answer with fewer registers than asked ends the call with the count received
// so far (not nb); dest is never written beyond nb words. nb < 1 or a range beyond register
// 65535 is refused before anything is sent (EMBMDATA). An answer not whole by the response
// time-out fails with ETIMEDOUT.
//
// Over TCP the reply's transaction id is not matched to the request: after a time-out, use a
// new context before the next request so that a late reply cannot pass for its answer. On a
// serial line the answer is a frame with a good CRC from the slave asked, of the function
// asked or its exception, wherever it begins: noise, garbled frames and frames of another slave
// or function before it (a late answer to an earlier request) are passed over, within the same
// time-out.
MODBUSLIB_EXPORT int modbus_read_registers(modbus_t* ctx, int addr, int nb, uint16_t* dest,
                                           int registersPerValue = 1);
MODBUSLIB_EXPORT int modbus_read_input_registers(modbus_t* ctx, int addr, int nb, uint16_t* dest,
                                                 int registersPerValue = 1);

// Function 3 on a device whose registers are 32 bits wide: nb registers, register k delivered
// as dest[2k] (the first two bytes on the wire) and dest[2k+1]; dest holds 2 * nb words.
// Otherwise as modbus_read_registers.
MODBUSLIB_EXPORT int modbus_read_registers_32(modbus_t* ctx, int addr, int nb, uint16_t* dest,
                                              int registersPerValue = 1);

// Report Slave ID: the number of data bytes of the answer (the first is the slave id), within
// the response time-out as the reads.
MODBUSLIB_EXPORT int modbus_report_slave_id(modbus_t* ctx, SlaveIdBuffer& dest);

// errno values after a failed call that count as a time-out: no answer in time, or the
// line itself failed.
MODBUSLIB_EXPORT bool isTimeoutError(int err);

// errno values that carry a Modbus exception reply of the slave.
MODBUSLIB_EXPORT bool isExceptionReply(int err);

} // namespace modbuslib
