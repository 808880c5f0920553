#include "ModbusSerialLine.h"

#include "ModbusLib.h"
#include "QextSerialEnumerator.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>

#include <poll.h>

#include <utility>

namespace {

// How often the quiet wait looks whether the line's owner stops.
constexpr int StopCheckMs = 50;

bool isParallelPort(const QString& name)
{
    const QLatin1String lpt("LPT");
    return name.startsWith(lpt) || QFileInfo(name).fileName().startsWith(lpt);
}

} // namespace

ModbusSerialLine::ModbusSerialLine(const t_serialConnection& connection, QObject* parent)
    : ModbusLine(parent), m_connection(connection)
{
}

QString ModbusSerialLine::choosePort(const QList<QextPortInfo>& ports, const QString& configured)
{
    // An empty name is contained in every port name: it must not open the first one listed.
    if (configured.isEmpty() || isParallelPort(configured))
        return QString();
    // A path that leads through a link (a /dev/serial/by-id name, or one of the user's own)
    // names the port it ends at. Kernel names resolve to themselves and keep the rules below.
    if (QDir::isAbsolutePath(configured)) {
        const QString target = QFileInfo(configured).canonicalFilePath();
        if (!target.isEmpty() && target != configured) {
            for (const QextPortInfo& port : ports) {
                if (QFileInfo(port.portName).canonicalFilePath() == target)
                    return isParallelPort(port.portName) ? QString() : port.portName;
            }
        }
    }
    for (const QextPortInfo& port : ports) {
        if (port.portName == configured || port.portName.contains(configured))
            return isParallelPort(port.portName) ? QString() : port.portName;
    }
    return QString();
}

int ModbusSerialLine::connect()
{
    const QString port = choosePort(QextSerialEnumerator::getPorts(), m_connection.serialPort);
    if (port.isEmpty()) {
        qDebug() << "!!!!!!!! Modbus SerialLine connect error: " << SerialNotOpen;
        return SerialNotOpen;
    }

    closeContext();
    m_modbus = ::modbus_new_rtu(port.toLatin1().constData(), m_connection.baudRate,
                                m_connection.parity, 8, m_connection.stopBits);
    if (!m_modbus || modbuslib::modbus_connect(m_modbus) == -1) {
        if (m_modbus)
            ::modbus_free(m_modbus);
        m_modbus = nullptr;
        connected = false;
        qDebug() << "!!!!!!!! Modbus SerialLine connect error: " << SerialNotOpen;
        return SerialNotOpen;
    }
    // What arrived before the open is nobody's answer (a pty keeps it across a reopen).
    ::modbus_flush(m_modbus);
    connected = true;
    applyResponseTimeout(m_connection.timeout);
    return Success;
}

int ModbusSerialLine::disconnect()
{
    qDebug() << "ModbusSerialLine disconnect, m_modbus = " << static_cast<void*>(m_modbus);
    closeContext();
    connected = false;
    return Success;
}

int ModbusSerialLine::identifySlave(int& slaveId, unsigned int attempt)
{
    Q_UNUSED(attempt);
    if (!m_modbus && connect() != Success)
        return SerialNotOpen;
    return requestSlaveId(m_connection.id, slaveId);
}

int ModbusSerialLine::readRegisters(const t_iterationConfig* it, BufferInterface* buffer,
                                    qint64 timestamp, unsigned int attempt)
{
    Q_UNUSED(attempt);
    return readValues(it, buffer, timestamp, SerialNotOpen);
}

void ModbusSerialLine::settleAfterFailure()
{
    discardLateReply();
}

qint64 ModbusSerialLine::takeInheritedWaitMs()
{
    return std::exchange(m_inheritedWaitMs, 0);
}

void ModbusSerialLine::beforeRequest()
{
    QElapsedTimer waited;
    waited.start();
    discardLateReply();
    m_inheritedWaitMs = waited.elapsed();
    // Whatever arrived before this request was sent cannot be its answer.
    ::modbus_flush(m_modbus);
}

void ModbusSerialLine::afterRequest(int function, int rc, int err)
{
    if (function == MODBUS_FC_READ_HOLDING_REGISTERS)
        qDebug() << " ret " << rc;
    // After a time-out (or a garbled answer) the slave may still be sending; an exception
    // reply is a whole frame and leaves nothing behind.
    if (rc < 0 && !modbuslib::isExceptionReply(err))
        m_sinceFailure.start();
}

// A late reply left on the line would be read as the answer to the next request, and one of
// the same shape would pass for it: wait until the line has been quiet for a time-out and
// discard whatever came meanwhile.
void ModbusSerialLine::discardLateReply()
{
    if (!m_sinceFailure.isValid())
        return;
    const int fd = m_modbus ? ::modbus_get_socket(m_modbus) : -1;
    const qint64 quietMs = qMax(m_connection.timeout, 1);
    QElapsedTimer total;
    total.start();
    // Bounded, so that a line that never stops talking cannot stall the channel; a stop ends
    // it at once, as the line is closed then.
    while (fd >= 0 && total.elapsed() < 4 * quietMs && !stopping()) {
        const qint64 left = quietMs - m_sinceFailure.elapsed();
        if (left <= 0) {
            ::modbus_flush(m_modbus);
            break;
        }
        pollfd p = {fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, int(qMin<qint64>(left, StopCheckMs)));
        if (rc < 0 || (rc > 0 && !(p.revents & POLLIN)))
            break;
        if (rc > 0) {
            ::modbus_flush(m_modbus);
            m_sinceFailure.start();
        }
    }
    m_sinceFailure.invalidate();
}
