#pragma once

#include <QList>
#include <QScriptEngine>
#include <QScriptValue>

// An array sent by the browser ("readIterations", "parameters", "cfg", ...). It is accepted
// only as JSON, so nothing in it runs; its elements' properties are then read with the script
// language's own conversions (numbers truncated to 32-bit integers, values turned into text).
class ScriptArray
{
public:
    // The request value: UTF-8 text up to its first NUL.
    explicit ScriptArray(const QByteArray& json);

    bool isArray() const { return m_isArray; }
    int count() const { return m_elements.size(); }

    // The element's property converted to a 32-bit integer; 0 when missing or not a number.
    int toInt32(int index, const char* property) const;
    // The element's property converted to a number before any cut to 32 bits (NaN when it is
    // not a number); 0 when missing.
    double toNumber(int index, const char* property) const;
    // The element's property converted to text; whenMissing when the element lacks it.
    QString toText(int index, const char* property, const QString& whenMissing = QString()) const;
    // The element itself converted to text (for arrays of plain values).
    QString elementText(int index) const;

private:
    QScriptValue fromJson(const class QJsonValue& value);

    QScriptEngine m_engine;
    QList<QScriptValue> m_elements;
    bool m_isArray = false;
};
