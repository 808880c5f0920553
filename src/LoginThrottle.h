#pragma once

#include <QHash>
#include <QString>

#include <deque>
#include <functional>
#include <mutex>

// Failed logins per client address: after maxFailures within window, logins from that
// address are refused for window. Memory only, several connection threads at once.
class LoginThrottle
{
public:
    static constexpr int maxFailures = 5;
    static constexpr qint64 windowMs = 15 * 60 * 1000;
    // Addresses tracked at most, so that a spread of addresses cannot grow memory.
    static constexpr int maxAddresses = 10000;

    // clock: monotonic milliseconds (a test gives its own).
    explicit LoginThrottle(std::function<qint64()> clock = {});

    // Whether a login from the address may be checked now; false while it is blocked, or
    // while attempts under way would reach maxFailures. After true, call failed() or
    // succeeded().
    bool begin(const QString& address);
    // A wrong login: true when it starts a block (to be reported once).
    bool failed(const QString& address);
    // A right login: the failures of the address are forgotten.
    void succeeded(const QString& address);

private:
    struct Entry
    {
        std::deque<qint64> failures; // times within the window, oldest first
        qint64 blockedUntil = 0;
        int pending = 0;
    };
    void forgetOld(Entry& e, qint64 now) const;
    bool makeRoom(qint64 now);

    std::function<qint64()> m_clock;
    std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
};
