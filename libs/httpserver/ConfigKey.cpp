#include "ConfigKey.h"

#include <QHostAddress>
#include <QSettings>

#include <limits>

namespace {

QStringList entriesOf(const QVariant& value)
{
    QStringList entries;
    for (const QString& part : ConfigKey::textOf(value).split(QLatin1Char(','))) {
        const QString entry = part.trimmed();
        if (!entry.isEmpty())
            entries << entry;
    }
    return entries;
}

QString quotedList(const QStringList& entries)
{
    QStringList quoted;
    for (const QString& entry : entries)
        quoted << QLatin1Char('"') + entry + QLatin1Char('"');
    return quoted.join(QLatin1String(", "));
}

bool isAddress(const QString& text)
{
    return !QHostAddress(text).isNull();
}

} // namespace

QString ConfigKey::textOf(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1String(", "));
    return value.toString();
}

ConfigKey ConfigKey::integer(const QString& name, qint64 min, qint64 max, const QVariant& fallback)
{
    ConfigKey key;
    key.name = name;
    key.kind = Kind::Integer;
    key.min = min;
    key.max = max;
    key.absent = key.refused = fallback;
    return key;
}

ConfigKey ConfigKey::text(const QString& name, const QVariant& fallback)
{
    return ofKind(Kind::Text, name, fallback);
}

ConfigKey ConfigKey::ofKind(Kind kind, const QString& name, const QVariant& fallback)
{
    ConfigKey key;
    key.name = name;
    key.kind = kind;
    key.absent = key.refused = fallback;
    return key;
}

ConfigKey ConfigKey::choice(const QString& name, const QStringList& choices,
                            const QVariant& absent, const QString& whenRefused)
{
    ConfigKey key = ofKind(Kind::Choice, name, absent);
    key.choices = choices;
    key.whenRefused = whenRefused;
    return key;
}

ConfigKey ConfigKey::refusedGives(const QVariant& value, const QString& consequence) const
{
    ConfigKey key = *this;
    key.refused = value;
    key.whenRefused = consequence;
    return key;
}

bool ConfigKey::parseInteger(const QVariant& value, qint64* result)
{
    if (value.userType() == QMetaType::QStringList)
        return false;
    bool ok = false;
    const qint64 number = value.toString().trimmed().toLongLong(&ok, 10);
    if (ok && result)
        *result = number;
    return ok;
}

QStringList ConfigKey::wrongEntries(const QVariant& value) const
{
    QStringList wrong;
    for (const QString& entry : entriesOf(value)) {
        // Host names are compared with the Host header's name alone: a scheme, port or path
        // never matches. An address is always allowed, so it is no mistake either.
        const bool ok = kind == Kind::Addresses
                            ? isAddress(entry)
                            : isAddress(entry) || !(entry.contains(QLatin1Char('/')) ||
                                                    entry.contains(QLatin1Char(':')) ||
                                                    entry.contains(QLatin1Char(' ')));
        if (!ok)
            wrong << entry;
    }
    return wrong;
}

QString ConfigKey::problem(const QVariant& value) const
{
    const QString text = textOf(value);
    switch (kind) {
    case Kind::Integer: {
        qint64 number = 0;
        if (parseInteger(value, &number) && number >= min && number <= max)
            return QString();
        if (max == std::numeric_limits<qint64>::max())
            return QStringLiteral("is not a whole number of %1 or more").arg(min);
        return QStringLiteral("is not a whole number from %1 to %2").arg(min).arg(max);
    }
    case Kind::Text:
        return QString();
    case Kind::Token: {
        static const QString separators = QStringLiteral("()<>@,;:\\\"/[]?={}");
        bool ok = !text.isEmpty();
        for (const QChar c : text)
            ok = ok && c.unicode() > 0x20 && c.unicode() < 0x7f && !separators.contains(c);
        return ok ? QString()
                  : QStringLiteral("is empty or holds a blank, a character beyond ASCII or one "
                                   "of ( ) < > @ , ; : \\ \" / [ ] ? = { }");
    }
    case Kind::Host:
        if (text.isEmpty() || text.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
            isAddress(text))
            return QString();
        return QStringLiteral("is not an IPv4 or IPv6 address, nor localhost");
    case Kind::Addresses:
    case Kind::HostNames: {
        const QStringList wrong = wrongEntries(value);
        if (wrong.isEmpty())
            return QString();
        const QString what = kind == Kind::Addresses
                                 ? QStringLiteral("IPv4 or IPv6 address")
                                 : QStringLiteral("host name (give the name alone, without "
                                                  "http:// or a port)");
        if (entriesOf(value).size() == 1)
            return QStringLiteral("is no %1").arg(what);
        return QStringLiteral("holds %1, which %2 no %3")
            .arg(quotedList(wrong), wrong.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"),
                 what);
    }
    case Kind::Choice:
        if (text.isEmpty() || choices.contains(text))
            return QString();
        return QStringLiteral("is not one of %1").arg(choices.join(QLatin1String(", ")));
    }
    return QString();
}

QString ConfigKey::consequence() const
{
    if (!whenRefused.isEmpty())
        return whenRefused;
    if (kind == Kind::Addresses)
        return QStringLiteral("what is no address is left out");
    if (kind == Kind::HostNames)
        return QStringLiteral("what is no host name is left out");
    const QString value = textOf(refused);
    return value.isEmpty() ? QStringLiteral("an empty value is used instead")
                           : QStringLiteral("%1 is used instead").arg(value);
}

ConfigGroup::ConfigGroup(const QString& name, const QVector<ConfigKey>& keys)
    : m_name(name), m_keys(keys)
{
}

const ConfigKey* ConfigGroup::find(const QString& key) const
{
    for (const ConfigKey& k : m_keys)
        if (k.name == key)
            return &k;
    return nullptr;
}

ConfigGroup ConfigGroup::with(const QVector<ConfigKey>& more) const
{
    return ConfigGroup(m_name, m_keys + more);
}

QVariant ConfigGroup::value(const QSettings* settings, const QString& key) const
{
    const ConfigKey* k = find(key);
    Q_ASSERT_X(k, "ConfigGroup::value", "a key the group does not list");
    if (!k)
        return QVariant();
    if (!settings || !settings->contains(key))
        return k->absent;
    const QVariant given = settings->value(key);
    // A list keeps its good entries.
    if (k->kind == ConfigKey::Kind::Addresses || k->kind == ConfigKey::Kind::HostNames) {
        QStringList entries = entriesOf(given);
        for (const QString& wrong : k->wrongEntries(given))
            entries.removeAll(wrong);
        return entries;
    }
    if (k->kind == ConfigKey::Kind::Choice)
        return ConfigKey::textOf(given);
    if (!k->problem(given).isEmpty())
        return k->refused;
    if (k->kind == ConfigKey::Kind::Integer) {
        qint64 number = 0;
        ConfigKey::parseInteger(given, &number);
        return number;
    }
    return ConfigKey::textOf(given);
}

qint64 ConfigGroup::integer(const QSettings* settings, const QString& key) const
{
    return value(settings, key).toLongLong();
}

QString ConfigGroup::text(const QSettings* settings, const QString& key) const
{
    return value(settings, key).toString();
}
