#include "RecordingBuffer.h"

#include <QThread>

RecordingBuffer::RecordingBuffer() = default;

RecordingBuffer::~RecordingBuffer()
{
    releaseLock();
}

void RecordingBuffer::updateValue(int idDevice, int regAddr, ReadValue value)
{
    updates.append({idDevice, regAddr, value});
}

void RecordingBuffer::holdLock()
{
    m_holder.reset(QThread::create([this] {
        const TryLocker guard = lock();
        m_taken.release();
        m_release.acquire();
    }));
    m_holder->start();
    m_taken.acquire();
}

void RecordingBuffer::releaseLock()
{
    if (!m_holder)
        return;
    m_release.release();
    m_holder->wait();
    m_holder.reset();
}
