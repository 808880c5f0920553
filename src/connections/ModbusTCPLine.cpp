#include "ModbusTCPLine.h"

#include "ModbusLib.h"

#include <QTcpSocket>
#include <QtDebug>

ModbusTCPLine::ModbusTCPLine(const t_tcpConnection& connection, QObject* parent)
    : ModbusLine(parent), m_connection(connection)
{
}

int ModbusTCPLine::connect()
{
    // libmodbus's own connect gives up silently; a plain socket tells whether the host is there.
    QTcpSocket probe;
    probe.connectToHost(m_connection.ip, m_connection.portTCP);
    const bool reachable = probe.waitForConnected(m_connection.timeout);
    probe.close();
    closeContext();
    if (!reachable)
        return Timeout;

    m_modbus = ::modbus_new_tcp(m_connection.ip.toLatin1().constData(), m_connection.portTCP);
    if (!m_modbus)
        return Timeout;
    // A failure here shows in the first request.
    modbuslib::modbus_connect(m_modbus);
    applyResponseTimeout(m_connection.timeout);
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
    return readValues(it, buffer, timestamp, TcpNotConnected);
}
