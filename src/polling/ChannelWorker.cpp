#include "ChannelWorker.h"

#include "Logs.h"
#include "QextSerialEnumerator.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "TryLocker.h"
#include "globals.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QThread>
#include <QtDebug>

// Every cycle and iteration writes a line here; off unless QT_LOGGING_RULES asks for it.
Q_LOGGING_CATEGORY(lcCycle, "korvalen.polling.cycle", QtWarningMsg)

namespace {

// How often the pause between requests looks whether the channel stops.
constexpr qint64 StopCheckMs = 50;

// How long the session breaks wait for the buffer's lock: within the 2 s a stop allows
// beyond the read under way.
constexpr int SessionBreakLockMs = 1500;

} // namespace

ChannelWorker::ChannelWorker(const t_serialConnection& connection,
                             std::shared_ptr<ReadIterations> plan,
                             std::shared_ptr<ReadBuffer> buffer)
    : type(QStringLiteral("serial")), m_serial(connection), m_plan(std::move(plan)),
      m_buffer(std::move(buffer)), m_watch(connection.serialPort, connection.timeout)
{
    takeReadyFlag();
}

ChannelWorker::ChannelWorker(const t_tcpConnection& connection,
                             std::shared_ptr<ReadIterations> plan,
                             std::shared_ptr<ReadBuffer> buffer)
    : type(QStringLiteral("tcp")), m_tcp(connection), m_plan(std::move(plan)),
      m_buffer(std::move(buffer)),
      m_watch(connection.ip + QLatin1Char(':') + QString::number(connection.portTCP),
              connection.timeout)
{
    takeReadyFlag();
}

void ChannelWorker::takeReadyFlag()
{
    m_ready = g_channelReady->flag(channelKey());
    // The table stayed locked: a flag of the worker's own serves as well, since the run tests
    // the worker's flag (readyFlag()), not the table's.
    if (!m_ready)
        m_ready = std::make_shared<std::atomic<bool>>(false);
}

ChannelWorker::~ChannelWorker()
{
    if (m_line) {
        m_line->disconnect();
        delete m_line;
    }
}

QString ChannelWorker::connectionName() const
{
    return type == QLatin1String("serial") ? m_serial.serialPort : m_tcp.ip;
}

QString ChannelWorker::channelKey() const
{
    return channelKey(type, connectionId());
}

QString ChannelWorker::channelKey(const QString& type, int connectionId)
{
    return type + QLatin1Char(':') + QString::number(connectionId);
}

QString ChannelWorker::deviceKey(const t_serialConnection& connection)
{
    const QString port =
        ModbusSerialLine::choosePort(QextSerialEnumerator::getPorts(), connection.serialPort);
    return QStringLiteral("serial port ") + (port.isEmpty() ? connection.serialPort : port);
}

QString ChannelWorker::deviceKey(const t_tcpConnection& connection)
{
    return QStringLiteral("tcp ") + connection.ip + QLatin1Char(':') +
           QString::number(connection.portTCP);
}

int ChannelWorker::connectionId() const
{
    return type == QLatin1String("serial") ? m_serial.id : m_tcp.id;
}

int ChannelWorker::timeout() const
{
    return type == QLatin1String("serial") ? m_serial.timeout : m_tcp.timeout;
}

void ChannelWorker::process()
{
    qDebug() << "Hello World from " << connectionName();
    if (type == QLatin1String("serial"))
        m_line = new ModbusSerialLine(m_serial);
    else
        m_line = new ModbusTCPLine(m_tcp);
    m_line->setStopFlag(m_markedForDeletion);
    m_line->connect(); // a line that fails to open opens at its first read
}

