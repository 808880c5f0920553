#include "ConfigManager.h"

#include "Database.h"
#include "DatabaseSchema.h"
#include "Logs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

namespace {
const char* const tempConnectionName = "tempDatabaseCon";
const char* const success = "{\"success\":true}";

bool hasColumn(QSqlQuery& pragma, const QString& column)
{
    while (pragma.next()) {
        if (pragma.value(1).toString() == column)
            return true;
    }
    return false;
}

QByteArray error(const char* message, const QSqlQuery& q)
{
    return Logs::errorJson(QLatin1String(message), q.lastError().text());
}
} // namespace

ConfigManager::ConfigManager(QObject* parent)
    : ConfigManager(QCoreApplication::applicationDirPath(), parent)
{
}

ConfigManager::ConfigManager(const QString& directory, QObject* parent)
    : QObject(parent),
      tempDbPath(QDir::fromNativeSeparators(directory) + QStringLiteral("/db_temp.sqlite")),
      dbPath(QDir::fromNativeSeparators(directory) + QStringLiteral("/db.sqlite"))
{
    Database::setPath(dbPath);
}

bool ConfigManager::databaseFileExists() const
{
    return QFile::exists(dbPath);
}

bool ConfigManager::openDatabase()
{
    return Database::connection().isOpen();
}

bool ConfigManager::createTempDatabase()
{
    releaseTempDatabase();
    // A journal left beside an earlier scratch file would be rolled into the new one.
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        QFile::remove(tempDbPath + QLatin1String(suffix));
    QFile file(tempDbPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.close();

    tempDb = Database::openOther(QLatin1String(tempConnectionName), tempDbPath);
    if (!tempDb.isOpen())
        return false;
    return createTablesStruct();
}

bool ConfigManager::createTablesStruct()
{
    QSqlQuery q(tempDb);
    const QStringList statements = QStringList{QStringLiteral("PRAGMA foreign_keys = ON;")} +
                                   DatabaseSchema::createStatements();
    for (const QString& statement : statements) {
        if (!q.exec(statement)) {
            qDebug() << "Create table error:" << q.lastError().text();
            return false;
        }
    }
    return true;
}

void ConfigManager::releaseTempDatabase()
{
    if (!tempDb.isValid())
        return;
    tempDb.close();
    tempDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(tempConnectionName));
}

QByteArray ConfigManager::clearDatabase_j()
{
    if (!createTempDatabase()) {
        releaseTempDatabase();
        return Logs::errorJson(QStringLiteral("Database error"),
                               QStringLiteral("Error creating temp database"));
    }
    {
        QSqlQuery q(tempDb);
        for (const QString& row :
             {DatabaseSchema::defaultSettingsRow(), DatabaseSchema::defaultUsersRow(),
              DatabaseSchema::defaultSmtpRow()}) {
            if (!q.exec(row)) {
                const QByteArray reply = error("Unable to insert record", q);
                q = QSqlQuery();
                releaseTempDatabase();
                return reply;
            }
        }
    }
    releaseTempDatabase();
    if (!replaceTempDatabaseFile())
        return Logs::errorJson(QStringLiteral("Database error"),
                               QStringLiteral("Error while replacing temp database"));
    return success;
}

bool ConfigManager::replaceTempDatabaseFile()
{
    const bool replaced = Database::replaceContent(tempDbPath, nullptr);
    if (replaced)
        QFile::remove(tempDbPath);
    openDatabase();
    if (!replaced)
        qDebug() << "DB false";
    return replaced;
}

QByteArray ConfigManager::convertDatabase_j()
{
    QSqlQuery q(Database::connection());

    if (!q.exec(QStringLiteral("PRAGMA table_info(Devices);")))
        return error("PRAGMA error", q);
    if (!hasColumn(q, QStringLiteral("ModbusReadFunction")) &&
        !q.exec(QStringLiteral(
            "ALTER TABLE Devices ADD COLUMN ModbusReadFunction SMALLINT DEFAULT 3;")))
        return error("ALTER Devices error", q);

    if (!q.exec(QStringLiteral("PRAGMA table_info(ReadIterations);")))
        return error("PRAGMA error2", q);
    if (!hasColumn(q, QStringLiteral("ModbusReadFunction")) &&
        !q.exec(QStringLiteral(
            "ALTER TABLE ReadIterations ADD COLUMN ModbusReadFunction SMALLINT DEFAULT 3;")))
        return error("ALTER ReadIterations error", q);

    struct MissingTable
    {
        const char* name;
        QString create;
        QString defaultRow;
    };
    for (const MissingTable& t :
         {MissingTable{"Users", DatabaseSchema::users(), DatabaseSchema::defaultUsersRow()},
          MissingTable{"SMTP", DatabaseSchema::smtp(), DatabaseSchema::defaultSmtpRow()}}) {
        if (!q.exec(
                QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name='%1';")
                    .arg(QLatin1String(t.name))))
            return error("SELECT error", q);
        q.next();
        if (q.value(0).toString().isEmpty()) {
            q.exec(t.create);
            if (!q.exec(t.defaultRow))
                return error("INSERT error", q);
        }
    }

    if (!q.exec(QStringLiteral("PRAGMA table_info(Alarms);")))
        return error("PRAGMA error", q);
    if (!hasColumn(q, QStringLiteral("sedMailCond"))) {
        q.exec(QStringLiteral("ALTER TABLE Alarms ADD COLUMN sedMailCond INTEGER DEFAULT 0;"));
        q.exec(QStringLiteral("ALTER TABLE Alarms ADD COLUMN mailRecipients VARCHAR(500) NULL;"));
        if (!q.exec(QStringLiteral("ALTER TABLE Alarms ADD COLUMN mailSubject VARCHAR(500) NULL;")))
            return error("ALTER Alarms error", q);
    }

    if (!q.exec(QStringLiteral("PRAGMA table_info(Settings);")))
        return error("PRAGMA error", q);
    if (!hasColumn(q, QStringLiteral("sessionEnabled"))) {
        q.exec(QStringLiteral("ALTER TABLE Settings ADD COLUMN sessionEnabled BOOL DEFAULT 0;"));
        if (!q.exec(
                QStringLiteral("ALTER TABLE Settings ADD COLUMN defaultAppState SMALLINT NULL;")))
            return error("ALTER Settings error", q);
    }

    if (!q.exec(QStringLiteral("UPDATE Settings SET archiveVersion = '") +
                DatabaseSchema::archiveVersion + QStringLiteral("' WHERE idSettings = 1;")))
        return error("Unable to update version", q);
    return success;
}

bool ConfigManager::checkArchiveVersion(const QString& version)
{
    if (version.size() < 5)
        return false;
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return false;
    const QStringList current = DatabaseSchema::archiveVersion.split(QLatin1Char('.'));
    return parts.at(0) == current.at(0) && parts.at(1) == current.at(1);
}
