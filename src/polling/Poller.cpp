#include "Poller.h"

#include "Alarms.h"
#include "ChannelWorker.h"
#include "Database.h"
#include "EmailManager.h"
#include "Logs.h"
#include "OperatorLog.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "TryLocker.h"
#include "globals.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QtDebug>

Q_DECLARE_LOGGING_CATEGORY(lcCycle)

namespace {

// How long a stop may take: the current read of every channel (bounded by its time-out) or
// connect, then the session breaks and the last archive rows.
int stopBoundMs(int timeout)
{
    return int(qBound<qint64>(0, timeout, 600000)) + 2000;
}

// Of the stop's bound, what is kept for the rows that cannot be written to be given up and for
// the rest of the stop.
constexpr int StopReserveMs = 500;
// The last archive rows get at least this long, also after a worker used up the bound.
constexpr int MinArchiveFlushMs = 500;

// How long the stop waits for the workers to end. A worker that has not ended by then is held
// in a call outside its reads (the close of an unplugged serial adapter can block).
int workerWaitMs(int maxTimeout)
{
    return int(qBound<qint64>(0, maxTimeout, 600000)) + 1500;
}

// Registration and clearing happen at start and stop only, and readers hold the lock for
// moments: worth a longer wait than a reader's before the step is given up.
constexpr int StatsRegistrationLockMs = 10 * Stats::LockTimeoutMs;

} // namespace

Poller::Poller(ConnectionManager* connections, QObject* parent) : QObject(parent)
{
    Q_UNUSED(connections);
}

Poller::~Poller() = default;

QByteArray Poller::getAppState_j() const
{
    return m_isRunning ? QByteArrayLiteral("{\"state\":\"running\"}")
                       : QByteArrayLiteral("{\"state\":\"idle\"}");
}

QByteArray Poller::startPolling_j() const
{
    return QByteArrayLiteral("{\"success\":true}");
}

QByteArray Poller::stopPolling_j() const
{
    qDebug(" stop polling_j");
    return QByteArrayLiteral("{\"success\":true}");
}

std::shared_ptr<ReadBuffer> Poller::buffer() const
{
    return std::atomic_load(&m_pReadBuffer);
}

QByteArray Poller::getAllValues_j() const
{
    const std::shared_ptr<ReadBuffer> b = buffer();
    if (!m_isRunning || !b)
        return QByteArrayLiteral("{\"error\":true, \"message\":\"Visual mode disabled.\"}");
    QByteArray json;
    // The run's interval: settings change only while no run polls.
    if (!b->valuesJson(json, g_settingsManager->m_modbusPollInterval))
        return QByteArrayLiteral("{\"error\":true, \"message\":\"Mutex error\"}");
    return json;
}

