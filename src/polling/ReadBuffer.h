#pragma once

#include "BufferInterface.h"
#include "ReplyCache.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>

#include <atomic>
#include <vector>

class ArchiveBuffer;
class QSqlQuery;

// The latest sample of every configured parameter of the active devices during a polling run,
// and the run's archive. Writers hold the lock (lock()) for the stores of one read; readers
// take a copy with snapshot() and work outside the lock. valuesJson() builds its reply once
// per change of the values and hands every caller the same bytes until the next change.
class ReadBuffer : public BufferInterface
{
    Q_OBJECT
public:
    // Rows: 0 idParameters, 1 idDevice, 2 regAddr, 3 archInterval, 4 unit.
    ReadBuffer(QSqlQuery paramsQuery, QObject* parent);
    ~ReadBuffer() override;

    // The caller holds the lock.
    void updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value) override;
    void insertSessionBreakValue(int idDevice, int regAddr, BufferInterface::ReadValue value);
    BufferInterface::ReadValue value(int idParameters) const;
    qint64 archivedCount() const;

    // The end of the run: from now on the buffer stores no sample and no session break (a
    // worker that the stop left behind writes nowhere), the archive's held samples are placed,
    // and its queued rows are written within timeoutMs; the rest is given up. Returns how many
    // rows were given up.
    int close(int timeoutMs);

    // Every value keyed by idParameters, copied under the buffer's lock; false when the lock
    // was not free within its time-out.
    bool snapshot(QHash<int, BufferInterface::ReadValue>& out);

    // The live-values JSON, {"12": {"time":..,"val":..,"valBase":..,"u":"..","flag":..},...}
    // in Latin-1. Unchanged values since the last call: the same bytes, without the lock.
    // Else built from a copy taken under the lock; while another caller builds it, the last
    // reply when that was built less than staleMs ago (one poll interval), else the one being
    // built. False when the lock was not free within its time-out.
    bool valuesJson(QByteArray& out, int staleMs);

    static float computeScaleFactor(const BufferInterface::ReadValue& value);
    static QString unitPrefix(float factor);

    ArchiveBuffer* archive() const { return m_pArchiveBuffer; }

private:
    // One parameter; fixed at construction and read without the lock.
    struct Parameter
    {
        int id;
        QByteArray head;  // "\"<id>\": {\"time\":"
        QByteArray unit;  // escaped for JSON, Latin-1
        bool scalable;    // the unit is one of V, A, W, VA, VAR
    };

    static quint64 key(int idDevice, int regAddr)
    {
        return (quint64(quint32(idDevice)) << 32) | quint32(regAddr);
    }
    int slotOf(int idDevice, int regAddr, const char* caller) const;
    bool copyValues(std::vector<BufferInterface::ReadValue>& out, quint64* version = nullptr,
                    int lockMs = LockTimeoutMs);
    QByteArray json(const std::vector<BufferInterface::ReadValue>& values) const;

    // Parallel by slot, in query order.
    std::vector<BufferInterface::ReadValue> m_values;
    std::vector<Parameter> m_parameters;
    // idDevice and regAddr to the slot; the later row wins for a shared address.
    QHash<quint64, int> m_slotOfAddress;
    QHash<int, int> m_slotOfId;
    ArchiveBuffer* m_pArchiveBuffer;
    // Set by close(), under the lock when it comes free; read by the writers under it.
    std::atomic<bool> m_closed{false};
    // Counts the stores; written under the lock, read without it to find a stale reply.
    std::atomic<quint64> m_version{0};
    ReplyCache m_reply{LockTimeoutMs};
};
