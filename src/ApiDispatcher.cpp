#include "ApiDispatcher.h"

#include "Logs.h"
#include "ReplyWriter.h"
#include "TryLocker.h"

#include <QCoreApplication>

namespace {
constexpr int dbLockMs = 2000;
constexpr int modbusLockMs = 5000;
constexpr int flagsLockMs = 1000;
constexpr int statsLockMs = 500;
constexpr qint16 readOnly = 1;
constexpr qint16 fullRights = 255;
} // namespace

ApiDispatcher::ApiDispatcher(Environment environment) : m_env(std::move(environment)) {}

void ApiDispatcher::add(const QByteArray& func, Guard guard, Handler handler)
{
    m_routes.insert(func, Route{guard, std::move(handler), StreamHandler()});
}

void ApiDispatcher::addStreamed(const QByteArray& func, Guard guard, StreamHandler handler)
{
    m_routes.insert(func, Route{guard, Handler(), std::move(handler)});
}

QByteArray ApiDispatcher::privilegeRefusal()
{
    return Logs::errorJson(
        QCoreApplication::translate("MyHttpRequestHandler", "User doesn't have required privilege"),
        QString());
}

QByteArray ApiDispatcher::dispatch(t_GetArray& GET, qint16 privilege) const
{
    ReplyWriter out;
    dispatch(GET, privilege, out);
    return out.take();
}

void ApiDispatcher::dispatch(t_GetArray& GET, qint16 privilege, ReplyWriter& out) const
{
    const QByteArray func = GET.value("func");
    if (func.isEmpty())
        return;
    if (func.startsWith("cfg_")) {
        out.append(dispatchConfig(func, GET, privilege));
        return;
    }

    const auto it = m_routes.constFind(func);
    if (it == m_routes.constEnd())
        return;
    const Route& route = it.value();
    const auto call = [&] {
        if (route.streamed)
            route.streamed(GET, privilege, out);
        else
            out.append(route.handler(GET, privilege));
    };
    switch (route.guard) {
    case Guard::None:
        call();
        return;
    case Guard::FullRights:
        if (privilege == fullRights)
            call();
        else
            out.append(privilegeRefusal());
        return;
    case Guard::Flags: {
        TryLocker lock(m_env.flagsMutex, flagsLockMs);
        if (lock)
            call();
        return;
    }
    case Guard::Modbus: {
        TryLocker lock(m_env.modbusMutex, modbusLockMs);
        if (lock)
            call();
        else
            out.append(Logs::errorJson(QStringLiteral("Modbus Mutex error"), QString()));
        return;
    }
    case Guard::Stats: {
        TryLocker lock(m_env.statsMutex, statsLockMs);
        if (lock)
            call();
        return;
    }
    }
}

QByteArray ApiDispatcher::dispatchConfig(const QByteArray& func, t_GetArray& GET,
                                         qint16 privilege) const
{
    // Only the reading functions run while polling and for read-only callers.
    const bool changes = !func.contains("_get");
    if (changes && m_env.visualMode())
        return Logs::errorJson(QStringLiteral("App is in visual mode"), QString());
    if (changes && privilege == readOnly)
        return privilegeRefusal();
    const auto it = m_routes.constFind(func);
    if (it != m_routes.constEnd() && it.value().guard == Guard::FullRights &&
        privilege != fullRights)
        return privilegeRefusal();
    TryLocker lock(m_env.dbMutex, dbLockMs);
    if (!lock)
        return Logs::errorJson(QStringLiteral("Database mutex locked"), QString());
    return it == m_routes.constEnd() ? QByteArray() : it.value().handler(GET, privilege);
}
