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
            m_archParams.insert(paramsQuery.value(0).toInt(), ArchParam{0, archInterval, false});
    } while (paramsQuery.next());
}

ArchiveBuffer::~ArchiveBuffer() = default;

bool ArchiveBuffer::time2AddParamVal(int idParameters, qint64 ts)
{
    return isDue(m_archParams.value(idParameters), ts);
}

bool ArchiveBuffer::isDue(const ArchParam& p, qint64 ts)
{
    // 64 bits: a long period must not overflow into a negative one.
    const qint64 interval = qint64(p.archInterval) * 1000;
    if (interval <= 0)
        return false;
    if (ts % interval < g_settingsManager->m_modbusPollInterval)
        return true;
    if (p.lastTs == 0 || ts - p.lastTs < interval)
        return false;
    qCDebug(lcCycle) << "!!!! Zab. dodatk. interwalu !!!!!!!, ts_diff: " << ts - p.lastTs;
    return true;
}

void ArchiveBuffer::addValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end() || !isDue(*it, value.time))
        return;
    const qint64 period =
        qMax<qint64>(qint64(it->archInterval) * 1000, g_settingsManager->m_modbusPollInterval);
    const qint64 aligned = period > 0 ? value.time - value.time % period : value.time;
    // Already archived at this time, or the wall clock was set back: the times already written
    // are not written again.
    if (aligned <= it->lastTs)
        return;
    it->lastTs = aligned;
    ++m_archivedCount;
    m_writer.add(ArchiveWriter::Row{idParameters, value.val, aligned, value.flag});
}

void ArchiveBuffer::addSessionBreakValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end() || it->sessionBreakQueued)
        return;
    it->sessionBreakQueued = true;
    m_writer.add(ArchiveWriter::Row{idParameters, value.val, value.time, value.flag});
}

int ArchiveBuffer::flushBuffer(int timeoutMs)
{
    return m_writer.flush(timeoutMs);
}
