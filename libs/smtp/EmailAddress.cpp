#include "EmailAddress.h"

EmailAddress::EmailAddress(const QString& address, const QString& name, QObject* parent)
    : QObject(parent), m_address(address), m_name(name)
{
}

bool EmailAddress::isValidAddress(const QString& address)
{
    // RFC 5321 limits a path to 256 octets, brackets included.
    if (address.isEmpty() || address.size() > 254)
        return false;
    for (const QChar c : address) {
        const ushort u = c.unicode();
        if (u <= 0x20 || u >= 0x7F)
            return false;
        switch (u) {
        case '<':
        case '>':
        case '(':
        case ')':
        case ',':
        case ';':
        case ':':
        case '"':
        case '\\':
            return false;
        default:
            break;
        }
    }
    const int at = address.lastIndexOf(QLatin1Char('@'));
    return at > 0 && at < address.size() - 1;
}
