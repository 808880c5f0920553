#include "ConfirmationReader.h"

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

bool failed(int err)
{
    errno = err;
    return false;
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

ConfirmationReader::ConfirmationReader(modbus_t* ctx)
    : m_fd(::modbus_get_socket(ctx)), m_tcp(::modbus_get_header_length(ctx) == TcpHeaderLength)
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

bool ConfirmationReader::readExactly(uint8_t* buf, int n)
{
    while (n > 0) {
        const int left = msLeft(m_deadline);
        if (left == 0)
            return failed(ETIMEDOUT);
        pollfd p = {m_fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, left);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return false;
        if (rc == 0)
            continue; // the deadline is tested above
        const ssize_t got = ::read(m_fd, buf, size_t(n));
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            // An error or hang-up with nothing to read stays reported: polling again would
            // spin until the deadline.
            if (!(p.revents & POLLIN) && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
                return failed(ECONNRESET);
            continue;
        }
        if (got < 0)
            return false;
        if (got == 0)
            return failed(ECONNRESET);
        buf += got;
        n -= int(got);
    }
    return true;
}

// A frame is looked for from every byte on: the rest of an answer the line gave up on, or
// noise, is passed over byte by byte until a frame with a good CRC begins, within the same
// deadline. Nothing is read beyond the frame being tried; what follows a frame that is passed
// over stays for the next receive.
int ConfirmationReader::receiveRtu(uint8_t* rsp)
{
    for (;;) {
        // Slave address, function code and, where the function has one, the byte count.
        const int pdu = m_heldLength >= 2 ? pduLength(m_held + 1, m_heldLength - 1) : 0;
        if (pdu < 0 || 1 + pdu + 2 > MODBUS_RTU_MAX_ADU_LENGTH) {
            dropHeld(1);
            continue;
        }
        const int want = m_heldLength < 2 ? 2 : pdu == 0 ? 3 : 1 + pdu + 2;
        if (m_heldLength < want) {
            if (!readExactly(m_held + m_heldLength, want - m_heldLength))
                return -1;
            m_heldLength = want;
            continue;
        }
        const uint16_t crc = crc16(m_held, want - 2);
        if (m_held[want - 2] == (crc & 0xFF) && m_held[want - 1] == crc >> 8) {
            std::memcpy(rsp, m_held, size_t(want));
            dropHeld(want);
            return want;
        }
        dropHeld(1);
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
