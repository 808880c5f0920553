#include "LoginThrottle.h"

#include <QElapsedTimer>

#include <memory>

LoginThrottle::LoginThrottle(std::function<qint64()> clock) : m_clock(std::move(clock))
{
    if (!m_clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        m_clock = [timer] { return timer->elapsed(); };
    }
}

void LoginThrottle::forgetOld(Entry& e, qint64 now) const
{
    while (!e.failures.empty() && now - e.failures.front() >= windowMs)
        e.failures.pop_front();
}

bool LoginThrottle::makeRoom(qint64 now)
{
    if (m_entries.size() < maxAddresses)
        return true;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        forgetOld(it.value(), now);
        if (it->failures.empty() && it->pending == 0 && it->blockedUntil <= now)
            it = m_entries.erase(it);
        else
            ++it;
    }
    return m_entries.size() < maxAddresses;
}

bool LoginThrottle::begin(const QString& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 now = m_clock();
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        if (!makeRoom(now))
            return true; // untracked: refusing every new address would lock everyone out
        it = m_entries.insert(address, Entry());
    }
    Entry& e = it.value();
    if (e.blockedUntil > now)
        return false;
    forgetOld(e, now);
    if (int(e.failures.size()) + e.pending >= maxFailures)
        return false;
    ++e.pending;
    return true;
}

bool LoginThrottle::failed(const QString& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(address);
    if (it == m_entries.end())
        return false;
    Entry& e = it.value();
    const qint64 now = m_clock();
    e.pending = qMax(0, e.pending - 1);
    if (e.blockedUntil > now)
        return false; // a block started while this attempt was checked
    forgetOld(e, now);
    e.failures.push_back(now);
    if (int(e.failures.size()) < maxFailures)
        return false;
    e.failures.clear();
    e.blockedUntil = now + windowMs;
    return true;
}

void LoginThrottle::succeeded(const QString& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(address);
    if (it == m_entries.end())
        return;
    it->pending = qMax(0, it->pending - 1);
    it->failures.clear();
    if (it->pending == 0 && it->blockedUntil <= m_clock())
        m_entries.erase(it);
}
