#include "SettingsManager.h"

#include "ApiDispatcher.h"
#include "Database.h"
#include "JsonText.h"
#include "Logs.h"
#include "UsersManager.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>
#include <QtDebug>

#include <limits>

SettingsManager::SettingsManager(QObject* parent) : QObject(parent) {}

void SettingsManager::updateSettingsVariables()
{
    QSqlQuery q(Database::connection());
    if (q.exec(QStringLiteral("SELECT * FROM Settings;")) && q.next()) {
        m_modbusPollInterval = q.value(2).toInt();
        m_modbusIterDelay = q.value(3).toInt();
        const bool wasEnabled = m_sessionEnabled.exchange(q.value(4).toInt() != 0);
        m_defaultAppState = static_cast<qint16>(q.value(5).toInt());
        qDebug() << "m_sessionEnabled = " << (m_sessionEnabled ? "true" : "false");
        // At the start and when a save switches logins on.
        if (m_sessionEnabled && !wasEnabled)
            UsersManager::warnOfEmptyPasswords();
        return;
    }
    qDebug() << q.lastError().text();
    m_modbusPollInterval = 5000;
    m_modbusIterDelay = 10;
    m_sessionEnabled = false;
}

QByteArray SettingsManager::getSetting_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT * FROM Settings;")) || q.record().isEmpty())
        return QByteArrayLiteral("{}");
    // Without a row every column is listed with an empty value.
    q.next();
    return JsonText::rowObject(q.record()).toUtf8();
}

QByteArray SettingsManager::saveSetting_j(t_GetArray& GET, qint16 callerPrivilege)
{
    if (!GET.contains("modbusPollInterval") || !GET.contains("modbusIterDelay"))
        return Logs::errorJson(QStringLiteral("Parameters error"), QString());

    // A poll interval of 0 would poll without pause, a negative one never.
    constexpr int maxInt = std::numeric_limits<int>::max();
    int pollInterval = 0;
    int iterDelay = 0;
    QString refused =
        RequestParams::rangeError(GET, "modbusPollInterval", 0, 1, maxInt, &pollInterval, true);
    if (refused.isEmpty())
        refused = RequestParams::rangeError(GET, "modbusIterDelay", 0, 0, maxInt, &iterDelay, true);
    if (!refused.isEmpty())
        return Logs::errorJson(QStringLiteral("Settings save error"), refused);
    const qint16 sessionEnabled = RequestParams::toInt16(GET, "sessionEnabled");
    const qint16 defaultAppState = RequestParams::toInt16(GET, "defaultAppState");
    // Without logins every caller has full rights: only a caller who has them may switch.
    if (callerPrivilege < ApiDispatcher::fullRightsPrivilege &&
        (sessionEnabled != 0) != m_sessionEnabled.load())
        return ApiDispatcher::privilegeRefusal();

    QSqlQuery q(Database::connection());
    if (!Database::exec(q,
                        QStringLiteral("UPDATE Settings SET modbusPollInterval=?,modbusIterDelay=?,"
                                       "sessionEnabled=?,defaultAppState=? WHERE idSettings=1"),
                        {pollInterval, iterDelay, int(sessionEnabled), int(defaultAppState)}))
        return Logs::errorJson(QStringLiteral("Settings save error"), q.lastError().text());
    updateSettingsVariables();
    return QByteArrayLiteral("{\"success\":true}");
}
