#include "ArchiveWriter.h"

#include "Database.h"
#include "Logs.h"
#include "TryLocker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>
#include <QtDebug>

#include <atomic>
#include <climits>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

namespace {

// The queue's lock is held for a push or a swap only.
constexpr int QueueLockMs = 1000;
// A write the database refused as a whole is tried again after this pause.
constexpr int RetryPauseMs = 250;
// How long the destructor lets the thread write what is left before it gives the rest up.
constexpr int FinishMs = 1000;
// How long finish() waits for the thread to give its rows up: its current attempt, unless the
// database's busy wait holds it.
constexpr int GiveUpMs = 250;

// A row the table cannot take (its parameter was deleted): nothing a retry could change.
bool isRowRefused(const QSqlError& error)
{
    return error.nativeErrorCode() == QLatin1String("19");
}

// "yyyy-MM-dd hh:mm:ss" in local time. The rows of one tick share their second, so one
// conversion serves them all; the time zone is read once per batch (reset()), not per row.
class LocalTimeText
{
public:
    void reset()
    {
        ::tzset();
        m_second = std::numeric_limits<qint64>::min();
    }

    const QString& text(qint64 msecs)
    {
        // Floor, also before 1970.
        const qint64 second = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
        if (second != m_second) {
            m_second = second;
            const time_t t = time_t(second);
            tm local = {};
            ::localtime_r(&t, &local);
            char buf[32];
            const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d",
                                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                        local.tm_hour, local.tm_min, local.tm_sec);
            m_text = QString::fromLatin1(buf, n);
        }
        return m_text;
    }

private:
    qint64 m_second = std::numeric_limits<qint64>::min();
    QString m_text;
};

} // namespace

struct ArchiveWriter::State
{
    explicit State(int bound) : maxQueued(bound) {}

    const int maxQueued;
    QMutex mutex; // guards the queue and the flush request; changes of `done` are signalled
    std::vector<Row> queue;
    qint64 oldestQueuedMs = 0;       // monotonic time of queue.front()
    std::atomic<qint64> queued{0};   // rows ever queued
    std::atomic<qint64> done{0};     // rows written or given up, in queue order
    std::atomic<qint64> dropped{0};  // rows refused at the bound since the last report
    std::atomic<qint64> lockDropped{0}; // rows refused as the lock timed out, since then
    bool flushRequested = false;
    QWaitCondition progress;

    QSemaphore wake;
    std::atomic<bool> finishing{false};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> closed{false};    // finish() was called: no more rows are taken
    std::atomic<bool> ended{false};     // the thread has given up what was left
    std::atomic<qint64> givenUp{0};     // rows it gave up then
    QElapsedTimer clock;

    // Writer thread only: an outage is reported when it starts and when it ends, not per retry.
    bool failing = false;
    QString failureText;   // the event-log line of the outage, empty once it is stored
    qint64 writtenSinceFailure = 0;
    qint64 backlogEnd = -1; // rows queued by the first good write: those that waited

    void run();
    bool writeBatch(QSqlDatabase& db, QSqlQuery& insert, const std::vector<Row>& rows,
                    LocalTimeText& times, int* refused, QString* error);
    void reportFailure(const QString& error);
    void reportRecovery(qint64 written);
};

ArchiveWriter::ArchiveWriter(int maxQueued) : m_state(std::make_shared<State>(maxQueued))
{
    m_state->clock.start();
}

ArchiveWriter::~ArchiveWriter()
{
    if (!m_thread)
        return;
    m_state->finishing = true;
    m_state->wake.release();
    if (m_thread->wait(FinishMs)) {
        delete m_thread;
        return;
    }
    // Stuck on a busy database: the thread keeps its own state alive, gives the rest up and
    // ends on its own (its QThread object is left behind).
    m_state->abandoned = true;
    m_state->wake.release();
    qDebug() << "Archive writer still busy; it ends on its own";
}

// Under the state's lock: add() and flush() may come from different threads.
void ArchiveWriter::startLocked()
{
    if (m_thread)
        return;
    std::shared_ptr<State> state = m_state;
    m_thread = QThread::create([state] { state->run(); });
    m_thread->setObjectName(QStringLiteral("ArchiveWriter"));
    m_thread->start();
}

