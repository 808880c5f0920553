#pragma once

#include "ArchiveWriter.h"
#include "BufferInterface.h"

#include <QDateTime>
#include <QHash>
#include <QVarLengthArray>

#include <limits>

class QSqlQuery;

// Turns live samples into archive rows: per parameter with an archive period it decides which
// samples give a row and for which period, and hands the rows to its archive writer.
// Every call but flushBuffer and finish arrives under the owning live-value buffer's lock and
// does memory work only.
//
// A period is max(archInterval, poll interval) long; a sample's own period is the one its time
// lies in. Per parameter, over a run:
// (a) every period in which a sample fell has exactly one row, from the run's first row on
//     (the first row comes from a window, a sample less than one poll interval after the start
//     of an archive interval, so the periods before it may have none);
// (b) a row's value was read in its period, or within the slack of that period's boundary when
//     no sample fell in the period at all;
// (c) no two rows have one time, and no sample gives two rows;
// (d) so a late sample never leaves the period it fell in without a row.
// A run's rows come after those a previous run stored in the current period and ahead (its
// session break, a second after its stop).
// A sample takes its own period whenever that has no row yet. Only a sample within the slack
// of a boundary may cross it, to fill a period no sample fell in, and that needs the next
// sample to tell: such a sample is held until the next sample or the stop.
class ArchiveBuffer : public BufferInterface
{
    Q_OBJECT
public:
    // Rows of the parameters query: column 0 idParameters, column 3 archInterval (s).
    // startedAt: when the run starts (ms since the epoch), where it looks for what a previous
    // run stored; a test gives its own.
    ArchiveBuffer(QSqlQuery paramsQuery, QObject* parent,
                  qint64 startedAt = QDateTime::currentMSecsSinceEpoch());
    ~ArchiveBuffer() override;

    // The same sample stored twice (the line, then the worker), a second sample of a period
    // that has its row and a sample older than the last one offered are not archived again.
    void addValue(int idParameters, BufferInterface::ReadValue value);
    // A session-break row, queued as it is (no alignment, not counted); once per parameter,
    // after the parameter's held sample is settled.
    void addSessionBreakValue(int idParameters, BufferInterface::ReadValue value);
    // Whether a sample of that parameter with that time would give a row now or be held for one.
    bool time2AddParamVal(int idParameters, qint64 ts) const;
    // Writes every queued row now and waits for them up to timeoutMs; returns how many could
    // not be written by then. A held sample stays held: only the next sample or the stop can
    // tell its period.
    int flushBuffer(int timeoutMs = 30000);
    // The stop, once no store is under way (storesEnded: the caller closed the live-value
    // buffer under its lock): the held samples are placed, then the queued rows are written
    // within timeoutMs and what is not written by then is given up; returns how many rows that
    // is. No rows are taken afterwards. With a store perhaps still under way the held samples
    // are left alone (they are that store's state) and go with the run.
    int finish(int timeoutMs, bool storesEnded = true);

    qint64 archivedCount() const { return m_archivedCount; }
    // Rows queued and not yet written.
    int pendingCount() const { return m_writer.pendingCount(); }

private:
    enum class Hold : quint8 {
        None,
        Forward, // its own period has its row; for the next one should no sample reach it
        Back,    // for the period before its own (no row there) should a later sample fall
                 // in its own
    };

    struct ArchParam
    {
        qint64 lastTs = 0; // start of the period of the last row queued, 0 while none
        qint64 lastSample = std::numeric_limits<qint64>::min(); // time of the last one offered
        qint64 stored = 0; // second of the latest row a previous run stored ahead, 0 while none
        int archInterval = 0;
        bool sessionBreakQueued = false;
        Hold hold = Hold::None;
        BufferInterface::ReadValue held;
    };

    struct Placed
    {
        BufferInterface::ReadValue value;
        qint64 start; // the row's time: the start of its period
    };
    using PlacedRows = QVarLengthArray<Placed, 2>;

    // One sample's step on a parameter: the rows it places (a held sample settled, and the
    // sample itself). Returns whether the sample itself was placed or is held.
    static bool offer(ArchParam& p, const BufferInterface::ReadValue& value, PlacedRows* rows);
    // The held sample at the stop: kept in its own period, or dropped when that has its row.
    static void settle(ArchParam& p, PlacedRows* rows);
    void queue(int idParameters, const PlacedRows& rows);
    void readStoredAhead(qint64 now);

    qint64 m_archivedCount = 0;
    QHash<int, ArchParam> m_archParams;
    ArchiveWriter m_writer;
};