void ChannelWorker::visualTimerExpired(qint64 timestamp)
{
    m_ready->store(false);
    qCDebug(lcCycle) << "Visual timer expired: " << connectionName() << ", timestamp = "
                     << QDateTime::fromMSecsSinceEpoch(timestamp).toString(
                            QStringLiteral("hh:mm:ss:zzz"));
    if (!m_line || m_plan->count() == 0) {
        m_ready->store(true);
        return;
    }

    Stats::t_devStats delta;
    int currentDevice = m_plan->at(0)->idDevice;
    int lastFailedId = -1;
    int lastResult = 0;
    auto mergeStats = [&] {
        const TryLocker guard = g_stats->lock();
        if (guard)
            g_stats->updateDeviceStats(type, connectionId(), currentDevice, delta);
        return bool(guard);
    };

    for (int i = 0; i < m_plan->count(); ++i) {
        const t_iterationConfig* it = m_plan->at(i);
        if (*m_markedForDeletion) {
            qCDebug(lcCycle) << "**** connection marked for deletion (readRegisters skipped)";
            continue;
        }
        if (it->ModbusId == lastFailedId) {
            markIterationFailed(it, timestamp, lastResult);
            m_watch.note(*it, lastResult);
            continue;
        }
        if (i > 0 && !pauseBeforeRequest())
            continue; // stopped during the pause: the request is not sent
        if (it->idDevice != currentDevice && mergeStats()) {
            delta = Stats::t_devStats();
            currentDevice = it->idDevice;
        }

        ++delta.poolsCnt;
        QElapsedTimer elapsed;
        elapsed.start();
        lastResult = m_line->readRegisters(it, m_buffer.get(), timestamp, 0);
        // An earlier failure's wait, left for this read, is not this device's time.
        const qint64 inherited = m_line->takeInheritedWaitMs();
        if (lastResult == ModbusLine::Stopped)
            break; // nothing was asked: the session breaks follow the values as they are
        m_watch.note(*it, lastResult);
        if (lastResult != 0) {
            lastFailedId = it->ModbusId;
            // Stored once: by the line where it marks the values itself, else here.
            if (!ModbusLine::storesFailureFlags(lastResult))
                markIterationFailed(it, timestamp, lastResult);
            if (*m_markedForDeletion)
                break;
            // Waited out here when another request of this cycle follows; otherwise it passes
            // in the pause until the next tick, which a longer cycle could miss.
            if (requestFollows(i))
                m_line->settleAfterFailure();
            m_line->disconnect();
            m_line->connect();
        } else {
            ++delta.validRespCnt;
        }
        const int dt = int(qMax<qint64>(0, elapsed.elapsed() - inherited));
        delta.lastRespTime = dt;
        delta.avgRespTime = delta.avgRespTime == 0 ? dt : (dt + delta.avgRespTime) / 2;
        qCDebug(lcCycle) << "---- ret from it: " << i << ", [Id = " << it->ModbusId
                         << ", regAdd = " << it->regAddr << ", valCnt = " << it->valuesCnt
                         << "], retCode = " << lastResult;
    }
    // A cycle cut short by the stop says nothing of its devices.
    if (!*m_markedForDeletion) {
        mergeStats();
        m_watch.endCycle();
    }
    m_ready->store(true);
}

bool ChannelWorker::requestFollows(int i) const
{
    const int failedId = m_plan->at(i)->ModbusId;
    for (int j = i + 1; j < m_plan->count(); ++j) {
        if (m_plan->at(j)->ModbusId != failedId)
            return true;
    }
    return false;
}

bool ChannelWorker::pauseBeforeRequest()
{
    QElapsedTimer paused;
    paused.start();
    const qint64 pauseMs = qMax<qint64>(0, qint64(g_settingsManager->m_modbusIterDelay) + 20);
    for (qint64 left = pauseMs; left > 0 && !*m_markedForDeletion;
         left = pauseMs - paused.elapsed())
        QThread::msleep(ulong(qMin(left, StopCheckMs)));
    return !*m_markedForDeletion;
}

void ChannelWorker::markIterationFailed(const t_iterationConfig* it, qint64 timestamp, int result)
{
    const int flag = result == ModbusLine::SerialNotOpen ? 5
                     : result == ModbusLine::Timeout     ? 3
                                                         : 4;
    const TryLocker guard = m_buffer->lock();
    if (!guard)
        return;
    const int step = ModbusLine::valueStep(*it);
    for (int k = 0, n = ModbusLine::markedValues(*it); k < n; ++k)
        m_buffer->updateValue(it->idDevice, it->regAddr + k * step,
                              BufferInterface::ReadValue{0.0, timestamp, flag});
}

void ChannelWorker::insertSessionBreakValues(const QString& connectionName,
                                             const ReadIterations& plan, ReadBuffer& buffer,
                                             qint64 ts)
{
    // Memory work only (the rows go to the archive writer's queue): one hold for the plan.
    // A burst of readers can keep the lock past one try; the stop's bound has room for more.
    const TryLocker guard = buffer.lock(SessionBreakLockMs);
    if (!guard) {
        qint64 lost = 0;
        for (int i = 0; i < plan.count(); ++i)
            lost += ModbusLine::markedValues(*plan.at(i));
        qWarning("Channel %s: %lld session breaks could not be written (the live-value "
                 "buffer was busy)",
                 qPrintable(connectionName), lost);
        Logs::addLog(Logs::Warn, tr("Channel %1: %2 session breaks could not be written.")
                                     .arg(connectionName)
                                     .arg(lost));
        return;
    }
    if (buffer.archivedCount() <= 0)
        return;
    for (int i = 0; i < plan.count(); ++i) {
        const t_iterationConfig* it = plan.at(i);
        const int step = ModbusLine::valueStep(*it);
        for (int k = 0, n = ModbusLine::markedValues(*it); k < n; ++k)
            buffer.insertSessionBreakValue(it->idDevice, it->regAddr + k * step,
                                           BufferInterface::ReadValue{0.0, ts, 6});
    }
}

void ChannelWorker::stopChannel(qint64 timestamp)
{
    if (m_line) {
        insertSessionBreakValues(connectionName(), *m_plan, *m_buffer, timestamp + 1000);
        *m_markedForDeletion = true;
        m_line->disconnect();
        delete m_line;
        m_line = nullptr;
    }
    m_ready->store(true);
    emit finished();
}
