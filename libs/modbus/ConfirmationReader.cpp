#include "ConfirmationReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int TcpHeaderLength = 7;
constexpr int ExceptionBit = 0x80;
// MBAP length field: the unit id and a PDU of at most 253 bytes.
constexpr int MaxTcpFollowing = 254;

int fail(int err)
{
    errno = err;
    return -1;
}

timespec now()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Whole ms left until the deadline, rounded up so that the last wait reaches it; 0 when past.
int msLeft(const timespec& deadline)
{
    const timespec t = now();
    const long long us =
        (deadline.tv_sec - t.tv_sec) * 1000000LL + (deadline.tv_nsec - t.tv_nsec) / 1000;
    return us <= 0 ? 0 : int((us + 999) / 1000);
}

// Bytes of an answer's PDU (function code onwards) from its first `have` bytes: 0 while more
// are needed to tell, -1 for a function no master request is answered with. The same framing
// as libmodbus's own receive.
int pduLength(const uint8_t* pdu, int have)
{
    if (have < 1)
        return 0;
    const int function = pdu[0];
    if (function & ExceptionBit)
        return 2;
    switch (function) {
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        return 5;
    case MODBUS_FC_MASK_WRITE_REGISTER:
        return 7;
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_REPORT_SLAVE_ID:
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        return have < 2 ? 0 : 2 + pdu[1];
    default:
        return -1;
    }
}

uint16_t crc16(const uint8_t* data, int length)
{
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

} // namespace

ConfirmationReader::ConfirmationReader(modbus_t* ctx, int slave, int function)
    : m_fd(::modbus_get_socket(ctx)),
      m_tcp(::modbus_get_header_length(ctx) == TcpHeaderLength),
      m_slave(slave),
      m_function(function)
{
    uint32_t sec = 0;
    uint32_t usec = 0;
    ::modbus_get_response_timeout(ctx, &sec, &usec);
    m_deadline = now();
    const long long ns = m_deadline.tv_nsec + usec * 1000LL;
    m_deadline.tv_sec += time_t(sec) + time_t(ns / 1000000000);
    m_deadline.tv_nsec = long(ns % 1000000000);
}

int ConfirmationReader::receive(uint8_t* rsp)
{
    if (m_fd < 0)
        return fail(EBADF);
    return m_tcp ? receiveTcp(rsp) : receiveRtu(rsp);
}

// Whatever has arrived, at least one byte and at most max, waiting until the deadline.
int ConfirmationReader::readSome(uint8_t* buf, int max)
{
    for (;;) {
        const int left = msLeft(m_deadline);
        if (left == 0)
            return fail(ETIMEDOUT);
        pollfd p = {m_fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, left);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return -1;
        if (rc == 0)
            continue; // the deadline is tested above
        const ssize_t got = ::read(m_fd, buf, size_t(max));
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            // An error or hang-up with nothing to read stays reported: polling again would
            // spin until the deadline.
            if (!(p.revents & POLLIN) && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
                return fail(ECONNRESET);
            continue;
        }
        if (got < 0)
            return -1;
        if (got == 0)
            return fail(ECONNRESET);
        return int(got);
    }
}

bool ConfirmationReader::readExactly(uint8_t* buf, int n)
{
    while (n > 0) {
        const int got = readSome(buf, n);
        if (got < 0)
            return false;
        buf += got;
        n -= got;
    }
    return true;
}

// Length of the answer's frame if one begins at offset of the held bytes: 0 while they cannot
// tell yet, -1 when none begins there.
int ConfirmationReader::answerLength(int offset) const
{
    const uint8_t* frame = m_held + offset;
    const int have = m_heldLength - offset;
    if (have < 1)
        return 0;
    if (frame[0] != uint8_t(m_slave))
        return -1;
    if (have < 2)
        return 0;
    if (frame[1] != m_function && frame[1] != (m_function | ExceptionBit))
        return -1;
    const int pdu = pduLength(frame + 1, have - 1);
    if (pdu <= 0)
        return pdu;
    const int length = 1 + pdu + 2;
    return length > MODBUS_RTU_MAX_ADU_LENGTH ? -1 : length;
}

// Every offset of the held bytes is tried before more are read: a false header in noise or in
// a garbled frame may announce more bytes than will ever come, and waiting for them would
// swallow the answer behind it. Bytes before the first offset that may still begin the answer
// are dropped, so the held bytes never need more room than one frame. Bytes read beyond the
// answer go with the reader: they came before any later request was sent, so answer none.
int ConfirmationReader::receiveRtu(uint8_t* rsp)
{
    for (;;) {
        int keep = m_heldLength;
        for (int i = 0; i < m_heldLength; ++i) {
            const int length = answerLength(i);
            if (length < 0)
                continue;
            if (length == 0 || i + length > m_heldLength) {
                keep = std::min(keep, i);
                continue;
            }
            const uint8_t* frame = m_held + i;
            const uint16_t crc = crc16(frame, length - 2);
            if (frame[length - 2] == (crc & 0xFF) && frame[length - 1] == crc >> 8) {
                std::memcpy(rsp, frame, size_t(length));
                dropHeld(i + length);
                return length;
            }
        }
        dropHeld(keep);
        // The first held offset is still undecided, so its frame, at most the whole room,
        // is not yet all here: there is room for at least one more byte.
        const int got = readSome(m_held + m_heldLength, MODBUS_RTU_MAX_ADU_LENGTH - m_heldLength);
        if (got < 0)
            return -1;
        m_heldLength += got;
    }
}

void ConfirmationReader::dropHeld(int n)
{
    m_heldLength -= n;
    std::memmove(m_held, m_held + n, size_t(m_heldLength));
}

int ConfirmationReader::receiveTcp(uint8_t* rsp)
{
    if (!readExactly(rsp, TcpHeaderLength))
        return -1;
    const int following = rsp[4] << 8 | rsp[5];
    if (following < 2 || following > MaxTcpFollowing)
        return fail(EMBBADDATA);
    const int pdu = following - 1;
    if (!readExactly(rsp + TcpHeaderLength, pdu))
        return -1;
    // The PDU must be as long as its own function says.
    if (pduLength(rsp + TcpHeaderLength, pdu) != pdu)
        return fail(EMBBADDATA);
    return TcpHeaderLength + pdu;
}
