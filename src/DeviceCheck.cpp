#include "DeviceCheck.h"

#include "ConnectionManager.h"
#include "Logs.h"
#include "ScriptArray.h"
#include "connections/ModbusLine.h"

#include <cmath>
#include <limits>

QString DeviceCheck::numberError(const ScriptArray& a, const char* arrayName, const char* key,
                                 qint64 min, qint64 max)
{
    // Checked before the cut to 32 bits, which would turn 4294967297 into 1.
    for (int i = 0; i < a.count(); ++i) {
        const double n = a.toNumber(i, key);
        const double value = std::isnan(n) ? 0.0 : std::trunc(n); // not a number: read as 0
        if (value < double(min) || value > double(max))
            return RequestParams::outOfRange(QStringLiteral("%1[%2].%3")
                                                 .arg(QLatin1String(arrayName))
                                                 .arg(i)
                                                 .arg(QLatin1String(key)),
                                             a.toText(i, key), min, max);
    }
    return QString();
}

QString DeviceCheck::unitIdError(const t_GetArray& get, const QString& connectionType)
{
    int id = 0;
    // 0 is a unit id, so a value that is no number must not be read as 0.
    const QString error =
        RequestParams::rangeError(get, "ModbusId", 1, std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max(), &id, true);
    const QString sent = RequestParams::text(get, "ModbusId", QStringLiteral("1"));
    if (!error.isEmpty() && !RequestParams::isDecimal(sent))
        return error;
    // A number beyond int is no unit id either: its refusal says what the line can address.
    const bool fits = error.isEmpty();
    // libmodbus refuses the other ids before anything is sent, so they would fail every read.
    if (connectionType == QLatin1String("tcp")) {
        if (fits && ((id >= 0 && id <= 247) || id == 255))
            return QString();
        return RequestParams::notAllowed(QStringLiteral("ModbusId"), sent,
                                         QStringLiteral("a unit id a TCP line can address "
                                                        "(0 to 247, or 255)"));
    }
    if (connectionType == QLatin1String("serial")) {
        if (fits && id >= 1 && id <= 247)
            return QString();
        return RequestParams::notAllowed(
            QStringLiteral("ModbusId"), sent,
            QStringLiteral("a slave address a serial line can read (1 to 247; 0 is the "
                           "broadcast address, which no slave answers)"));
    }
    return fits && id >= 0 && id <= 255
               ? QString()
               : RequestParams::outOfRange(QStringLiteral("ModbusId"), sent, 0, 255);
}

QByteArray DeviceCheck::refusal(const t_GetArray& get, const ScriptArray& iterations,
                                const ScriptArray* parameters)
{
    const QString type = RequestParams::text(get, "connectionType");
    const bool unassigned = type.isEmpty();
    QString details;
    if (!unassigned && type != QLatin1String("serial") && type != QLatin1String("tcp"))
        details = RequestParams::notAllowed(QStringLiteral("connectionType"), type,
                                            QStringLiteral("serial, tcp or empty"));
    int idOfConnection = 0;
    if (details.isEmpty())
        details =
            RequestParams::rangeError(get, "idOfConnection", 0, std::numeric_limits<int>::min(),
                                      std::numeric_limits<int>::max(), &idOfConnection);
    if (details.isEmpty() && unassigned && idOfConnection != 0)
        details = QStringLiteral("idOfConnection: %1 is not 0, though connectionType is empty")
                      .arg(RequestParams::text(get, "idOfConnection", QStringLiteral("0")));
    if (details.isEmpty())
        details = unitIdError(get, type);
    if (details.isEmpty())
        details = numberError(iterations, "readIterations", "regAddr", 0, 65535);
    // More values than one request can carry would only ever fail. (An absent count reads 0
    // and fails each cycle as before.)
    if (details.isEmpty())
        details = numberError(iterations, "readIterations", "valuesCnt", 0, ModbusLine::MaxValues);
    if (details.isEmpty() && parameters)
        details = numberError(*parameters, "parameters", "regAddr", 0, 65535);
    if (details.isEmpty()) {
        if (unassigned)
            return QByteArray();
        QString error;
        if (ConnectionManager::connectionExists(type, idOfConnection, &error))
            return QByteArray();
        if (!error.isEmpty())
            return Logs::errorJson(QStringLiteral("Query error"), error);
        details = QStringLiteral("idOfConnection: %1 is no %2 connection")
                      .arg(RequestParams::text(get, "idOfConnection", QStringLiteral("0")), type);
    }
    return Logs::errorJson(QStringLiteral("Query error"), details);
}
