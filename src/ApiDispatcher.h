#pragma once

#include "RequestParams.h"

#include <QHash>

#include <functional>

class QMutex;
class ReplyWriter;

// The web API: one table from the parameter "func" to its guard and its handler. The table is
// filled once at start-up and only read afterwards, by several connection threads at once.
class ApiDispatcher
{
public:
    enum class Guard
    {
        None,
        Flags,      // the polling flags' lock (1000 ms), else an empty reply
        Stats,      // the statistics' lock (500 ms), else an empty reply
        Modbus,     // the Modbus lock (5000 ms), else "Modbus Mutex error"
        FullRights, // privilege 255, else the privilege refusal
    };
    using Handler = std::function<QByteArray(t_GetArray& GET, qint16 privilege)>;
    // A handler whose reply may be too large to hold: it writes it in pieces.
    using StreamHandler = std::function<void(t_GetArray& GET, qint16 privilege, ReplyWriter& out)>;

    struct Environment
    {
        QMutex* dbMutex = nullptr;
        QMutex* modbusMutex = nullptr;
        QMutex* flagsMutex = nullptr;
        std::function<bool()> visualMode;
        QMutex* statsMutex = nullptr;
    };

    explicit ApiDispatcher(Environment environment);

    // A "cfg_" function always passes the configuration guards (visual mode, read-only
    // callers, the database lock); of the guards given here only FullRights adds to them
    // (checked before the lock).
    void add(const QByteArray& func, Guard guard, Handler handler);
    // Not for "cfg_" functions, whose replies are small.
    void addStreamed(const QByteArray& func, Guard guard, StreamHandler handler);

    // The reply of one call; empty for an empty or unknown "func".
    QByteArray dispatch(t_GetArray& GET, qint16 privilege) const;
    // The same, written to out (not finished).
    void dispatch(t_GetArray& GET, qint16 privilege, ReplyWriter& out) const;

    static QByteArray privilegeRefusal();
    // The privilege of full rights (also every caller's while logins are off).
    static constexpr qint16 fullRightsPrivilege = 255;

private:
    struct Route
    {
        Guard guard;
        Handler handler;
        StreamHandler streamed; // instead of handler
    };
    QByteArray dispatchConfig(const QByteArray& func, t_GetArray& GET, qint16 privilege) const;

    Environment m_env;
    QHash<QByteArray, Route> m_routes;
};
