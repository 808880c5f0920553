#include "RequestParams.h"

#include <QRegularExpression>

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

bool RequestParams::isDecimal(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^\\s*[+-]?\\d+\\s*$"));
    return digits.match(text).hasMatch();
}

namespace {

// A value as the details text shows it: long values are cut, so a reply stays small.
QString shown(const QString& value)
{
    constexpr int maxShown = 40;
    return value.size() > maxShown ? value.left(maxShown) + QStringLiteral("...") : value;
}

} // namespace

QString RequestParams::outOfRange(const QString& field, const QString& value, qint64 min,
                                  qint64 max)
{
    return QStringLiteral("%1: %2 is not within %3 to %4")
        .arg(field, shown(value), QString::number(min), QString::number(max));
}

QString RequestParams::notAllowed(const QString& field, const QString& value,
                                  const QString& allowed)
{
    return QStringLiteral("%1: %2 is not %3").arg(field, shown(value), allowed);
}

QString RequestParams::rangeError(const t_GetArray& get, const char* key, int defaultValue, int min,
                                  int max, int* value, bool numberRequired)
{
    const QString field = QLatin1String(key);
    const auto it = get.constFind(QByteArray(key));
    qint64 number = defaultValue;
    QString text = QString::number(defaultValue);
    if (it != get.constEnd()) {
        text = QString::fromUtf8(it.value());
        bool ok = false;
        number = it.value().toLongLong(&ok, 10);
        if (!ok) {
            if (isDecimal(text))
                return outOfRange(field, text, min, max);
            if (numberRequired)
                return QStringLiteral("%1: %2 is not a number").arg(field, shown(text));
            number = 0;
        }
    }
    if (number < min || number > max)
        return outOfRange(field, text, min, max);
    if (value)
        *value = int(number);
    return QString();
}
