#include "ScriptArray.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

ScriptArray::ScriptArray(const QByteArray& json)
{
    const int nul = json.indexOf('\0');
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(nul < 0 ? json : json.left(nul), &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return;
    m_isArray = true;
    const QJsonArray array = doc.array();
    for (const QJsonValue& element : array)
        m_elements.append(fromJson(element));
}

QScriptValue ScriptArray::fromJson(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return QScriptValue(value.toBool());
    case QJsonValue::Double:
        return QScriptValue(value.toDouble());
    case QJsonValue::String:
        return QScriptValue(value.toString());
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        QScriptValue out = m_engine.newArray(uint(array.size()));
        for (int i = 0; i < array.size(); ++i)
            out.setProperty(quint32(i), fromJson(array.at(i)));
        return out;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        QScriptValue out = m_engine.newObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            out.setProperty(it.key(), fromJson(it.value()));
        return out;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return m_engine.nullValue();
}

int ScriptArray::toInt32(int index, const char* property) const
{
    return m_elements.at(index).property(QLatin1String(property)).toInt32();
}

double ScriptArray::toNumber(int index, const char* property) const
{
    const QScriptValue value = m_elements.at(index).property(QLatin1String(property));
    return value.isValid() ? value.toNumber() : 0.0;
}

QString ScriptArray::toText(int index, const char* property, const QString& whenMissing) const
{
    const QScriptValue value = m_elements.at(index).property(QLatin1String(property));
    const QString text = value.isValid() ? value.toString() : whenMissing;
    // Never null: a null text would be bound as NULL instead of the empty text.
    return text.isNull() ? QLatin1String("") : text;
}

QString ScriptArray::elementText(int index) const
{
    return m_elements.at(index).toString();
}
