#include "ArchiveBuffer.h"

#include "Database.h"
#include "SettingsManager.h"
#include "globals.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

namespace {

// Rows kept while the database stays busy; beyond this the oldest are given up.
constexpr int maxPendingRows = 100000;

bool isBusy(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("5") || code == QLatin1String("6");
}

} // namespace

ArchiveBuffer::ArchiveBuffer(QSqlQuery paramsQuery, QObject* parent) : BufferInterface(parent)
{
    if (!paramsQuery.first())
        return;
    do {
        const int archInterval = paramsQuery.value(3).toInt();
        if (archInterval > 0)
            m_archParams.insert(paramsQuery.value(0).toInt(), ArchParam{0, archInterval});
    } while (paramsQuery.next());
}

bool ArchiveBuffer::time2AddParamVal(int idParameters, qint64 ts)
{
    const ArchParam p = m_archParams.value(idParameters);
    // 64 bits: a long period must not overflow into a negative one.
    const qint64 interval = qint64(p.archInterval) * 1000;
    if (interval <= 0)
        return false;
    if (ts % interval < g_settingsManager->m_modbusPollInterval)
        return true;
    if (p.lastTs == 0 || ts - p.lastTs < interval)
        return false;
    qDebug() << "!!!! Zab. dodatk. interwalu !!!!!!!, ts_diff: " << ts - p.lastTs;
    return true;
}

void ArchiveBuffer::addValue(int idParameters, BufferInterface::ReadValue value)
{
    const auto it = m_archParams.find(idParameters);
    if (it == m_archParams.end())
        return;
    if (time2AddParamVal(idParameters, value.time)) {
        const qint64 period =
            qMax<qint64>(qint64(it->archInterval) * 1000, g_settingsManager->m_modbusPollInterval);
        const qint64 aligned = period > 0 ? value.time - value.time % period : value.time;
        it->lastTs = aligned;
        ++m_archivedCount;
        queue(ArchiveRow{idParameters, value.val, aligned, value.flag});
    }
}

void ArchiveBuffer::addSessionBreakValue(int idParameters, BufferInterface::ReadValue value)
{
    if (!m_archParams.contains(idParameters))
        return;
    queue(ArchiveRow{idParameters, value.val, value.time, value.flag});
}

void ArchiveBuffer::queue(const ArchiveRow& row)
{
    m_pending.append(row);
    // Every 50th row writes; rows kept while the database was busy wait for the next 50.
    if (m_pending.size() % BatchSize == 0)
        flushBuffer();
}

void ArchiveBuffer::flushBuffer()
{
    if (m_pending.isEmpty())
        return;
    // One statement per batch of at most 50 rows; UNION stores equal rows once.
    int done = 0;
    while (done < m_pending.size()) {
        const int n = qMin(BatchSize, m_pending.size() - done);
        QString sql =
            QStringLiteral("INSERT INTO ArchiveData (idParameter, value, dateTime, flag)");
        QVariantList values;
        values.reserve(n * 4);
        for (int i = 0; i < n; ++i) {
            const ArchiveRow& row = m_pending.at(done + i);
            sql += i == 0 ? QStringLiteral(" SELECT ?, ?, ?, ?")
                          : QStringLiteral(" UNION SELECT ?, ?, ?, ?");
            // Bound as a double: full precision, and a non-finite value cannot break the batch
            // (SQLite stores NaN as NULL).
            values << row.idParameter << row.val
                   << QDateTime::fromMSecsSinceEpoch(row.time).toString(
                          QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                   << row.flag;
        }
        QSqlQuery q(Database::connection());
        if (!Database::exec(q, sql, values)) {
            qDebug() << "Archive write failed:" << q.lastError().text();
            if (isBusy(q.lastError()))
                break; // kept for the next write
        }
        done += n;
    }
    m_pending.remove(0, done);
    if (m_pending.size() > maxPendingRows) {
        qDebug() << "Archive rows dropped while the database was busy:"
                 << m_pending.size() - maxPendingRows;
        m_pending.remove(0, m_pending.size() - maxPendingRows);
    }
}
