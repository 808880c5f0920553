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
    // The answer to a request of function to slave. The deadline is the context's response
    // time-out from now: made before the request goes out.
    ConfirmationReader(modbus_t* ctx, int slave, int function);

    // One whole frame into rsp (room for MODBUS_MAX_ADU_LENGTH bytes): its length, or -1 with
    // errno ETIMEDOUT (no answer by the deadline), EMBBADDATA (a TCP frame that cannot be
    // framed), ECONNRESET (the peer closed) or the descriptor's own error.
    // On a serial line the answer is a frame with a good CRC, from the slave, of the function
    // or its exception, found wherever it begins among the bytes received: noise, garbled
    // frames and frames of other slaves or functions (late answers) before it are passed over.
    // Over TCP the unit id is taken as the device sends it (many devices ignore the one asked,
    // and the line opens a connection of its own for every read, so no stale reply can be met
    // there); the function is the caller's to check.
    int receive(uint8_t* rsp);

    bool isTcp() const { return m_tcp; }

private:
    int readSome(uint8_t* buf, int max);
    bool readExactly(uint8_t* buf, int n);
    int receiveRtu(uint8_t* rsp);
    int receiveTcp(uint8_t* rsp);
    int answerLength(int offset) const;
    void dropHeld(int n);

    int m_fd;
    bool m_tcp;
    int m_slave;
    int m_function;
    timespec m_deadline{};
    // Serial bytes read but not yet part of the answer, from the first that may still begin it.
    uint8_t m_held[MODBUS_RTU_MAX_ADU_LENGTH] = {};
    int m_heldLength = 0;
};
