#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The request's parameters: name to raw value, both as sent.
using t_GetArray = QMap<QByteArray, QByteArray>;

// Reading request values: a default applies only when the key is absent (a key present with an
// empty value stays empty); texts are UTF-8 up to the first NUL; numbers are decimal integers,
// 0 when missing, empty or not a number.
class RequestParams
{
public:
    static QString text(const t_GetArray& get, const char* key,
                        const QString& defaultValue = QString());
    static int toInt(const t_GetArray& get, const char* key, int defaultValue = 0);
    static qint16 toInt16(const t_GetArray& get, const char* key, int defaultValue = 0);

    // Whether the text is a decimal integer of 32 bits (so that nothing else reaches SQL text).
    static bool isInteger(const QString& text, int* value = nullptr);
};
