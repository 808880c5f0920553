#include "ArchiveBuffer.h"

#include "SettingsManager.h"
#include "globals.h"

#include <QLoggingCategory>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

// A missed window writes a line per parameter, under the buffer's lock: off unless
// QT_LOGGING_RULES asks for it.
Q_DECLARE_LOGGING_CATEGORY(lcCycle)

ArchiveBuffer::ArchiveBuffer(QSqlQuery paramsQuery, QObject* parent) : BufferInterface(parent)
{
    if (!paramsQuery.first())
        return;
    do {
        const int archInterval = paramsQuery.value(3).toInt();
        if (archInterval > 0)
            m_archParams.insert(paramsQuery.value(0).toInt(), ArchParam{0, 0, archInterval, false});
    } while (paramsQuery.next());
}

ArchiveBuffer::~ArchiveBuffer() = default;

bool ArchiveBuffer::time2AddParamVal(int idParameters, qint64 ts)
{
    return isDue(m_archParams.value(idParameters), ts);
}

namespace {

// A poll timer may fire this much early (Qt lets a coarse timer drift by 5 %) and a tick this
// much late: a tick so close to a period start belongs to the period either side of it.
qint64 tickSlack()
{
    return qMax(0, g_settingsManager->m_modbusPollInterval.load()) / 20;
}

qint64 periodStart(qint64 ts, qint64 period)
{
    return ts - ts % period;
}

} // namespace

bool ArchiveBuffer::isDue(const ArchParam& p, qint64 ts)
{
    // 64 bits: a long period must not overflow into a negative one.
    const qint64 interval = qint64(p.archInterval) * 1000;
    if (interval <= 0)
        return false;
    if ((ts + tickSlack()) % interval < g_settingsManager->m_modbusPollInterval)
        return true;
    if (p.lastTs == 0 || ts - p.lastTs < interval)
        return false;
    qCDebug(lcCycle) << "!!!! Zab. dodatk. interwalu !!!!!!!, ts_diff: " << ts - p.lastTs;
    return true;
}

qint64 ArchiveBuffer::alignedTime(const ArchParam& p, qint64 ts)
{
    const qint64 period =
        qMax<qint64>(qint64(p.archInterval) * 1000, g_settingsManager->m_modbusPollInterval);
    if (period <= 0)
        return ts;
    // A tick just short of a period start is counted for that period.
    const qint64 slack = tickSlack();
    qint64 aligned = periodStart(ts + slack, period);
    if (p.lastTs == 0)
        return aligned;
    // Jitter carries ticks that sit at a period start back and forth across it. Keep one row
    // per period: a tick early for a period that has its row takes the next one; a tick moved
    // into the next period while its own period has none, after a tick at the end of the
    // period before, stays in its own.
    if (aligned == p.lastTs && ts + 2 * slack >= aligned + period)
        return aligned + period;
    if (aligned == p.lastTs + 2 * period && ts < aligned &&
        p.lastTick + 2 * slack >= p.lastTs + period)
        return aligned - period;
    return aligned;
}

void ArchiveBuffer::addValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end() || !isDue(*it, value.time))
        return;
    const qint64 aligned = alignedTime(*it, value.time);
    // Already archived at this time, or the wall clock was set back: the times already written
    // are not written again.
    if (aligned <= it->lastTs)
        return;
    it->lastTs = aligned;
    it->lastTick = value.time;
    ++m_archivedCount;
    m_writer.add(ArchiveWriter::Row{idParameters, value.archiveValue(), aligned, value.flag});
}

void ArchiveBuffer::addSessionBreakValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end() || it->sessionBreakQueued)
        return;
    it->sessionBreakQueued = true;
    // A tick just short of a period start has its row at that start, which a stop right after
    // the tick may not have reached: the break still comes after the run's last row.
    const qint64 time = it->lastTs > 0 ? qMax(value.time, it->lastTs + 1000) : value.time;
    m_writer.add(ArchiveWriter::Row{idParameters, value.val, time, value.flag});
}

int ArchiveBuffer::flushBuffer(int timeoutMs)
{
    return m_writer.flush(timeoutMs);
}
