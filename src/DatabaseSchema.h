#pragma once

#include <QString>
#include <QStringList>

// The statement texts that make the database: the tables in creation order and the default rows.
// The texts are part of the file format (they are what sqlite_master keeps), so they stay
// exactly as written here.
class DatabaseSchema
{
public:
    static const QString archiveVersion;

    static QString devices();
    static QString readIterations();
    static QString configuredParameters();
    static QString archiveData();
    static QString views();
    static QString tcpConnections();
    static QString serialConnections();
    static QString logs();
    static QString alarms();
    static QString settings();
    static QString users();
    static QString smtp();

    // The twelve statements in creation order: referenced tables before those that refer to them.
    static QStringList createStatements();

    // The index that lets the archive views read one parameter's rows in time order from the
    // index alone. A database made before it exists gets it from the upgrade; without it every
    // archive query still works, only slower.
    static const char* const archiveIndexName;
    static QString archiveIndex();

    static QString defaultSettingsRow();
    static QString defaultUsersRow();
    static QString defaultSmtpRow();
};
