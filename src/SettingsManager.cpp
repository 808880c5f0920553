#include "SettingsManager.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>
#include <QtDebug>

SettingsManager::SettingsManager(QObject* parent) : QObject(parent) {}

void SettingsManager::updateSettingsVariables()
{
    QSqlQuery q(Database::connection());
    if (q.exec(QStringLiteral("SELECT * FROM Settings;")) && q.next()) {
        m_modbusPollInterval = q.value(2).toInt();
        m_modbusIterDelay = q.value(3).toInt();
        m_sessionEnabled = q.value(4).toInt() != 0;
        m_defaultAppState = static_cast<qint16>(q.value(5).toInt());
        qDebug() << "m_sessionEnabled = " << (m_sessionEnabled ? "true" : "false");
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

QByteArray SettingsManager::saveSetting_j(t_GetArray& GET)
{
    if (!GET.contains("modbusPollInterval") || !GET.contains("modbusIterDelay"))
        return Logs::errorJson(QStringLiteral("Parameters error"), QString());

    int pollInterval = 0;
    int iterDelay = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "modbusPollInterval"), &pollInterval) ||
        !RequestParams::isInteger(RequestParams::text(GET, "modbusIterDelay"), &iterDelay))
        return Logs::errorJson(QStringLiteral("Settings save error"),
                               QStringLiteral("The intervals must be decimal integers"));
    const qint16 sessionEnabled = RequestParams::toInt16(GET, "sessionEnabled");
    const qint16 defaultAppState = RequestParams::toInt16(GET, "defaultAppState");

    QSqlQuery q(Database::connection());
    if (!Database::exec(q,
                        QStringLiteral("UPDATE Settings SET modbusPollInterval=?,modbusIterDelay=?,"
                                       "sessionEnabled=?,defaultAppState=? WHERE idSettings=1"),
                        {pollInterval, iterDelay, int(sessionEnabled), int(defaultAppState)}))
        return Logs::errorJson(QStringLiteral("Settings save error"), q.lastError().text());
    updateSettingsVariables();
    return QByteArrayLiteral("{\"success\":true}");
}
