#pragma once

#include "ModbusLine.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

struct QextPortInfo;

// The settings of one serial line.
struct t_serialConnection
{
    int id = 0;         // idSerialConnections, or the slave address when a ping builds it
    QString name;       // left empty
    QString serialPort; // the configured port name
    int baudRate = 9600;
    char parity = 'N';  // 'N', 'E', 'O'; 0 when not configured
    char stopBits = 1;  // the number 1 or 2
    int timeout = 1000; // response time-out in ms
};

// Modbus RTU over a serial port.
class ModbusSerialLine : public ModbusLine
{
    Q_OBJECT
public:
    ModbusSerialLine(const t_serialConnection& connection, QObject* parent = nullptr);

    int connect() override;
    int disconnect() override;
    int identifySlave(int& slaveId, unsigned int attempt) override;
    int readRegisters(const t_iterationConfig* it, BufferInterface* buffer, qint64 timestamp,
                      unsigned int attempt) override;
    void settleAfterFailure() override;
    qint64 takeInheritedWaitMs() override;

    // A configured path through a link: the first present port that leads to the same file.
    // Otherwise the first present port whose name equals the configured one or contains it.
    // Empty when none does, for an empty name, and for a parallel port (LPT).
    static QString choosePort(const QList<QextPortInfo>& ports, const QString& configured);

protected:
    void beforeRequest() override;
    void afterRequest(int function, int rc, int err) override;

private:
    void discardLateReply();

    t_serialConnection m_connection;
    bool connected = false;
    // Runs from a failed request until the line has been quiet for a whole time-out.
    QElapsedTimer m_sinceFailure;
    qint64 m_inheritedWaitMs = 0;
};
