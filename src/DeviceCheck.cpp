#include "DeviceCheck.h"

#include "ConnectionManager.h"
#include "connections/ModbusLine.h"
#include "Logs.h"
#include "ScriptArray.h"

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
            return RequestParams::outOfRange(
                QStringLiteral("%1[%2].%3").arg(QLatin1String(arrayName)).arg(i).arg(QLatin1String(key)),
                a.toText(i, key), min, max);
    }
    return QString();
}

QByteArray DeviceCheck::refusal(const t_GetArray& get, const ScriptArray& iterations,
                                const ScriptArray* parameters)
{
    QString details = RequestParams::rangeError(get, "ModbusId", 1, 1, 255);
    const QString type = RequestParams::text(get, "connectionType");
    if (details.isEmpty() && type != QLatin1String("serial") && type != QLatin1String("tcp"))
        details = RequestParams::notAllowed(QStringLiteral("connectionType"), type,
                                            QStringLiteral("serial or tcp"));
    int idOfConnection = 0;
    if (details.isEmpty())
        details =
            RequestParams::rangeError(get, "idOfConnection", 0, std::numeric_limits<int>::min(),
                                      std::numeric_limits<int>::max(), &idOfConnection);
    if (details.isEmpty())
        details = numberError(iterations, "readIterations", "regAddr", 0, 65535);
    // More values than one request can carry would only ever fail. (An absent count reads 0
    // and fails each cycle as before.)
    if (details.isEmpty())
        details = numberError(iterations, "readIterations", "valuesCnt", 0, ModbusLine::MaxValues);
    if (details.isEmpty() && parameters)
        details = numberError(*parameters, "parameters", "regAddr", 0, 65535);
    if (details.isEmpty()) {
        QString error;
        if (ConnectionManager::connectionExists(type, idOfConnection, &error))
            return QByteArray();
        if (!error.isEmpty())
            return Logs::errorJson(QStringLiteral("Query error"), error);
        details = QStringLiteral("idOfConnection: %1 is no %2 connection")
                      .arg(RequestParams::text(get, "idOfConnection"), type);
    }
    return Logs::errorJson(QStringLiteral("Query error"), details);
}
