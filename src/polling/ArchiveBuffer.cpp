#include "ArchiveBuffer.h"

#include "Database.h"
#include "DatabaseSchema.h"
#include "SettingsManager.h"
#include "globals.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

// A missed window writes a line per parameter, under the buffer's lock: off unless
// QT_LOGGING_RULES asks for it.
Q_DECLARE_LOGGING_CATEGORY(lcCycle)

ArchiveBuffer::ArchiveBuffer(QSqlQuery paramsQuery, QObject* parent, qint64 startedAt)
    : BufferInterface(parent)
{
    if (!paramsQuery.first())
        return;
    do {
        const int archInterval = paramsQuery.value(3).toInt();
        if (archInterval > 0) {
            ArchParam p;
            p.archInterval = archInterval;
            m_archParams.insert(paramsQuery.value(0).toInt(), p);
        }
    } while (paramsQuery.next());
    readStoredAhead(startedAt);
}

ArchiveBuffer::~ArchiveBuffer() = default;

namespace {

qint64 pollMs()
{
    return qMax(0, g_settingsManager->m_modbusPollInterval.load());
}

// Ticks jitter around a period start they sit at; one this close to a boundary may stand in
// for the period on its other side.
qint64 tickSlack()
{
    return pollMs() / 20;
}

// Also before 1970.
qint64 floorMod(qint64 ts, qint64 period)
{
    return ((ts % period) + period) % period;
}

qint64 periodStart(qint64 ts, qint64 period)
{
    return ts - floorMod(ts, period);
}

// 64 bits: a long period must not overflow into a negative one.
qint64 intervalMs(int archInterval)
{
    return qint64(archInterval) * 1000;
}

qint64 periodMs(int archInterval)
{
    return qMax(intervalMs(archInterval), pollMs());
}

} // namespace

// A run stopped a moment ago may have archived the current period, and its session break is
// stamped a second after its stop: the latest row each parameter has from the start of the
// current period to the second after now. A database without the archive index is not
// searched (each look-up would read the whole archive).
void ArchiveBuffer::readStoredAhead(qint64 now)
{
    if (m_archParams.isEmpty())
        return;
    QSqlQuery q(Database::connection());
    if (!q.prepare(QStringLiteral("SELECT MAX(dateTime) FROM ArchiveData INDEXED BY %1 WHERE "
                                  "idParameter = ? AND dateTime >= ? AND dateTime <= ?")
                       .arg(QLatin1String(DatabaseSchema::archiveIndexName))))
        return;
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    const QString until = QDateTime::fromMSecsSinceEpoch(now + 1000).toString(format);
    for (auto it = m_archParams.begin(); it != m_archParams.end(); ++it) {
        q.bindValue(0, it.key());
        q.bindValue(1, QDateTime::fromMSecsSinceEpoch(periodStart(now, periodMs(it->archInterval)))
                           .toString(format));
        q.bindValue(2, until);
        if (!q.exec() || !q.next() || q.isNull(0))
            continue;
        const QDateTime stored = QDateTime::fromString(q.value(0).toString(), format);
        if (stored.isValid())
            it->stored = stored.toMSecsSinceEpoch();
    }
}

bool ArchiveBuffer::offer(ArchParam& p, const BufferInterface::ReadValue& value, PlacedRows* rows)
{
    const qint64 interval = intervalMs(p.archInterval);
    if (interval <= 0)
        return false;
    const qint64 ts = value.time;
    // The same read stored again, or the wall clock set back: nothing is placed twice.
    if (ts <= p.lastSample)
        return false;
    p.lastSample = ts;
    const qint64 period = periodMs(p.archInterval);
    const qint64 start = periodStart(ts, period);
    const qint64 slack = tickSlack();

    // This sample tells where the held one goes.
    if (p.hold == Hold::Forward) {
        p.hold = Hold::None;
        const qint64 next = p.lastTs + period;
        // Dropped when this sample reaches the next period itself, or its own period again.
        if (start > next) {
            rows->append({p.held, next});
            p.lastTs = next;
        }
    } else if (p.hold == Hold::Back) {
        p.hold = Hold::None;
        const qint64 own = periodStart(p.held.time, period);
        // Its own period goes to this sample only when this one falls in it.
        const qint64 target = start == own ? own - period : own;
        rows->append({p.held, target});
        p.lastTs = target;
    }

    if (p.lastTs == 0) {
        // The run's first row comes from a window, after what a previous run stored.
        if (floorMod(ts, interval) >= pollMs() || periodStart(start, 1000) <= p.stored)
            return false;
        rows->append({value, start});
        p.lastTs = start;
        return true;
    }
    if (start <= p.lastTs) {
        // Its own period has its row: it may stand in for the next one.
        if (start < p.lastTs || ts + slack < start + period)
            return false;
        p.hold = Hold::Forward;
        p.held = value;
        return true;
    }
    if (start - period > p.lastTs && ts - start < slack) {
        // Just after a period start, with the period before without a row.
        p.hold = Hold::Back;
        p.held = value;
        return true;
    }
    if (floorMod(ts, interval) >= pollMs())
        qCDebug(lcCycle) << "!!!! Zab. dodatk. interwalu !!!!!!!, ts_diff: " << ts - p.lastTs;
    rows->append({value, start});
    p.lastTs = start;
    return true;
}

void ArchiveBuffer::settle(ArchParam& p, PlacedRows* rows)
{
    if (p.hold == Hold::Back) {
        const qint64 own = periodStart(p.held.time, periodMs(p.archInterval));
        rows->append({p.held, own});
        p.lastTs = own;
    }
    p.hold = Hold::None;
}

void ArchiveBuffer::queue(int idParameters, const PlacedRows& rows)
{
    for (const Placed& row : rows) {
        ++m_archivedCount;
        m_writer.add(
            ArchiveWriter::Row{idParameters, row.value.archiveValue(), row.start, row.value.flag});
    }
}

bool ArchiveBuffer::time2AddParamVal(int idParameters, qint64 ts) const
{
    ArchParam p = m_archParams.value(idParameters);
    PlacedRows rows;
    return offer(p, BufferInterface::ReadValue{0.0, ts, 0}, &rows);
}

void ArchiveBuffer::addValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end())
        return;
    PlacedRows rows;
    offer(*it, value, &rows);
    queue(idParameters, rows);
}

void ArchiveBuffer::addSessionBreakValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end() || it->sessionBreakQueued)
        return;
    it->sessionBreakQueued = true;
    PlacedRows rows;
    settle(*it, &rows);
    queue(idParameters, rows);
    // After the run's last row, in a second of its own.
    const qint64 time = it->lastTs > 0 ? qMax(value.time, it->lastTs + 1000) : value.time;
    m_writer.add(ArchiveWriter::Row{idParameters, value.val, time, value.flag});
}

int ArchiveBuffer::flushBuffer(int timeoutMs)
{
    return m_writer.flush(timeoutMs);
}

int ArchiveBuffer::finish(int timeoutMs, bool storesEnded)
{
    if (storesEnded) {
        for (auto it = m_archParams.begin(); it != m_archParams.end(); ++it) {
            PlacedRows rows;
            settle(*it, &rows);
            queue(it.key(), rows);
        }
    }
    return m_writer.finish(timeoutMs);
}
