#pragma once

#include "ArchiveWriter.h"
#include "BufferInterface.h"

#include <QHash>

class QSqlQuery;

// Turns live samples into archive rows: per parameter with an archive period it decides which
// samples are due, aligns their times to the period and hands the rows to its archive writer.
// Every call but flushBuffer arrives under the owning live-value buffer's lock and does memory
// work only.
class ArchiveBuffer : public BufferInterface
{
    Q_OBJECT
public:
    // Rows of the parameters query: column 0 idParameters, column 3 archInterval (s).
    ArchiveBuffer(QSqlQuery paramsQuery, QObject* parent);
    ~ArchiveBuffer() override;

    // A parameter gets at most one row per aligned time: a second sample of the same period
    // (the same failed read stored twice, two ticks in one period) is not archived again.
    void addValue(int idParameters, BufferInterface::ReadValue value);
    // A session-break row, queued as it is (no alignment, not counted); once per parameter.
    void addSessionBreakValue(int idParameters, BufferInterface::ReadValue value);
    bool time2AddParamVal(int idParameters, qint64 ts);
    // Writes every queued row now and waits for them up to timeoutMs; returns how many could
    // not be written by then. Needs no lock.
    int flushBuffer(int timeoutMs = 30000);
    // The last flush of the run: within timeoutMs, and what is not written by then is given
    // up; returns how many rows that is. No rows are taken afterwards.
    int finish(int timeoutMs) { return m_writer.finish(timeoutMs); }

    qint64 archivedCount() const { return m_archivedCount; }
    // Rows queued and not yet written.
    int pendingCount() const { return m_writer.pendingCount(); }

private:
    struct ArchParam
    {
        qint64 lastTs = 0; // aligned time of the last archived value, 0 while none
        qint64 lastTick = 0; // sample time of the last archived value
        int archInterval = 0;
        bool sessionBreakQueued = false;
    };

    // The due test on a parameter already looked up (every sample passes here).
    static bool isDue(const ArchParam& p, qint64 ts);
    // The aligned time a due sample is archived at.
    static qint64 alignedTime(const ArchParam& p, qint64 ts);

    qint64 m_archivedCount = 0;
    QHash<int, ArchParam> m_archParams;
    ArchiveWriter m_writer;
};
