#include "ModbusLib.h"

#include "ConfirmationReader.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr int ExceptionBit = 0x80;

int fail(int err)
{
    errno = err;
    return -1;
}

// The MBAP header of a reply to a raw request: libmodbus sends those with transaction id 0.
bool tcpHeaderValid(const uint8_t* rsp)
{
    const int transaction = rsp[0] << 8 | rsp[1];
    const int protocol = rsp[2] << 8 | rsp[3];
    return transaction == 0 && protocol == 0;
}

// An answer of the function asked for, else -1: the exception the device answered, or
// EMBBADDATA.
int checkReply(const ConfirmationReader& reader, const uint8_t* rsp, int offset, int function)
{
    if (reader.isTcp() && !tcpHeaderValid(rsp))
        return fail(EMBBADDATA);
    const int replyFunction = rsp[offset];
    if (replyFunction == (function | ExceptionBit)) {
        const int code = rsp[offset + 1];
        return fail(code > 0 && code < MODBUS_EXCEPTION_MAX ? MODBUS_ENOBASE + code : EMBBADEXC);
    }
    return replyFunction == function ? 0 : fail(EMBBADDATA);
}

// One request of function 3 or 4 for nb registers of bytesPerRegister bytes, built on the raw
// calls: libmodbus's own reads refuse a reply with another count without telling the count,
// and have no 32-bit form. Returns the registers received (at most nb), or -1.
int readOnce(modbus_t* ctx, int function, int addr, int nb, int bytesPerRegister, uint16_t* dest)
{
    const int slave = ::modbus_get_slave(ctx);
    const uint8_t req[] = {uint8_t(slave), uint8_t(function), uint8_t(addr >> 8),
                           uint8_t(addr),  uint8_t(nb >> 8),  uint8_t(nb)};
    // The whole answer within the response time-out from here.
    ConfirmationReader reader(ctx, slave, function);
    if (::modbus_send_raw_request(ctx, req, int(sizeof req)) == -1)
        return -1;

    uint8_t rsp[MODBUS_MAX_ADU_LENGTH];
    const int length = reader.receive(rsp);
    if (length == -1)
        return -1;
    const int offset = ::modbus_get_header_length(ctx);
    if (checkReply(reader, rsp, offset, function) == -1)
        return -1;

    const int byteCount = rsp[offset + 1];
    if (byteCount % bytesPerRegister != 0 || offset + 2 + byteCount > length)
        return fail(EMBBADDATA);
    const int received = byteCount / bytesPerRegister;
    if (received > nb)
        return fail(EMBBADDATA);
    const uint8_t* data = rsp + offset + 2;
    for (int i = 0; i < byteCount / 2; ++i)
        dest[i] = uint16_t(data[2 * i] << 8 | data[2 * i + 1]);
    return received;
}

int readSplit(modbus_t* ctx, int function, int addr, int nb, int bytesPerRegister, int perResponse,
              int registersPerValue, uint16_t* dest)
{
    if (!ctx || !dest)
        return fail(EINVAL);
    const std::vector<modbuslib::RequestPart> parts =
        modbuslib::requestParts(addr, nb, perResponse, registersPerValue);
    if (parts.empty())
        return fail(EMBMDATA);
    const int wordsPerRegister = bytesPerRegister / 2;
    int done = 0;
    for (const modbuslib::RequestPart& part : parts) {
        const int rc = readOnce(ctx, function, part.first, part.second, bytesPerRegister,
                                dest + done * wordsPerRegister);
        if (rc < 0)
            return -1;
        done += rc;
        if (rc != part.second)
            break;
    }
    return done;
}

// Whether no descriptor of this process can reach FD_SETSIZE: its limit is not above it
// (Linux's default soft limit is 1024). Cheaper to ask than opening a descriptor to see.
bool descriptorsStayLow()
{
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur <= FD_SETSIZE;
}

// The descriptor the next open would get, or -1.
int lowestFreeDescriptor()
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    return fd;
}

} // namespace

