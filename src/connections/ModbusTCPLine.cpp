#include "ModbusTCPLine.h"

#include "ModbusLib.h"

#include <QElapsedTimer>
#include <QtDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The host's first address: a numeric IPv4 or IPv6 address as it stands, else a name look-up.
bool resolve(const QString& host, quint16 port, sockaddr_storage& addr, socklen_t& length)
{
    const QByteArray name = host.toLatin1();
    std::memset(&addr, 0, sizeof addr);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    if (::inet_pton(AF_INET, name.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET6, name.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    std::memcpy(&addr, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    ::freeaddrinfo(found);
    if (addr.ss_family == AF_INET)
        v4->sin_port = htons(port);
    else if (addr.ss_family == AF_INET6)
        v6->sin6_port = htons(port);
    else
        return false;
    return true;
}

// Whether the host accepts a TCP connection within timeoutMs (negative: the system's own
// limit): a plain non-blocking connect, closed at once.
bool accepts(const QString& host, quint16 port, int timeoutMs)
{
    sockaddr_storage addr;
    socklen_t length = 0;
    if (!resolve(host, port, addr, length))
        return false;
    const int s = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    if (!connected && errno == EINPROGRESS) {
        QElapsedTimer waited;
        waited.start();
        pollfd p = {s, POLLOUT, 0};
        int rc;
        do {
            const int left =
                timeoutMs < 0 ? -1 : int(qMax<qint64>(0, timeoutMs - waited.elapsed()));
            rc = ::poll(&p, 1, left);
        } while (rc < 0 && errno == EINTR);
        int error = 0;
        socklen_t size = sizeof error;
        connected =
            rc == 1 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(s);
    return connected;
}

} // namespace

ModbusTCPLine::ModbusTCPLine(const t_tcpConnection& connection, QObject* parent)
    : ModbusLine(parent), m_connection(connection)
{
}

int ModbusTCPLine::connect()
{
    // libmodbus's own connect gives up silently; a plain socket tells whether the host is there.
    const bool reachable = accepts(m_connection.ip, m_connection.portTCP, m_connection.timeout);
    closeContext();
    if (!reachable)
        return Timeout;

    m_modbus = ::modbus_new_tcp(m_connection.ip.toLatin1().constData(), m_connection.portTCP);
    if (!m_modbus)
        return Timeout;
    // libmodbus waits for its TCP connect as long as the response time-out: set it first, or
    // a slow link gets the library's default half second. A failure shows in the first request.
    applyResponseTimeout(m_connection.timeout);
    modbuslib::modbus_connect(m_modbus);
    return Success;
}

int ModbusTCPLine::disconnect()
{
    closeContext();
    return Success;
}

bool ModbusTCPLine::reconnect()
{
    disconnect();
    const bool ok = connect() == Success;
    qDebug() << (ok ? " reconnect OK" : " reconnect NIE OK");
    return ok;
}

int ModbusTCPLine::identifySlave(int& slaveId, unsigned int attempt)
{
    if (!m_modbus && connect() != Success)
        return TcpNotConnected;
    const int code = requestSlaveId(m_connection.id, slaveId);
    if (code == Success || code == Timeout || attempt != 0)
        return code;
    // One retry on a new connection for a garbled or empty answer.
    if (!reconnect())
        return code;
    qDebug() << (code == OtherFailure ? "identify crc retransmission attempt number : "
                                      : "identify unknow retransmission attempt number : ")
             << 1;
    return identifySlave(slaveId, 1);
}

int ModbusTCPLine::readRegisters(const t_iterationConfig* it, BufferInterface* buffer,
                                 qint64 timestamp, unsigned int attempt)
{
    Q_UNUSED(attempt);
    // Every iteration on a new connection: a late reply to the previous one cannot reach it.
    disconnect();
    connect();
    // A stop during the connect: no request is sent after it, and the read procedure's
    // second connect is not tried either.
    if (stopping())
        return m_modbus ? Stopped : TcpNotConnected;
    return readValues(it, buffer, timestamp, TcpNotConnected);
}
