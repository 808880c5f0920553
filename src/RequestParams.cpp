#include "RequestParams.h"

QString RequestParams::text(const t_GetArray& get, const char* key, const QString& defaultValue)
{
    const auto it = get.constFind(QByteArray(key));
    const QString value = it == get.constEnd() ? defaultValue : QString::fromUtf8(it.value());
    // Never null: a null text would be bound as NULL instead of the empty text.
    return value.isNull() ? QLatin1String("") : value;
}

int RequestParams::toInt(const t_GetArray& get, const char* key, int defaultValue)
{
    const auto it = get.constFind(QByteArray(key));
    if (it == get.constEnd())
        return defaultValue;
    return it.value().toInt(nullptr, 10);
}

qint16 RequestParams::toInt16(const t_GetArray& get, const char* key, int defaultValue)
{
    return static_cast<qint16>(toInt(get, key, defaultValue));
}

bool RequestParams::isInteger(const QString& text, int* value)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (ok && value)
        *value = v;
    return ok;
}