bool ArchiveWriter::add(const Row& row)
{
    State& s = *m_state;
    TryLocker lock(&s.mutex, QueueLockMs);
    if (!lock) {
        ++s.lockDropped;
        return false;
    }
    // Under the lock: finish() sets it before its flush takes the lock and counts what is
    // queued, so a row either is in that count or is refused, never written after the stop.
    if (s.closed)
        return false;
    // The bound counts the batch being written too.
    if (s.queued - s.done >= s.maxQueued) {
        ++s.dropped;
        return false;
    }
    if (s.queue.empty())
        s.oldestQueuedMs = s.clock.elapsed();
    s.queue.push_back(row);
    ++s.queued;
    if (!m_thread || s.queue.size() == size_t(BatchSize)) {
        startLocked();
        s.wake.release();
    }
    return true;
}

int ArchiveWriter::flush(int timeoutMs)
{
    State& s = *m_state;
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    TryLocker lock(&s.mutex, qMax(0, timeoutMs));
    if (!lock)
        return int(qMin<qint64>(s.queued - s.done, INT_MAX));
    const qint64 target = s.queued;
    if (s.done >= target)
        return 0;
    s.flushRequested = true;
    startLocked();
    s.wake.release();
    while (s.done < target && !deadline.hasExpired())
        s.progress.wait(&s.mutex, deadline);
    return int(qMin<qint64>(target - s.done, INT_MAX));
}

int ArchiveWriter::finish(int timeoutMs)
{
    State& s = *m_state;
    s.closed = true;
    if (flush(timeoutMs) == 0)
        return 0;
    s.abandoned = true;
    s.wake.release();
    // The thread drops its rows after its current attempt; one that commits meanwhile counts
    // as written.
    const QDeadlineTimer deadline(GiveUpMs);
    if (TryLocker lock{&s.mutex, GiveUpMs}) {
        while (!s.ended && !deadline.hasExpired())
            s.progress.wait(&s.mutex, deadline);
    }
    return int(qMin<qint64>(s.ended ? s.givenUp.load() : s.queued - s.done, INT_MAX));
}

int ArchiveWriter::pendingCount() const
{
    return int(qMin<qint64>(m_state->queued - m_state->done, INT_MAX));
}

void ArchiveWriter::State::run()
{
    QSqlDatabase db = Database::connection();
    QSqlQuery insert(db);
    bool prepared = false;
    LocalTimeText times;
    std::vector<Row> batch;
    qint64 batchEnd = 0;
    bool retrying = false;

    for (;;) {
        if (abandoned)
            break;
        int sleepMs = MaxDelayMs;
        if (!retrying) {
            TryLocker lock(&mutex, QueueLockMs);
            if (!lock)
                continue;
            const qint64 now = clock.elapsed();
            const bool urgent = flushRequested || finishing;
            if (!queue.empty() && (urgent || queue.size() >= size_t(BatchSize) ||
                                   now - oldestQueuedMs >= MaxDelayMs)) {
                batch.swap(queue); // the queue gets the old batch's capacity back
                batchEnd = queued;
            } else {
                if (queue.empty()) {
                    flushRequested = false;
                    if (finishing)
                        break;
                } else {
                    sleepMs = int(oldestQueuedMs + MaxDelayMs - now);
                }
            }
        }
        if (batch.empty()) {
            wake.tryAcquire(1, qMax(1, sleepMs));
            wake.tryAcquire(wake.available());
            continue;
        }

        if (!prepared) {
            if (!db.isOpen())
                db = Database::connection();
            insert = QSqlQuery(db);
            prepared = insert.prepare(QStringLiteral(
                "INSERT INTO ArchiveData (idParameter, value, dateTime, flag) VALUES (?, ?, ?, ?)"));
        }
        int refused = 0;
        QString error = insert.lastError().text();
        if (prepared && writeBatch(db, insert, batch, times, &refused, &error)) {
            done = batchEnd;
            {
                // Under the lock, so that a flush between its test and its wait cannot miss it.
                TryLocker lock(&mutex, QueueLockMs);
                progress.wakeAll();
            }
            // The recovery is told once the rows that waited are written, not while some of
            // them are still queued.
            if (failing) {
                if (backlogEnd < 0)
                    backlogEnd = queued;
                writtenSinceFailure += qint64(batch.size()) - refused;
                if (batchEnd >= backlogEnd)
                    reportRecovery(writtenSinceFailure);
            }
            const qint64 droppedNow = failing ? 0 : dropped.exchange(0);
            const qint64 lockDroppedNow = lockDropped.exchange(0);
            batch.clear();
            retrying = false;
            if (refused > 0)
                qWarning() << "Archive rows refused by the database:" << refused;
            if (droppedNow > 0)
                Logs::addLog(Logs::Warn,
                             QCoreApplication::translate("ArchiveWriter",
                                                         "The archive queue was full: %1 archive "
                                                         "rows were dropped.")
                                 .arg(droppedNow));
            if (lockDroppedNow > 0)
                Logs::addLog(Logs::Warn,
                             QCoreApplication::translate("ArchiveWriter",
                                                         "The archive queue stayed locked too "
                                                         "long: %1 archive rows were dropped.")
                                 .arg(lockDroppedNow));
            continue;
        }
        if (abandoned)
            break;
        // Busy or failing as a whole: the rows stay and are tried again.
        backlogEnd = -1;
        if (!failing)
            reportFailure(error);
        prepared = prepared && db.isOpen();
        retrying = true;
        wake.tryAcquire(1, RetryPauseMs);
    }

    // Given up: what could not be written is counted as done, so that no flush waits for it.
    TryLocker lock(&mutex, QueueLockMs);
    if (lock)
        queue.clear();
    const qint64 lost = queued - done;
    givenUp = lost;
    done = queued.load();
    ended = true;
    progress.wakeAll();
    if (failing && lost > 0)
        qWarning("Archive writer ended with %lld archive rows not written",
                 static_cast<long long>(lost));
}

