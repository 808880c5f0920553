#pragma once

#include <QObject>

class QFile;
class QIODevice;
#include <QSqlDatabase>

// Owns the database file "db.sqlite" in the program directory: opening it, building a fresh
// one, upgrading it in place and putting a scratch database ("db_temp.sqlite") in its place.
// Its web functions run under the request handler's database mutex.
class ConfigManager : public QObject
{
    Q_OBJECT
public:
    explicit ConfigManager(QObject* parent = nullptr);
    // The same, with the files in another directory than the program's.
    ConfigManager(const QString& directory, QObject* parent);

    bool databaseFileExists() const;
    bool openDatabase();

    // Empties or creates the scratch file and builds the schema in it on "tempDatabaseCon".
    bool createTempDatabase();
    bool createTablesStruct();

    // "cfg_clearDatabase": a fresh database with the default rows in place of the file.
    QByteArray clearDatabase_j();
    // "cfg_convertDatabase": upgrades the open database to the current schema.
    QByteArray convertDatabase_j();

    // Puts the scratch database in place of the database file.
    bool replaceTempDatabaseFile();

    static bool checkArchiveVersion(const QString& version);

    // The configuration as SQL text: a comment line, then one INSERT line per row.
    QByteArray exportConfig();
    // A file made by exportConfig in place of the database; {"success":true} or an error.
    QByteArray importConfig_j(QIODevice* file);
    // A whole database file in place of the database; {"success":true} or an error.
    QByteArray importDatabase_j(QFile& file);

    QString databasePath() const { return dbPath; }
    QString tempDatabasePath() const { return tempDbPath; }

private:
    void releaseTempDatabase();

    QString tempDbPath;
    QString dbPath;
    QSqlDatabase tempDb;
};
