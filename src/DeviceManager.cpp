#include "DeviceManager.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"
#include "ScriptArray.h"
#include "SqlTransaction.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char* const success = "{\"success\":true}";

QByteArray queryError(const QSqlQuery& q)
{
    return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
}

QVariantList readIterationValues(const ScriptArray& a, int i, int idDevice)
{
    return {a.toInt32(i, "regAddr"),           a.toInt32(i, "valuesCnt"), a.toInt32(i, "regType"),
            a.toInt32(i, "regSize"),           a.toInt32(i, "valSize"),   idDevice,
            a.toInt32(i, "ModbusReadFunction")};
}

QVariantList parameterValues(const ScriptArray& a, int i, int idDevice)
{
    return {idDevice,
            a.toText(i, "userDescription"),
            a.toText(i, "nameId"),
            a.toInt32(i, "regAddr"),
            a.toText(i, "unit"),
            a.toInt32(i, "archInterval"),
            a.toInt32(i, "regType"),
            a.toInt32(i, "regSize"),
            a.toInt32(i, "valSize")};
}

} // namespace

DeviceManager::DeviceManager(QObject* parent) : QObject(parent)
{
    checkTables();
}

void DeviceManager::checkTables()
{
    QSqlQuery q(Database::connection());
    if (q.exec(QStringLiteral(
            "SELECT name FROM sqlite_master WHERE type='table' AND name='Devices';")) &&
        q.next())
        return;
    q.exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    q.exec(QStringLiteral(
        "create table Devices (id integer primary key, name VARCHAR(75), type VARCHAR(10), "
        "connectionId integer, modbusId integer, monitorParamsIdx TEXT, archiveParamsIdx "
        "TEXT, pollingInterv integer DEFAULT 5,  FOREIGN KEY(connectionId) REFERENCES "
        "Connections(id) )"));
}

QByteArray DeviceManager::getDevCfg_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT * FROM Devices;")))
        return queryError(q);
    QString reply = QStringLiteral("{\"devices\":[") + JsonText::rowObjects(q);
    if (!q.exec(QStringLiteral("SELECT * FROM ConfiguredParameters;")))
        return queryError(q);
    reply += QStringLiteral("],\"parameters\":[") + JsonText::rowObjects(q) + QStringLiteral("]}");
    return reply.toUtf8();
}

QByteArray DeviceManager::addNewDevice_j(t_GetArray& GET)
{
    const QVariantList device = {RequestParams::text(GET, "name", QStringLiteral("new")),
                                 RequestParams::text(GET, "type"),
                                 int(RequestParams::toInt16(GET, "ModbusId", 1)),
                                 int(RequestParams::toInt16(GET, "ModbusReadFunction", 3)),
                                 RequestParams::text(GET, "connectionType"),
                                 RequestParams::toInt(GET, "idOfConnection"),
                                 QDateTime::currentMSecsSinceEpoch(),
                                 RequestParams::toInt(GET, "isActive"),
                                 RequestParams::toInt(GET, "decimal")};

    QSqlDatabase db = Database::connection();
    SqlTransaction transaction(db);
    if (!transaction.isActive())
        return Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());
    QSqlQuery q(db);
    if (!Database::exec(
            q,
            QStringLiteral(
                "INSERT INTO Devices (name,type,ModbusId,ModbusReadFunction,connectionType,"
                "idOfConnection,paramModTimestamp,isActive,decimal) "
                "VALUES(?,?,?,?,?,?,?,?,?)"),
            device))
        return queryError(q);
    const int idDevice = q.lastInsertId().toInt();

    const ScriptArray iterations(GET.value("readIterations"));
    if (!iterations.isArray())
        return Logs::errorJson(QStringLiteral("Query error"), QString());
    for (int i = 0; i < iterations.count(); ++i) {
        if (!Database::exec(
                q,
                QStringLiteral("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, "
                               "valSize, idDevice, ModbusReadFunction) VALUES (?,?,?,?,?,?,?)"),
                readIterationValues(iterations, i, idDevice)))
            return queryError(q);
    }

    const ScriptArray parameters(GET.value("parameters"));
    if (!parameters.isArray())
        return Logs::errorJson(QStringLiteral("Invalid parameters value"), QString());
    for (int i = 0; i < parameters.count(); ++i) {
        if (!Database::exec(
                q,
                QStringLiteral(
                    "INSERT INTO ConfiguredParameters (idDevice, userDescription, nameId, "
                    "regAddr, unit, archInterval, regType, regSize, valSize) "
                    "VALUES (?,?,?,?,?,?,?,?,?)"),
                parameterValues(parameters, i, idDevice)))
            return queryError(q);
    }
    if (!transaction.commit())
        return Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());
    return success;
}

QByteArray DeviceManager::removeDevice_j(t_GetArray& GET)
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("PRAGMA foreign_keys = ON;")))
        return queryError(q);
    if (!Database::exec(q, QStringLiteral("DELETE FROM Devices WHERE idDevices = ?"),
                        {RequestParams::toInt(GET, "id")}))
        return queryError(q);
    return success;
}