void ArchiveWriter::State::reportFailure(const QString& error)
{
    failing = true;
    writtenSinceFailure = 0;
    failureText = QCoreApplication::translate("ArchiveWriter",
                                              "Archive write failed: %1. The rows are kept and "
                                              "written again when the database takes them "
                                              "(up to %2 rows).")
                      .arg(error)
                      .arg(maxQueued);
    qWarning("%s", qUtf8Printable(failureText));
    // The database that refused the rows may refuse the line too: it is then stored with the
    // recovery, and the failure has been told once, here.
    if (Logs::storeLog(Logs::Error, failureText))
        failureText.clear();
}

void ArchiveWriter::State::reportRecovery(qint64 written)
{
    failing = false;
    const qint64 givenUp = dropped.exchange(0);
    const QString text =
        QCoreApplication::translate("ArchiveWriter",
                                    "Archive writes work again: %1 waiting rows are written, "
                                    "%2 rows were given up because the bound of %3 waiting "
                                    "rows was reached.")
            .arg(written)
            .arg(givenUp)
            .arg(maxQueued);
    qWarning("%s", qUtf8Printable(text));
    if (!failureText.isEmpty())
        Logs::addLog(Logs::Error, failureText);
    failureText.clear();
    Logs::addLog(givenUp > 0 ? Logs::Warn : Logs::Info, text);
}

bool ArchiveWriter::State::writeBatch(QSqlDatabase& db, QSqlQuery& insert,
                                      const std::vector<Row>& rows, LocalTimeText& times,
                                      int* refused, QString* error)
{
    QSqlQuery control(db);
    if (!control.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = control.lastError().text();
        return false;
    }
    times.reset();
    for (const Row& row : rows) {
        insert.bindValue(0, row.idParameter);
        // NaN is stored as NULL; infinities as REAL.
        insert.bindValue(1, row.val);
        insert.bindValue(2, times.text(row.time));
        insert.bindValue(3, row.flag);
        if (insert.exec())
            continue;
        const QSqlError failed = insert.lastError();
        if (isRowRefused(failed)) {
            ++*refused;
            continue;
        }
        *error = failed.text();
        control.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    // Given up meanwhile (the stop's bound passed): the rows are reported lost, so they stay so.
    if (abandoned) {
        control.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    if (!control.exec(QStringLiteral("COMMIT"))) {
        *error = control.lastError().text();
        control.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}
