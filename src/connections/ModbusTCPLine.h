#pragma once

#include "ModbusLine.h"

#include <QString>

// The settings of one TCP line.
struct t_tcpConnection
{
    int id = 0; // idTCPConnections, or the slave address when a ping builds it
    QString name;
    QString ip;
    quint16 portTCP = 502;
    int timeout = 1000; // ms: the wait for the TCP connection and the response time-out
};

// Modbus TCP, with a fresh connection for every read iteration.
class ModbusTCPLine : public ModbusLine
{
    Q_OBJECT
public:
    ModbusTCPLine(const t_tcpConnection& connection, QObject* parent = nullptr);

    // 0, or 5 when the host does not accept a connection in time.
    int connect() override;
    int disconnect() override;
    int identifySlave(int& slaveId, unsigned int attempt) override;
    int readRegisters(const t_iterationConfig* it, BufferInterface* buffer, qint64 timestamp,
                      unsigned int attempt) override;

    bool reconnect();

private:
    t_tcpConnection m_connection;
};
