#pragma once

#include <QMutex>

// Scoped QMutex::tryLock(ms): every shared lock of the program gives up after a fixed time,
// and this guard makes sure no path forgets the unlock.
class TryLocker
{
public:
    TryLocker(QMutex* mutex, int timeoutMs) : m_mutex(mutex), m_locked(mutex->tryLock(timeoutMs)) {}
    ~TryLocker() { unlock(); }

    TryLocker(const TryLocker&) = delete;
    TryLocker& operator=(const TryLocker&) = delete;

    bool isLocked() const { return m_locked; }
    explicit operator bool() const { return m_locked; }

    void unlock()
    {
        if (m_locked) {
            m_mutex->unlock();
            m_locked = false;
        }
    }

private:
    QMutex* m_mutex;
    bool m_locked;
};
