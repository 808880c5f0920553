#pragma once

#include <modbus.h>

#include <cstdint>
#include <ctime>

// Reads the answer to one request from a context's descriptor, the whole of it within one
// deadline. libmodbus waits its byte time-out afresh for every byte, so a device that sends
// its answer one byte at a time could hold a read for as long as it likes.
class ConfirmationReader
{
public:
    // The deadline is the context's response time-out from now: made before the request goes out.
    explicit ConfirmationReader(modbus_t* ctx);

    // One whole frame into rsp (room for MODBUS_MAX_ADU_LENGTH bytes): its length, or -1 with
    // errno ETIMEDOUT (no whole frame by the deadline; on a serial line bytes that form no
    // frame with a good CRC are passed over), EMBBADDATA (a TCP frame that cannot be framed),
    // ECONNRESET (the peer closed) or the descriptor's own error.
    int receive(uint8_t* rsp);

    bool isTcp() const { return m_tcp; }

private:
    bool readExactly(uint8_t* buf, int n);
    int receiveRtu(uint8_t* rsp);
    int receiveTcp(uint8_t* rsp);
    void dropHeld(int n);

    int m_fd;
    bool m_tcp;
    timespec m_deadline{};
    // Serial bytes read but not yet part of a frame.
    uint8_t m_held[MODBUS_RTU_MAX_ADU_LENGTH] = {};
    int m_heldLength = 0;
};
