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

    // Counts the pairs parse() would add, over data fed in pieces of any size, without
    // decoding or keeping anything: a request can be refused for its number of parameters
    // before they cost memory.
    class PairCounter
    {
    public:
        void feed(const char* data, qint64 size);
        qint64 count() const { return m_count; }

    private:
        bool m_inPiece = false;
        qint64 m_count = 0;
    };
    static qint64 countPairs(const QByteArray& data);
};
