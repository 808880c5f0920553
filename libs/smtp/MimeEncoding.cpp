#include "MimeEncoding.h"

namespace MimeEncoding {
namespace {

constexpr int MaxLine = 76;
// "=?UTF-8?B?" and "?="
constexpr int WordOverhead = 12;
// Raw header texts are kept below the hard limit of 998 characters per line.
constexpr int MaxRawHeader = 900;

bool isPrintableAscii(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

// Encoded words of at most MaxLine characters per line, split between code points so that
// every word decodes on its own.
QByteArray encodedWords(const QString& text, int used)
{
    QByteArray out;
    QByteArray chunk;
    int lineUsed = used;
    auto bytesThatFit = [&lineUsed] {
        return qMax(0, (MaxLine - lineUsed - WordOverhead) / 4) * 3;
    };
    auto flush = [&] {
        const QByteArray b64 = chunk.toBase64();
        out += "=?UTF-8?B?" + b64 + "?=";
        lineUsed += WordOverhead + b64.size();
        chunk.clear();
    };
    for (int i = 0; i < text.size(); ++i) {
        int n = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            n = 2;
        const QByteArray utf8 = text.mid(i, n).toUtf8();
        i += n - 1;
        if (chunk.size() + utf8.size() > bytesThatFit()) {
            if (!chunk.isEmpty())
                flush();
            out += "\r\n ";
            lineUsed = 1;
        }
        chunk += utf8;
    }
    if (!chunk.isEmpty())
        flush();
    return out;
}

} // namespace

QByteArray canonicalLineEnds(const QByteArray& text)
{
    QByteArray out = text;
    out.replace("\r\n", "\n");
    out.replace('\r', '\n');
    out.replace("\n", "\r\n");
    return out;
}

QByteArray base64Lines(const QByteArray& data)
{
    const QByteArray b64 = data.toBase64();
    QByteArray out;
    out.reserve(b64.size() + b64.size() / MaxLine * 2 + 2);
    for (int i = 0; i < b64.size(); i += MaxLine)
        out += b64.mid(i, MaxLine) + "\r\n";
    return out;
}

QByteArray headerText(const QString& text, int used)
{
    // "=?" could be read as the start of an encoded word: such a text is encoded as well.
    if (isPrintableAscii(text) && !text.contains(QLatin1String("=?")) &&
        used + text.size() <= MaxRawHeader)
        return text.toLatin1();
    return encodedWords(text, used);
}

QByteArray mailbox(const QString& address, const QString& name, int used)
{
    const QByteArray angle = '<' + address.toUtf8() + '>';
    if (name.isEmpty())
        return angle;
    if (isPrintableAscii(name) && name.size() <= MaxRawHeader) {
        QByteArray quoted = name.toLatin1();
        quoted.replace('\\', "\\\\");
        quoted.replace('"', "\\\"");
        return '"' + quoted + "\" " + angle;
    }
    return encodedWords(name, used) + ' ' + angle;
}

QByteArray dotStuffed(const QByteArray& message)
{
    QByteArray out = message;
    out.replace("\r\n.", "\r\n..");
    if (out.startsWith('.'))
        out.prepend('.');
    if (!out.endsWith("\r\n"))
        out += "\r\n";
    return out;
}

} // namespace MimeEncoding