QThread* Poller::startThread(ThreadWorker* worker, bool addToList)
{
    auto* thread = new QThread;
    auto* channel = qobject_cast<ChannelWorker*>(worker);
    // The name shows in debuggers and top: "poll tcp:3", "poll serial:1", or the worker's class.
    thread->setObjectName(channel ? QStringLiteral("poll ") + channel->channelKey()
                                  : QString::fromLatin1(worker->metaObject()->className()));
    worker->moveToThread(thread);
    if (addToList) {
        if (channel)
            m_channWorkersList.append(Channel{channel, thread, channel->connectionName(),
                                              channel->timeout(), channel->readyFlag(),
                                              channel->markedForDeletion(), channel->sharedPlan()});
    }
    connect(thread, &QThread::started, worker, &ThreadWorker::process);
    // Direct: the stop waits for the thread on the main thread, where a queued quit would
    // never arrive.
    connect(worker, &ThreadWorker::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(worker, &ThreadWorker::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
    return thread;
}

void Poller::startPolling()
{
    if (m_isRunning)
        return;
    m_db = Database::connection();
    if (!m_db.isOpen() && !m_db.open())
        return;

    ++m_run;
    EmailManager::startWorker(*this);
    g_alarms->loadAlarms();

    QSqlQuery params(m_db);
    params.exec(QStringLiteral(
        "SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters "
        "JOIN Devices ON Devices.idDevices = ConfiguredParameters.idDevice "
        "WHERE Devices.isActive = 1"));
    std::atomic_store(&m_pReadBuffer, std::make_shared<ReadBuffer>(params, nullptr));
    qDebug() << "**** m_pReadBuffer address: " << m_pReadBuffer.get();

    const bool started =
        startChannels(
            QStringLiteral("serial"),
            QStringLiteral(
                "SELECT idSerialConnections,serialPort,baudRate,parity,stopBits,timeout FROM "
                "SerialConnections WHERE idSerialConnections IN (SELECT idOfConnection FROM "
                "Devices WHERE connectionType = 'serial')"),
            QStringLiteral(
                "SELECT ModbusId, regAddr, valuesCnt, regType, regSize, valSize, idDevice, "
                "ReadIterations.ModbusReadFunction, decimal FROM ReadIterations JOIN Devices ON "
                "ReadIterations.idDevice = Devices.idDevices JOIN  SerialConnections ON "
                "Devices.idOfConnection = SerialConnections.idSerialConnections WHERE "
                "Devices.idOfConnection = ? AND Devices.isActive = 1 AND "
                "Devices.connectionType = 'serial'"),
            QStringLiteral("SELECT idDevices FROM Devices WHERE connectionType = 'serial'  AND "
                           "idOfConnection = ?")) &&
        startChannels(
            QStringLiteral("tcp"),
            QStringLiteral(
                "SELECT idTCPConnections,name,ip,portTCP,timeout FROM TCPConnections WHERE "
                "idTCPConnections IN (SELECT idOfConnection FROM Devices WHERE "
                "connectionType = 'tcp')"),
            QStringLiteral(
                "SELECT ModbusId, regAddr, valuesCnt, regType, regSize, valSize, idDevice, "
                "ReadIterations.ModbusReadFunction, decimal FROM ReadIterations JOIN Devices ON "
                "ReadIterations.idDevice = Devices.idDevices JOIN  TCPConnections ON "
                "Devices.idOfConnection = TCPConnections.idTCPConnections WHERE "
                "Devices.idOfConnection = ? AND Devices.isActive = 1 AND "
                "Devices.connectionType = 'tcp' "),
            QStringLiteral("SELECT idDevices FROM Devices WHERE connectionType = 'tcp'  AND "
                           "idOfConnection = ?"));
    if (!started) {
        // Nothing of a failed start stays behind: its workers have run no cycle yet.
        stopChannels(QDateTime::currentMSecsSinceEpoch());
        std::atomic_store(&m_pReadBuffer, std::shared_ptr<ReadBuffer>());
        const TryLocker stats = g_stats->lock(StatsRegistrationLockMs);
        if (stats)
            g_stats->clear();
        g_alarms->clear();
        EmailManager::stopWorker();
        return;
    }

    m_isRunning = true;
    m_visualTimer = new QTimer(this);
    // A coarse timer snaps its ticks to the whole second, where jitter moves them across the
    // archive periods' starts; a precise one keeps the phase of the start.
    m_visualTimer->setTimerType(Qt::PreciseTimer);
    connect(m_visualTimer, &QTimer::timeout, this, &Poller::visualTimerTimeout);
    m_visualTimer->start(g_settingsManager->m_modbusPollInterval);
    OperatorLog::info(OperatorLog::pollingStarted(m_channWorkersList.size(),
                                                  g_settingsManager->m_modbusPollInterval));
}

bool Poller::startChannels(const QString& type, const QString& connectionsSql,
                           const QString& planSql, const QString& devicesSql)
{
    QSqlQuery connections(m_db);
    if (!connections.exec(connectionsSql)) {
        qDebug() << connections.lastError().text();
        return false;
    }
    const bool serial = type == QLatin1String("serial");
    while (connections.next()) {
        const int id = connections.value(0).toInt();
        t_serialConnection serialSettings;
        t_tcpConnection tcpSettings;
        int timeout;
        if (serial) {
            serialSettings.id = id;
            serialSettings.serialPort = connections.value(1).toString();
            serialSettings.baudRate = connections.value(2).toInt();
            const QByteArray parity = connections.value(3).toString().toLatin1();
            serialSettings.parity = parity.isEmpty() ? char(0) : parity.at(0);
            serialSettings.stopBits = char(connections.value(4).toInt());
            serialSettings.timeout = timeout = connections.value(5).toInt();
        } else {
            tcpSettings.id = id;
            tcpSettings.name = connections.value(1).toString();
            tcpSettings.ip = connections.value(2).toString();
            tcpSettings.portTCP = quint16(connections.value(3).toInt());
            tcpSettings.timeout = timeout = connections.value(4).toInt();
        }
        if (uint(timeout) > uint(m_maxTimeout) && timeout > 0)
            m_maxTimeout = timeout;

        QSqlQuery planQuery(m_db);
        if (!Database::exec(planQuery, planSql, {id})) {
            qDebug() << planQuery.lastError().text();
            return false;
        }
        auto plan = std::make_shared<ReadIterations>();
        while (planQuery.next())
            plan->addIteration(planQuery);
        ChannelReady::Claim claim;
        if (plan->count() > 0)
            claim = g_channelReady->claim({ChannelWorker::channelKey(type, id),
                                           serial ? ChannelWorker::deviceKey(serialSettings)
                                                  : ChannelWorker::deviceKey(tcpSettings)},
                                          m_run);
        if (plan->count() > 0 && !claim) {
            // A worker that an earlier stop left behind still runs on it or on its device: the
            // run goes on without the channel, and the next start after that worker ended
            // picks it up.
            const QString name = serial ? serialSettings.serialPort : tcpSettings.ip;
            qWarning("Connection %s is left out of this run: its worker of an earlier run has "
                     "not ended yet",
                     qPrintable(name));
            Logs::addLog(Logs::Warn, tr("Connection %1 is left out of this polling run: its "
                                        "worker of an earlier run has not ended yet.")
                                         .arg(name));
        } else if (claim) {
            ChannelWorker* worker = serial ? new ChannelWorker(serialSettings, plan, m_pReadBuffer)
                                           : new ChannelWorker(tcpSettings, plan, m_pReadBuffer);
            worker->holdClaim(std::move(claim));
            worker->readyFlag()->store(true);
            startThread(worker, true);
        }

        QSqlQuery devices(m_db);
        if (!Database::exec(devices, devicesSql, {id})) {
            qDebug() << devices.lastError().text();
            return false;
        }
        if (const TryLocker stats = g_stats->lock(StatsRegistrationLockMs)) {
            g_stats->addChannel(type, id);
            while (devices.next())
                g_stats->addDevice(type, id, devices.value(0).toInt());
        } else {
            qDebug() << "Statistics busy: channel" << type << id << "not registered";
        }
    }
    return true;
}

void Poller::visualTimerTimeout()
{
    const qint64 ts = QDateTime::currentMSecsSinceEpoch();
    g_alarms->tick(buffer().get());

    for (const Channel& channel : qAsConst(m_channWorkersList)) {
        const ChannelReady::Flag& ready = channel.ready;
        // Busy from here on, so that a slow start of the worker never gets it a second cycle.
        bool expected = true;
        if (ready->compare_exchange_strong(expected, false)) {
            QMetaObject::invokeMethod(channel.worker, "visualTimerExpired", Qt::QueuedConnection,
                                      Q_ARG(qint64, ts));
        } else {
            qCDebug(lcCycle) << "Skipping read request for: " << channel.name;
        }
    }
}

void Poller::stopChannels(qint64 ts)
{
    // A running cycle ends after its current read, which its time-out bounds (on dead lines
    // the rest of the cycle could take longer than a service manager waits for the program to
    // end); the stop is queued on each worker's thread behind it, so that no line is closed
    // under a read. The channels stop side by side and are waited for to their end, within
    // one bound: the main thread, with every tick, start and tray action, waits meanwhile.
    for (const Channel& channel : qAsConst(m_channWorkersList)) {
        *channel.stop = true;
        QMetaObject::invokeMethod(channel.worker, "stopChannel", Qt::QueuedConnection,
                                  Q_ARG(qint64, ts));
    }
    const int waitMs = workerWaitMs(m_maxTimeout);
    const QDeadlineTimer deadline(waitMs);
    const std::shared_ptr<ReadBuffer> b = buffer();
    for (const Channel& channel : qAsConst(m_channWorkersList)) {
        if (channel.thread->wait(deadline))
            continue;
        // Left to end on its own: it keeps its plan, the buffer and its channel's claim until
        // then (so no start reads beside it), and the closed buffer takes nothing more from it.
        // Its session breaks are written here, unless it wrote them before it was held.
        qWarning("!!! infLoopSave used!!! id: %s did not stop within %d ms; it ends on its own, "
                 "and its connection is left out of polling until then",
                 qPrintable(channel.name), waitMs);
        Logs::addLog(Logs::Warn, tr("Connection %1 did not stop within %2 ms: it is left out of "
                                    "polling until its worker ends.")
                                     .arg(channel.name)
                                     .arg(waitMs));
        if (b)
            ChannelWorker::insertSessionBreakValues(channel.name, *channel.plan, *b, ts + 1000);
    }
    m_channWorkersList.clear();
    qDebug("clear m_channWorkersList");
}

void Poller::stopPolling()
{
    if (!m_isRunning)
        return;
    qDebug("***** stop polling() *****");
    int longestTimeout = 0;
    for (const Channel& channel : qAsConst(m_channWorkersList))
        longestTimeout = qMax(longestTimeout, channel.timeout);
    const QDeadlineTimer bound(stopBoundMs(longestTimeout));
    const int channels = m_channWorkersList.size();
    delete m_visualTimer;
    m_visualTimer = nullptr;

    const qint64 ts = QDateTime::currentMSecsSinceEpoch();
    stopChannels(ts);

    // The run counts as stopped ("getAppState") only once its rows, session breaks included,
    // are in the database, or it has said how many are not: rows that a full or failing
    // database does not take within the bound are given up.
    const std::shared_ptr<ReadBuffer> b = buffer();
    const int givenUp = b->close(
        int(qMax<qint64>(MinArchiveFlushMs, bound.remainingTime() - StopReserveMs)));
    if (givenUp > 0) {
        qWarning("%d archive rows could not be written; they are given up", givenUp);
        // Told above already; a full disk does not take this line either.
        Logs::storeLog(Logs::Warn, tr("%1 archive rows could not be written.").arg(givenUp));
    }
    std::atomic_store(&m_pReadBuffer, std::shared_ptr<ReadBuffer>());
    qDebug("deleteLater m_pReadBuffer");

    g_alarms->clear();
    qDebug("clear g_alarms");
    if (const TryLocker stats = g_stats->lock(StatsRegistrationLockMs))
        g_stats->clear();
    EmailManager::stopWorker();
    m_isRunning = false;
    OperatorLog::info(OperatorLog::pollingStopped(channels));
}
