#pragma once

#include <QtGlobal>

#include <memory>

class QThread;

// Writes archive rows to ArchiveData on a thread of its own with a database connection of its
// own: in explicit transactions with one statement prepared once, as soon as BatchSize rows are
// queued and at the latest MaxDelayMs after a row was queued. A busy or failing database only
// delays rows: they wait in the queue and are tried again; none is dropped short of the
// queue's bound. The first failed write and the end of the outage are each reported once, on
// standard error and in the event log; the end once the rows that waited are written, with the
// rows written since the failure and those given up at the bound. An overflow without a failure
// writes one event-log warning with the count, and rows refused because the queue's lock was
// not had in time another.
// Rows of deleted parameters are refused by the database and given up.
class ArchiveWriter
{
public:
    struct Row
    {
        int idParameter;
        double val;
        qint64 time; // ms since the epoch, written as local "yyyy-MM-dd hh:mm:ss"
        int flag;
    };

    static constexpr int BatchSize = 50;
    static constexpr int MaxDelayMs = 1000;
    static constexpr int DefaultMaxQueued = 1000000;

    explicit ArchiveWriter(int maxQueued = DefaultMaxQueued);
    // Writes what is still queued unless that takes longer than a moment; the thread then
    // gives the rest up and ends on its own.
    ~ArchiveWriter();

    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Queues a row; any thread, memory work only. False when the queue is full: the row is
    // counted for the overflow warning.
    bool add(const Row& row);

    // Writes every row queued so far now and waits for them up to timeoutMs. Returns how many
    // of them were not written by then (still queued, or refused by the database).
    int flush(int timeoutMs);

    // The last flush: writes every row queued so far within timeoutMs and gives up what is not
    // written by then, so that none of it is written later; the writer takes no more rows.
    // Returns how many rows were given up.
    int finish(int timeoutMs);

    // Rows queued and not yet written or given up.
    int pendingCount() const;

private:
    struct State;
    void startLocked();

    std::shared_ptr<State> m_state;
    QThread* m_thread = nullptr;
};
