#pragma once

#include "ConfigKey.h"

#include <QString>
#include <QVector>

// Every group and key of config.ini that the program reads, with what each takes: the server
// library's groups and the program's own keys. The readers take their values through these
// entries, and the start-up check compares the file with them.
class ConfigKeys
{
public:
    static const QVector<ConfigGroup>& groups();
    // A group of the table, or null for a name it does not list.
    static const ConfigGroup* findGroup(const QString& name);
    // A group of the table; name must be one of them.
    static const ConfigGroup& group(const QString& name);
    // The key of [listener] with the host names besides the machine's own.
    static const QString& allowedHostsKey();

    struct Finding
    {
        int type; // Logs::Warn for what the program does not know, Logs::Error for a value
        QString text;
    };
    // What the file at path holds that cannot work: each value a key does not take, each
    // group the program does not know (once), each unknown key of a known group.
    static QVector<Finding> check(const QString& path);
};
