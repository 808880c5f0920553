#pragma once

#include "HttpServerGlobal.h"

#include <QHash>
#include <QString>

class QHostAddress;

// Tells refused connections without a line for each: the first refusal is told at once, the
// ones after it are counted and told together at most once per interval, with the addresses
// refused most. A flood of connections thus writes a bounded number of lines. The clock is
// the caller's (ms, monotonic), so that a test can drive it.
class HTTPSERVER_EXPORT HttpRefusalLog
{
public:
    static constexpr qint64 DefaultIntervalMs = 60000;

    explicit HttpRefusalLog(qint64 intervalMs = DefaultIntervalMs);

    // A connection from `from` answered 503 at nowMs because all of `what` were busy ("connection
    // threads", "connections of this address"). The line to write now, or empty.
    QString refused(const QHostAddress& from, const QString& what, qint64 nowMs);
    // The count due at nowMs (the interval since the last line has passed), or empty; with
    // final, whatever is counted (the listener stops).
    QString due(qint64 nowMs, bool final = false);
    // When due() has a line next, or -1 when nothing is counted.
    qint64 nextDueMs() const;

private:
    QString summary(qint64 nowMs);

    qint64 m_intervalMs;
    qint64 m_lastLineMs = 0;
    bool m_told = false;
    qint64 m_counted = 0;
    QHash<QString, qint64> m_byReason;
    QHash<QString, qint64> m_byAddress;
    qint64 m_otherAddresses = 0;
};
