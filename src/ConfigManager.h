#pragma once

#include <QObject>

#include <QFile>
#include <QSqlDatabase>

class QIODevice;

// Owns the database file "db.sqlite" in the program directory: opening it, building a fresh
// one, upgrading it in place and putting a scratch database ("db_temp.sqlite") in its place.
// Its web functions run under the request handler's database mutex.
class ConfigManager : public QObject
{
    Q_OBJECT
public:
    explicit ConfigManager(QObject* parent = nullptr);
    // The same, with the files in another directory than the program's. A scratch file that
    // no running program holds is a leftover of a clear or import killed half-way: removed.
    ConfigManager(const QString& directory, QObject* parent);
    ~ConfigManager() override;

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
    // Takes the scratch file, made empty, for this process: another one's is never touched.
    bool claimTempFile();
    void releaseTempDatabase();
    // Ends a use of the scratch file that is not swapped in, and returns the reply.
    QByteArray abandonTempDatabase(const QByteArray& reply);
    // Ends the claim; SQLite must have closed the scratch file first, as closing a descriptor
    // of a file drops every lock that this process holds on it.
    void releaseTempFile();

    QString tempDbPath;
    QString dbPath;
    QFile tempLock; // open and locked while the scratch file is in use
    QSqlDatabase tempDb;
};
