#include "HttpRefusalLog.h"

#include <QHostAddress>

#include <algorithm>
#include <vector>

namespace {

// Distinct addresses counted by name within one interval; more are counted together, so that
// a flood from many addresses costs bounded memory.
constexpr int MaxAddresses = 256;
// Addresses named in a count.
constexpr int NamedAddresses = 3;

} // namespace

HttpRefusalLog::HttpRefusalLog(qint64 intervalMs) : m_intervalMs(qMax<qint64>(1, intervalMs)) {}

QString HttpRefusalLog::refused(const QHostAddress& from, const QString& what, qint64 nowMs)
{
    if (!m_told || (m_counted == 0 && nowMs - m_lastLineMs >= m_intervalMs)) {
        m_told = true;
        m_lastLineMs = nowMs;
        return QStringLiteral("HttpListener: all %1 busy, answering 503 to %2; further refusals "
                              "are counted and told at most once every %3 s")
            .arg(what, from.toString(), QString::number((m_intervalMs + 999) / 1000));
    }
    ++m_counted;
    ++m_byReason[what];
    const QString address = from.toString();
    auto it = m_byAddress.find(address);
    if (it != m_byAddress.end())
        ++it.value();
    else if (m_byAddress.size() < MaxAddresses)
        m_byAddress.insert(address, 1);
    else
        ++m_otherAddresses;
    return due(nowMs);
}

QString HttpRefusalLog::due(qint64 nowMs, bool final)
{
    if (m_counted == 0 || (!final && nowMs - m_lastLineMs < m_intervalMs))
        return QString();
    return summary(nowMs);
}

qint64 HttpRefusalLog::nextDueMs() const
{
    return m_counted == 0 ? -1 : m_lastLineMs + m_intervalMs;
}

QString HttpRefusalLog::summary(qint64 nowMs)
{
    std::vector<std::pair<QString, qint64>> addresses;
    for (auto it = m_byAddress.cbegin(); it != m_byAddress.cend(); ++it)
        addresses.emplace_back(it.key(), it.value());
    std::sort(addresses.begin(), addresses.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    QStringList most;
    for (size_t i = 0; i < addresses.size() && i < size_t(NamedAddresses); ++i)
        most << QStringLiteral("%1 (%2)").arg(addresses[i].first).arg(addresses[i].second);
    QStringList reasons;
    for (auto it = m_byReason.cbegin(); it != m_byReason.cend(); ++it)
        reasons << QStringLiteral("all %1 busy: %2").arg(it.key()).arg(it.value());
    reasons.sort();
    const qint64 seconds = (nowMs - m_lastLineMs + 999) / 1000;
    QString text = QStringLiteral("HttpListener: %1 more connections answered 503 in the last %2 s "
                                  "(%3); most from %4")
                       .arg(m_counted)
                       .arg(seconds)
                       .arg(reasons.join(QLatin1String(", ")), most.join(QLatin1String(", ")));
    if (m_otherAddresses > 0)
        text += QStringLiteral(", and %1 from other addresses").arg(m_otherAddresses);

    m_lastLineMs = nowMs;
    m_counted = 0;
    m_byReason.clear();
    m_byAddress.clear();
    m_otherAddresses = 0;
    return text;
}
