#pragma once

#include "TryLocker.h"

#include <QMutex>
#include <QObject>

// What the Modbus lines write their samples into, under its lock.
class BufferInterface : public QObject
{
    Q_OBJECT
public:
    // One decoded sample. Flags: 0 valid, 1 no value yet, 2 not available (the device's
    // marker), 3 time-out, 4 read error, 5 line not connected, 6 session break (archive only).
    struct ReadValue
    {
        double val = 0.0;
        qint64 time = 0; // ms since the epoch: the poll tick of the cycle
        int flag = 1;
        // How val was made: exact, or a single-precision number widened (a float register, a
        // value scaled to single precision).
        enum class Precision : int
        {
            Exact,
            Single
        };
        Precision precision = Precision::Exact;

        // val as the archive keeps it: a single as the shortest decimal that reads back as the
        // same single (49.95, not 49.95000076293945, which no device sent), anything else as it
        // is.
        double archiveValue() const;
    };

    explicit BufferInterface(QObject* parent = nullptr);

    // Stores one sample; the caller holds the lock. The base stores nothing.
    virtual void updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value);

    static constexpr int LockTimeoutMs = 1000;
    // The buffer's lock for the guard's scope, when it comes free within LockTimeoutMs. Held
    // for memory work only: the stores of one read, or a copy.
    TryLocker lock() { return lock(LockTimeoutMs); }
    TryLocker lock(int timeoutMs) { return TryLocker(&m_mutex, timeoutMs); }

private:
    QMutex m_mutex;
};
