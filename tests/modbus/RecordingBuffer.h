#pragma once

#include "polling/BufferInterface.h"

#include <QSemaphore>
#include <QVector>

#include <memory>

class QThread;

// Records every updateValue call; can have its lock held by another thread.
class RecordingBuffer : public BufferInterface
{
    Q_OBJECT
public:
    struct Update
    {
        int idDevice;
        int regAddr;
        ReadValue value;
    };

    RecordingBuffer();
    ~RecordingBuffer() override;

    void updateValue(int idDevice, int regAddr, ReadValue value) override;

    // Another thread takes the lock and keeps it until releaseLock().
    void holdLock();
    void releaseLock();

    QVector<Update> updates;

private:
    std::unique_ptr<QThread> m_holder;
    QSemaphore m_taken;
    QSemaphore m_release;
};
