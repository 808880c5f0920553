#pragma once

#include "BufferInterface.h"

#include <QHash>
#include <QVector>

class QSqlQuery;

// Turns live samples into archive rows: per parameter with an archive period it decides which
// samples are due, aligns their times to the period and writes them to ArchiveData in batches.
// Every call arrives under the owning live-value buffer's lock.
class ArchiveBuffer : public BufferInterface
{
    Q_OBJECT
public:
    // Rows of the parameters query: column 0 idParameters, column 3 archInterval (s).
    ArchiveBuffer(QSqlQuery paramsQuery, QObject* parent);

    static constexpr int BatchSize = 50;

    void addValue(int idParameters, BufferInterface::ReadValue value);
    // A session-break row, queued as it is: no alignment, not counted.
    void addSessionBreakValue(int idParameters, BufferInterface::ReadValue value);
    bool time2AddParamVal(int idParameters, qint64 ts);
    // Writes the queued rows on this thread's connection. Rows the database refused because it
    // was busy stay queued for the next write.
    void flushBuffer();

    qint64 archivedCount() const { return m_archivedCount; }
    int pendingCount() const { return m_pending.size(); }

private:
    struct ArchParam
    {
        qint64 lastTs = 0; // aligned time of the last archived value, 0 while none
        int archInterval = 0;
    };
    struct ArchiveRow
    {
        int idParameter;
        double val;
        qint64 time;
        int flag;
    };
    void queue(const ArchiveRow& row);

    qint64 m_archivedCount = 0;
    QHash<int, ArchParam> m_archParams;
    QVector<ArchiveRow> m_pending;
};
