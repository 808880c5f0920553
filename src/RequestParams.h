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
    // Whether the text is a decimal integer of any length (sign and surrounding blanks allowed).
    static bool isDecimal(const QString& text);

    // The key read as a decimal integer (defaultValue when absent) must lie within [min, max];
    // a value that is not a number reads as 0 unless numberRequired. Returns the details text
    // of a refusal, naming the key and the value as sent, or an empty text (and *value set)
    // when the value can be used. A number too long for any integer type is out of range, never
    // cut to fit.
    static QString rangeError(const t_GetArray& get, const char* key, int defaultValue, int min,
                              int max, int* value = nullptr, bool numberRequired = false);
    // The details text of a value outside [min, max]: "<field>: <value> is not within ...".
    static QString outOfRange(const QString& field, const QString& value, qint64 min, qint64 max);
    // The details text of a value that is none of the allowed ones.
    static QString notAllowed(const QString& field, const QString& value, const QString& allowed);
};