namespace modbuslib {

std::vector<RequestPart> requestParts(int addr, int nb, int perResponse, int registersPerValue)
{
    std::vector<RequestPart> parts;
    if (nb < 1 || addr < 0 || addr > 0xFFFF || nb > 0x10000 - addr || perResponse < 1)
        return parts;
    // A value wider than a response is sent as whole responses.
    const int perValue =
        registersPerValue >= 1 && registersPerValue <= perResponse ? registersPerValue : 1;
    const int perRequest = perResponse / perValue * perValue;
    for (int done = 0; done < nb; done += perRequest)
        parts.emplace_back(addr + done, std::min(perRequest, nb - done));
    return parts;
}

int modbus_connect(modbus_t* ctx)
{
    if (!ctx)
        return fail(EINVAL);
    // A TCP connect already waits in select(): refuse before it when the socket would be too high.
    if (!descriptorsStayLow() && lowestFreeDescriptor() >= FD_SETSIZE)
        return fail(EMFILE);
    if (::modbus_connect(ctx) == -1)
        return -1;
    if (::modbus_get_socket(ctx) >= FD_SETSIZE) {
        ::modbus_close(ctx);
        return fail(EMFILE);
    }
    return 0;
}

int modbus_get_timeout_begin(modbus_t* ctx, timeval* tv)
{
    if (!ctx || !tv)
        return fail(EINVAL);
    uint32_t sec = 0;
    uint32_t usec = 0;
    if (::modbus_get_response_timeout(ctx, &sec, &usec) == -1)
        return -1;
    tv->tv_sec = time_t(sec);
    tv->tv_usec = suseconds_t(usec);
    return 0;
}

int modbus_set_timeout_begin(modbus_t* ctx, const timeval* tv)
{
    if (!ctx || !tv || tv->tv_sec < 0 || tv->tv_usec < 0)
        return fail(EINVAL);
    // libmodbus refuses a µs part of a whole second or more.
    const long long sec = static_cast<long long>(tv->tv_sec) + tv->tv_usec / 1000000;
    const long long usec = tv->tv_usec % 1000000;
    if (sec > UINT32_MAX)
        return fail(EINVAL);
    return ::modbus_set_response_timeout(ctx, uint32_t(sec), uint32_t(usec));
}

int modbus_read_registers(modbus_t* ctx, int addr, int nb, uint16_t* dest, int registersPerValue)
{
    return readSplit(ctx, MODBUS_FC_READ_HOLDING_REGISTERS, addr, nb, 2, MaxRegistersPerResponse,
                     registersPerValue, dest);
}

int modbus_read_input_registers(modbus_t* ctx, int addr, int nb, uint16_t* dest,
                                int registersPerValue)
{
    return readSplit(ctx, MODBUS_FC_READ_INPUT_REGISTERS, addr, nb, 2, MaxRegistersPerResponse,
                     registersPerValue, dest);
}

int modbus_read_registers_32(modbus_t* ctx, int addr, int nb, uint16_t* dest, int registersPerValue)
{
    return readSplit(ctx, MODBUS_FC_READ_HOLDING_REGISTERS, addr, nb, 4, MaxRegisters32PerResponse,
                     registersPerValue, dest);
}

int modbus_report_slave_id(modbus_t* ctx, SlaveIdBuffer& dest)
{
    if (!ctx)
        return fail(EINVAL);
    const int slave = ::modbus_get_slave(ctx);
    const uint8_t req[] = {uint8_t(slave), MODBUS_FC_REPORT_SLAVE_ID};
    ConfirmationReader reader(ctx, slave, MODBUS_FC_REPORT_SLAVE_ID);
    if (::modbus_send_raw_request(ctx, req, int(sizeof req)) == -1)
        return -1;
    uint8_t rsp[MODBUS_MAX_ADU_LENGTH];
    const int length = reader.receive(rsp);
    if (length == -1)
        return -1;
    const int offset = ::modbus_get_header_length(ctx);
    if (checkReply(reader, rsp, offset, MODBUS_FC_REPORT_SLAVE_ID) == -1)
        return -1;
    // The frame holds every byte its count announces; dest has room for any count.
    const int byteCount = rsp[offset + 1];
    std::copy_n(rsp + offset + 2, std::min<size_t>(size_t(byteCount), sizeof dest), dest);
    return byteCount;
}

bool isTimeoutError(int err)
{
    return err == ETIMEDOUT || err == EIO;
}

bool isExceptionReply(int err)
{
    return err > MODBUS_ENOBASE && err < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX;
}

} // namespace modbuslib
