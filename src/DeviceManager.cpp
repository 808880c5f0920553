#include "DeviceManager.h"

#include "Database.h"
#include "DeviceCheck.h"
#include "JsonText.h"
#include "Logs.h"
#include "ScriptArray.h"
#include "SqlTransaction.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

#include <limits>

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

// A widget layout goes back to the browser unquoted, so it must be one JSON value.
bool isJsonValue(const QString& text)
{
    QJsonParseError error;
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &error);
    return error.error == QJsonParseError::NoError && doc.array().size() == 1;
}

QByteArray invalidLayout()
{
    return Logs::errorJson(QStringLiteral("Query error"),
                           QStringLiteral("The widget layout is not a JSON value"));
}

QByteArray invalidId()
{
    return Logs::errorJson(QStringLiteral("Query error"),
                           QStringLiteral("The id is not a decimal integer"));
}

constexpr int minInt = std::numeric_limits<int>::min();
constexpr int maxInt = std::numeric_limits<int>::max();

QByteArray refusal(const QString& details)
{
    return Logs::errorJson(QStringLiteral("Query error"), details);
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
    const ScriptArray iterations(GET.value("readIterations"));
    const ScriptArray parameters(GET.value("parameters"));
    const QByteArray refused = DeviceCheck::refusal(GET, iterations, &parameters);
    if (!refused.isEmpty())
        return refused;

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
    int id = 0;
    const QString refused = RequestParams::rangeError(GET, "id", 0, minInt, maxInt, &id);
    if (!refused.isEmpty())
        return refusal(refused);
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("PRAGMA foreign_keys = ON;")))
        return queryError(q);
    if (!Database::exec(q, QStringLiteral("DELETE FROM Devices WHERE idDevices = ?"), {id}))
        return queryError(q);
    return success;
}

QByteArray DeviceManager::editDevice_j(t_GetArray& GET)
{
    int id = 0;
    const QString badId = RequestParams::rangeError(GET, "id", 0, minInt, maxInt, &id);
    if (!badId.isEmpty())
        return refusal(badId);
    const bool parametersChanged = RequestParams::toInt(GET, "parametersChanged") != 0;
    const ScriptArray iterations(GET.value("readIterations"));
    const ScriptArray parameters(parametersChanged ? GET.value("parameters") : QByteArray());
    const QByteArray refused =
        DeviceCheck::refusal(GET, iterations, parametersChanged ? &parameters : nullptr);
    if (!refused.isEmpty())
        return refused;
    QVariantList device = {RequestParams::text(GET, "name", QStringLiteral("new")),
                           RequestParams::text(GET, "type"),
                           int(RequestParams::toInt16(GET, "ModbusId", 1)),
                           int(RequestParams::toInt16(GET, "ModbusReadFunction", 3)),
                           RequestParams::text(GET, "connectionType"),
                           RequestParams::toInt(GET, "idOfConnection")};
    if (parametersChanged)
        device << QDateTime::currentMSecsSinceEpoch();
    device << RequestParams::toInt(GET, "isActive") << RequestParams::toInt(GET, "decimal") << id;

    QSqlDatabase db = Database::connection();
    QHash<int, int> parametrsRegAddr2Id;
    QHash<int, bool> updatedParametrsId;
    {
        SqlTransaction transaction(db);
        if (!transaction.isActive())
            return Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());
        QSqlQuery q(db);
        const QString update =
            parametersChanged
                ? QStringLiteral(
                      "UPDATE Devices SET "
                      "name=?,type=?,ModbusId=?,ModbusReadFunction=?,connectionType=?,"
                      "idOfConnection=?,paramModTimestamp=?,isActive=?,decimal=? WHERE idDevices=?")
                : QStringLiteral("UPDATE Devices SET "
                                 "name=?,type=?,ModbusId=?,ModbusReadFunction=?,connectionType=?,"
                                 "idOfConnection=?,isActive=?,decimal=? WHERE idDevices=?");
        if (!Database::exec(q, update, device) ||
            !Database::exec(q, QStringLiteral("DELETE FROM ReadIterations WHERE idDevice = ?"),
                            {id}))
            return queryError(q);

        if (!iterations.isArray())
            return Logs::errorJson(QStringLiteral("Invalid read iterations"), QString());
        for (int i = 0; i < iterations.count(); ++i) {
            if (!Database::exec(
                    q,
                    QStringLiteral(
                        "INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, "
                        "valSize, idDevice, ModbusReadFunction) VALUES (?,?,?,?,?,?,?)"),
                    readIterationValues(iterations, i, id)))
                return queryError(q);
        }
        if (!parametersChanged)
            return transaction.commit()
                       ? QByteArray(success)
                       : Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());

        if (!Database::exec(
                q,
                QStringLiteral(
                    "SELECT idParameters, regAddr FROM ConfiguredParameters WHERE idDevice = ?"),
                {id}))
            return queryError(q);
        while (q.next()) {
            const int idParameters = q.value(0).toInt();
            updatedParametrsId[idParameters] = false;
            parametrsRegAddr2Id[q.value(1).toInt()] = idParameters;
        }
        qDebug() << "updatedParametrsId: " << updatedParametrsId;
        qDebug() << "parametrsRegAddr2Id: " << parametrsRegAddr2Id;

        if (!parameters.isArray())
            return Logs::errorJson(QStringLiteral("Query error"), QString());
        for (int i = 0; i < parameters.count(); ++i) {
            QVariantList values = parameterValues(parameters, i, id);
            const int regAddr = parameters.toInt32(i, "regAddr");
            bool ok;
            if (parametrsRegAddr2Id.contains(regAddr)) {
                const int key = parametrsRegAddr2Id.value(regAddr);
                values.removeFirst();
                values << key;
                ok = Database::exec(
                    q,
                    QStringLiteral(
                        "UPDATE ConfiguredParameters SET userDescription = ?, nameId = ?, "
                        "regAddr = ?, unit = ?, archInterval = ?,regType = ?,regSize = ?,"
                        "valSize = ? WHERE idParameters = ?"),
                    values);
                updatedParametrsId[key] = true;
            } else {
                ok = Database::exec(
                    q,
                    QStringLiteral(
                        "INSERT INTO ConfiguredParameters (idDevice, userDescription, nameId, "
                        "regAddr, unit, archInterval,regType,regSize,valSize) "
                        "VALUES (?,?,?,?,?,?,?,?,?)"),
                    values);
            }
            if (!ok)
                return Logs::errorJson(QStringLiteral("Invalid read iterations"), QString());
        }
        if (!transaction.commit())
            return Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());
    }

    // Dropped parameters go in a transaction of their own, with their archive (cascade).
    QSqlQuery(db).exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    SqlTransaction transaction(db);
    if (!transaction.isActive())
        return Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());
    QSqlQuery q(db);
    for (auto it = updatedParametrsId.cbegin(); it != updatedParametrsId.cend(); ++it) {
        if (it.value())
            continue;
        qDebug() << "Deleting parameter id: " << it.key();
        if (!Database::exec(
                q, QStringLiteral("DELETE FROM ConfiguredParameters WHERE idParameters = ?"),
                {it.key()}))
            return queryError(q);
    }
    if (!transaction.commit())
        return Logs::errorJson(QStringLiteral("Query error"), transaction.errorText());
    return success;
}

