#include "AlarmsManager.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"
#include "ScriptArray.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

AlarmsManager::AlarmsManager(QObject* parent) : QObject(parent) {}

QByteArray AlarmsManager::getAlarmsCfg_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT * FROM Alarms;")))
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    return (QLatin1Char('[') + JsonText::rowObjects(q) + QLatin1Char(']')).toUtf8();
}

QByteArray AlarmsManager::saveAlarmsCfg_j(t_GetArray& GET)
{
    QSqlQuery q(Database::connection());
    bool result = q.exec(QStringLiteral("DELETE FROM Alarms;"));
    if (result) {
        const ScriptArray cfg(GET.value("cfg"));
        if (!cfg.isArray())
            return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
        // A member the element lacks reads as the script language writes it.
        const QString missing = QStringLiteral("undefined");
        for (int i = 0; i < cfg.count(); ++i) {
            const QString expOn = cfg.toText(i, "exp_on", missing);
            if (expOn.isEmpty())
                return Logs::errorJson(QStringLiteral("exp_on emppty"), QString());
            QString recipients = cfg.toText(i, "mailRecipients", missing).simplified();
            recipients.remove(QLatin1Char(' '));
            result = Database::exec(
                q,
                QStringLiteral("INSERT INTO Alarms (name, desc, priority, exp_on, exp_off, "
                               "sedMailCond, mailRecipients, mailSubject) "
                               "VALUES (?,?,?,?,?,?,?,?)"),
                {cfg.toText(i, "name", missing), cfg.toText(i, "desc", missing),
                 cfg.toInt32(i, "priority"), expOn, cfg.toText(i, "exp_off", missing),
                 cfg.toInt32(i, "sedMailCond"), recipients, cfg.toText(i, "mailSubject", missing)});
        }
    }
    if (!result)
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    return QByteArrayLiteral("{\"success\":true}");
}
