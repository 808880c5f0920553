#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QMultiMap>

// Decoding of application/x-www-form-urlencoded data: query strings and form bodies.
class HTTPSERVER_EXPORT HttpUrlEncodedParser
{
public:
    // Adds the pairs of "a=1&b=x+y&c" to params in their order of appearance ('+' is a
    // space, %XX is decoded, a key without '=' gets an empty value, empty pieces are
    // skipped). Malformed escapes stay as they are.
    static void parse(const QByteArray& data, QMultiMap<QByteArray, QByteArray>& params);

    // %XX decoding; with plusAsSpace also '+' to ' ' (forms, not paths).
    static QByteArray percentDecode(const QByteArray& data, bool plusAsSpace);
};