QByteArray DeviceManager::getViewsCfg_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT * FROM Views;")))
        return queryError(q);
    auto number = [](const QVariant& v) {
        bool ok = false;
        const qlonglong n = v.toLongLong(&ok);
        return ok && !v.isNull() ? QString::number(n) : QStringLiteral("null");
    };
    QStringList rows;
    while (q.next()) {
        // A layout stored by other means than this program may be no JSON value: it is then
        // sent as a text, so that the other views stay readable.
        const QString layout = q.value(4).toString();
        rows << QStringLiteral("{\"id\":") + number(q.value(0)) + QStringLiteral(",\"name\":\"") +
                    JsonText::escape(q.value(1).toString()) + QStringLiteral("\",\"width\":") +
                    number(q.value(2)) + QStringLiteral(",\"height\":") + number(q.value(3)) +
                    QStringLiteral(",\"widgetsCfg\":") +
                    (isJsonValue(layout)
                         ? layout
                         : QLatin1Char('"') + JsonText::escape(layout) + QLatin1Char('"')) +
                    QLatin1Char('}');
    }
    return (QLatin1Char('[') + rows.join(QLatin1Char(',')) + QLatin1Char(']')).toUtf8();
}

bool DeviceManager::countViews(const QString& name, int* count, QByteArray* error)
{
    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("SELECT COUNT(*) FROM views WHERE name = ?"), {name}) ||
        !q.next()) {
        *error = queryError(q);
        return false;
    }
    *count = q.value(0).toInt();
    return true;
}

QByteArray DeviceManager::addNewView_j(t_GetArray& GET)
{
    const QString name = RequestParams::text(GET, "name", QStringLiteral("new"));
    const QString widgets = RequestParams::text(GET, "widgets");
    int count = 0;
    QByteArray error;
    if (!countViews(name, &count, &error))
        return error;
    if (count >= 1)
        return Logs::errorJson(QStringLiteral("View name not unique"), QString());
    if (!isJsonValue(widgets))
        return invalidLayout();
    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("INSERT INTO Views VALUES(NULL, ?,?,?,?)"),
                        {name, RequestParams::toInt(GET, "width"),
                         RequestParams::toInt(GET, "height"), widgets}))
        return queryError(q);
    return "{\"success\":true,\"newViewId\": " + QByteArray::number(q.lastInsertId().toLongLong()) +
           "}";
}

QByteArray DeviceManager::editView_j(t_GetArray& GET)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return invalidId();
    const QString widgets = RequestParams::text(GET, "widgets");
    if (!isJsonValue(widgets))
        return invalidLayout();
    QSqlQuery q(Database::connection());
    if (!Database::exec(
            q,
            QStringLiteral(
                "UPDATE Views SET name=?, width=?, height=?, widgetsCfg=? WHERE idViews=?"),
            {RequestParams::text(GET, "name"), RequestParams::toInt(GET, "width"),
             RequestParams::toInt(GET, "height"), widgets, id}))
        return queryError(q);
    return success;
}

QByteArray DeviceManager::removeView_j(t_GetArray& GET)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return invalidId();
    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("DELETE FROM Views WHERE idViews = ?"), {id}))
        return queryError(q);
    return success;
}

QByteArray DeviceManager::viewNameExists_j(t_GetArray& GET)
{
    int count = 0;
    QByteArray error;
    if (!countViews(RequestParams::text(GET, "name"), &count, &error))
        return error;
    return count >= 1 ? QByteArrayLiteral("{\"exists\":true}")
                      : QByteArrayLiteral("{\"exists\":false}");
}
