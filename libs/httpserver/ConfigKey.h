#pragma once

#include "HttpServerGlobal.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QSettings;

// One key of a config.ini group: the values it takes, and what a reader uses instead when the
// key is absent or its value is not one it takes. Readers and the start-up check read through
// the same entry, so that what the check reports is exactly what the reader refuses.
struct HTTPSERVER_EXPORT ConfigKey
{
    enum class Kind
    {
        Integer,   // a decimal whole number from min to max
        Text,      // any text
        Token,     // a non-empty text without blanks or the separators of a cookie header
        Host,      // empty (every address), "localhost", or an IPv4 or IPv6 address
        Addresses, // IPv4 or IPv6 addresses separated by commas; others are left out
        HostNames, // host names separated by commas, without scheme, port or path
        Choice,    // empty or one of choices; another value still goes to the reader as
                   // written, which knows what it gives (whenRefused)
    };

    QString name;
    Kind kind = Kind::Text;
    qint64 min = 0;
    qint64 max = 0;
    QStringList choices;
    QVariant absent;  // used when the key is not in the file
    QVariant refused; // used when its value is not one the key takes; invalid (QVariant()):
                      // the reader goes without what the key is for
    QString whenRefused; // what then happens, for the message ("no web server is started")

    static ConfigKey integer(const QString& name, qint64 min, qint64 max, const QVariant& fallback);
    static ConfigKey text(const QString& name, const QVariant& fallback = QString());
    static ConfigKey ofKind(Kind kind, const QString& name, const QVariant& fallback = QString());
    static ConfigKey choice(const QString& name, const QStringList& choices, const QVariant& absent,
                            const QString& whenRefused);
    // The same key with another outcome for a refused value.
    ConfigKey refusedGives(const QVariant& value, const QString& consequence) const;

    // Why value (as QSettings reads it: a text, or a list where the file has commas) is not
    // one this key takes; empty when it is.
    QString problem(const QVariant& value) const;
    // The entries of a list value that the key does not take.
    QStringList wrongEntries(const QVariant& value) const;
    // What a refused value leads to, for the message: whenRefused, or the value used instead.
    QString consequence() const;

    // A value as text. QSettings splits a value at its commas (unless it is quoted) and gives a
    // list, which is joined here with ", ": "www,old" reads as "www, old".
    static QString textOf(const QVariant& value);
    // Decimal text, as the check and the readers parse it: blanks around it are allowed.
    static bool parseInteger(const QVariant& value, qint64* result);
};

// The keys of one group, read from a QSettings positioned on that group.
class HTTPSERVER_EXPORT ConfigGroup
{
public:
    ConfigGroup(const QString& name, const QVector<ConfigKey>& keys);

    const QString& name() const { return m_name; }
    const QVector<ConfigKey>& keys() const { return m_keys; }
    // The entry of a key, or null for one the group does not have (names are case-sensitive,
    // as QSettings reads them).
    const ConfigKey* find(const QString& key) const;
    // The group with the keys of another reader of it added.
    ConfigGroup with(const QVector<ConfigKey>& more) const;

    // The key's value: as the file gives it when the key takes it (a list: the entries it
    // takes; a choice: always), else the key's absent or refused value (invalid for none).
    // settings may be null (every key absent). key must be one of the group's.
    QVariant value(const QSettings* settings, const QString& key) const;
    qint64 integer(const QSettings* settings, const QString& key) const;
    QString text(const QSettings* settings, const QString& key) const;

private:
    QString m_name;
    QVector<ConfigKey> m_keys;
};
