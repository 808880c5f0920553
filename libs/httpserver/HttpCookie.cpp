#include "HttpCookie.h"

#include <QString>

#include <cstring>

namespace {

bool isCookieOctet(unsigned char c)
{
    return c == 0x21 || (c >= 0x23 && c <= 0x2B) || (c >= 0x2D && c <= 0x3A) ||
           (c >= 0x3C && c <= 0x5B) || (c >= 0x5D && c <= 0x7E);
}

// A token (RFC 7230), which a cookie name is.
bool isTokenOctet(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// Attribute values (path, domain, comment) may hold anything printable but ';'.
bool isAttributeOctet(unsigned char c)
{
    return c >= 0x20 && c < 0x7F && c != ';';
}

// Bytes of a cookie value when the whole value must be encoded: '%' too, so that it decodes.
bool isEncodedValueOctet(unsigned char c)
{
    return isCookieOctet(c) && c != '%';
}

// Whether browsers take the value byte for byte: they end it at ';', trim blanks at its ends
// and read it as UTF-8; quotes and backslashes are read differently by different parsers.
bool isCarriedAsIs(const QByteArray& value)
{
    if (value.startsWith(' ') || value.endsWith(' '))
        return false;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == ';' || c == '"' || c == '\\')
            return false;
    }
    return QString::fromUtf8(value).toUtf8() == value;
}

QByteArray encode(const QByteArray& in, bool (*allowed)(unsigned char))
{
    QByteArray out;
    out.reserve(in.size());
    static const char hex[] = "0123456789ABCDEF";
    for (const char ch : in) {
        const auto c = static_cast<unsigned char>(ch);
        if (allowed(c)) {
            out.append(ch);
        } else {
            out.append('%');
            out.append(hex[c >> 4]);
            out.append(hex[c & 0x0F]);
        }
    }
    return out;
}

} // namespace

HttpCookie::HttpCookie(const QByteArray& name, const QByteArray& value, int maxAge,
                       const QByteArray& path, const QByteArray& comment, const QByteArray& domain,
                       bool secure)
    : m_name(name), m_value(value), m_maxAge(maxAge), m_path(path), m_comment(comment),
      m_domain(domain), m_secure(secure)
{
}

QByteArray HttpCookie::toByteArray() const
{
    QByteArray out = encode(m_name, isTokenOctet);
    out += '=';
    out += isCarriedAsIs(m_value) ? m_value : encode(m_value, isEncodedValueOctet);
    if (m_maxAge > 0)
        out += "; Max-Age=" + QByteArray::number(m_maxAge);
    if (!m_path.isEmpty())
        out += "; Path=" + encode(m_path, isAttributeOctet);
    if (!m_domain.isEmpty())
        out += "; Domain=" + encode(m_domain, isAttributeOctet);
    if (!m_comment.isEmpty())
        out += "; Comment=" + encode(m_comment, isAttributeOctet);
    if (m_secure)
        out += "; Secure";
    if (m_httpOnly)
        out += "; HttpOnly";
    if (!m_sameSite.isEmpty())
        out += "; SameSite=" + encode(m_sameSite, isCookieOctet);
    return out;
}

bool HttpCookie::isValidName(const QByteArray& name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        if (!isTokenOctet(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

QMap<QByteArray, QByteArray> HttpCookie::parseCookieHeader(const QByteArray& header)
{
    QMap<QByteArray, QByteArray> cookies;
    for (const QByteArray& pair : header.split(';')) {
        const int eq = pair.indexOf('=');
        const QByteArray name = (eq < 0 ? pair : pair.left(eq)).trimmed();
        if (name.isEmpty())
            continue;
        QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        if (!cookies.contains(name))
            cookies.insert(name, value);
    }
    return cookies;
}
