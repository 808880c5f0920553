#include "DeviceCheck.h"

#include "ConnectionManager.h"
#include "Logs.h"
#include "ScriptArray.h"

#include <cmath>
#include <limits>

QString DeviceCheck::registerError(const ScriptArray& a, const char* arrayName)
{
    // Checked before the cut to 32 bits, which would turn 4294967297 into 1.
    for (int i = 0; i < a.count(); ++i) {
        const double n = a.toNumber(i, "regAddr");
        if (std::isnan(n))
            continue; // not a number: read as 0
        const double address = std::trunc(n);
        if (address < 0 || address > 65535)
            return RequestParams::outOfRange(
                QStringLiteral("%1[%2].regAddr").arg(QLatin1String(arrayName)).arg(i),
                a.toText(i, "regAddr"), 0, 65535);
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
        details = registerError(iterations, "readIterations");
    if (details.isEmpty() && parameters)
        details = registerError(*parameters, "parameters");
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
