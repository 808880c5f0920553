#include "HttpUrlEncodedParser.h"

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

QByteArray HttpUrlEncodedParser::percentDecode(const QByteArray& data, bool plusAsSpace)
{
    QByteArray out;
    out.reserve(data.size());
    const int n = data.size();
    for (int i = 0; i < n; ++i) {
        const char c = data.at(i);
        if (c == '%' && i + 2 < n) {
            const int hi = hexValue(data.at(i + 1));
            const int lo = hexValue(data.at(i + 2));
            if (hi >= 0 && lo >= 0) {
                out.append(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.append(plusAsSpace && c == '+' ? ' ' : c);
    }
    return out;
}

void HttpUrlEncodedParser::parse(const QByteArray& data, QMultiMap<QByteArray, QByteArray>& params)
{
    int start = 0;
    const int n = data.size();
    while (start <= n) {
        int end = data.indexOf('&', start);
        if (end < 0)
            end = n;
        if (end > start) {
            const QByteArray piece = data.mid(start, end - start);
            const int eq = piece.indexOf('=');
            const QByteArray key = percentDecode(eq < 0 ? piece : piece.left(eq), true);
            const QByteArray value = eq < 0 ? QByteArray() : percentDecode(piece.mid(eq + 1), true);
            // insert() puts a repeated key in front, so value() gives the last occurrence.
            if (!key.isEmpty())
                params.insert(key, value);
        }
        start = end + 1;
    }
}

void HttpUrlEncodedParser::PairCounter::feed(const char* data, qint64 size)
{
    for (qint64 i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '&') {
            m_inPiece = false;
        } else if (!m_inPiece) {
            m_inPiece = true;
            // A piece that begins with '=' has an empty key, which parse() skips.
            if (c != '=')
                ++m_count;
        }
    }
}

qint64 HttpUrlEncodedParser::countPairs(const QByteArray& data)
{
    PairCounter counter;
    counter.feed(data.constData(), data.size());
    return counter.count();
}
