#include "ConfigManager.h"

#include "Database.h"
#include "DatabaseSchema.h"
#include "FileSteps.h"
#include "LeftoverFiles.h"
#include "Logs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
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
    LeftoverFiles::removeUnlocked(tempDbPath, LeftoverFiles::databaseCompanions());
}

ConfigManager::~ConfigManager()
{
    releaseTempDatabase();
    releaseTempFile();
}

bool ConfigManager::databaseFileExists() const
{
    return QFile::exists(dbPath);
}

bool ConfigManager::openDatabase()
{
    return Database::connection().isOpen();
}

bool ConfigManager::claimTempFile()
{
    releaseTempDatabase();
    releaseTempFile();
    if (!LeftoverFiles::openLocked(tempLock, tempDbPath))
        return false;
    // A journal left beside an earlier scratch file would be rolled into the new one.
    for (const QString& suffix : LeftoverFiles::databaseCompanions())
        QFile::remove(tempDbPath + suffix);
    return true;
}

void ConfigManager::releaseTempFile()
{
    tempLock.close();
}

bool ConfigManager::createTempDatabase()
{
    if (!claimTempFile())
        return false;
    tempDb = Database::openOther(QLatin1String(tempConnectionName), tempDbPath);
    if (!tempDb.isOpen())
        return false;
    return createTablesStruct();
}

bool ConfigManager::createTablesStruct()
{
    QSqlQuery q(tempDb);
    const QStringList statements = QStringList{QStringLiteral("PRAGMA foreign_keys = ON;")} +
                                   DatabaseSchema::createStatements() +
                                   QStringList{DatabaseSchema::archiveIndex()};
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

QByteArray ConfigManager::abandonTempDatabase(const QByteArray& reply)
{
    releaseTempDatabase();
    releaseTempFile();
    return reply;
}

QByteArray ConfigManager::clearDatabase_j()
{
    if (!createTempDatabase())
        return abandonTempDatabase(Logs::errorJson(
            QStringLiteral("Database error"), QStringLiteral("Error creating temp database")));
    {
        QSqlQuery q(tempDb);
        for (const QString& row :
             {DatabaseSchema::defaultSettingsRow(), DatabaseSchema::defaultUsersRow(),
              DatabaseSchema::defaultSmtpRow()}) {
            if (!q.exec(row)) {
                const QByteArray reply = error("Unable to insert record", q);
                q = QSqlQuery();
                return abandonTempDatabase(reply);
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
    // A scratch file that was not swapped in stays on disk until its next use or start.
    releaseTempFile();
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

    // Building the index reads the whole archive once; without it the archive views still
    // work, so a failure here does not fail the upgrade.
    if (!q.exec(DatabaseSchema::archiveIndex()))
        qDebug() << "Archive index not created:" << q.lastError().text();

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

namespace {

// Tables of the configuration export, in an order that keeps referenced rows first.
const char* const exportedTables[] = {"Devices", "ReadIterations",    "ConfiguredParameters",
                                      "Views",   "SerialConnections", "TCPConnections",
                                      "Alarms",  "Settings",          "Users",
                                      "SMTP"};

QString sqlValue(const QVariant& value)
{
    const QString text = QString::fromUtf8(value.toByteArray());
    if (text.isEmpty())
        return QStringLiteral("NULL");
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// Through the upload's open handle: asking a temporary upload for its name would give it one
// on the disk, which a kill would leave behind.
bool copyInto(QFile& from, QFile& to)
{
    return from.seek(0) && FileSteps::copyRest(from, to) && to.flush();
}

QByteArray invalidVersion(const QString& version)
{
    return Logs::errorJson(
        QStringLiteral("Invalid archive version. (") + version + QLatin1Char(')'), QString());
}

} // namespace

QByteArray ConfigManager::exportConfig()
{
    QSqlDatabase db = Database::connection();
    const QStringList tables = db.tables(QSql::Tables);
    QString out = QStringLiteral("/* Korvalen ver: 0.1.19, arch: ") +
                  DatabaseSchema::archiveVersion + QStringLiteral(", create time: ") +
                  QDateTime::currentDateTime().toString(Qt::TextDate) + QStringLiteral(" */\n");

    // One read transaction: the file shows the tables as they were at one moment.
    QSqlQuery q(db);
    q.exec(QStringLiteral("BEGIN"));
    for (const char* table : exportedTables) {
        const QString name = QLatin1String(table);
        if (!tables.contains(name))
            continue;
        // The table's own column order, columns added by an upgrade last.
        if (!q.exec(QStringLiteral("SELECT * FROM %1").arg(name)))
            continue;
        const QSqlRecord record = q.record();
        QStringList columns;
        for (int i = 0; i < record.count(); ++i)
            columns << record.fieldName(i);
        const QString head =
            QStringLiteral("INSERT INTO %1 (%2) VALUES(").arg(name, columns.join(QLatin1Char(',')));
        while (q.next()) {
            QStringList values;
            for (int i = 0; i < record.count(); ++i)
                values << sqlValue(q.value(i));
            out += head + values.join(QLatin1Char(',')) + QStringLiteral(");\n");
        }
    }
    q.exec(QStringLiteral("COMMIT"));
    return out.toUtf8();
}

QByteArray ConfigManager::importConfig_j(QIODevice* file)
{
    if (!createTempDatabase())
        return abandonTempDatabase(Logs::errorJson(
            QStringLiteral("Database error"), QStringLiteral("Error creating temp database")));
    QByteArray reply;
    bool versionRead = false;
    QString versionError;
    {
        QSqlQuery q(tempDb);
        q.exec(QStringLiteral("BEGIN"));
        for (QByteArray line = file->readLine(); !line.isEmpty(); line = file->readLine()) {
            if (line.startsWith("/*") || line.trimmed().isEmpty())
                continue;
            const QString statement = QString::fromUtf8(line);
            // The file holds rows and nothing else: any other statement could reach beyond the
            // scratch database (ATTACH, VACUUM INTO, PRAGMA ...).
            if (!statement.trimmed().startsWith(QLatin1String("INSERT INTO "),
                                                Qt::CaseInsensitive)) {
                reply = Logs::errorJson(QStringLiteral("Imported file is invalid"),
                                        QStringLiteral("Only INSERT statements are accepted"));
                break;
            }
            if (!q.exec(statement)) {
                reply = Logs::errorJson(QStringLiteral("Imported file is invalid"),
                                        q.lastError().text());
                break;
            }
        }
        if (reply.isEmpty()) {
            versionRead = q.exec(QStringLiteral("SELECT archiveVersion FROM Settings;"));
            if (versionRead) {
                const QString version = q.next() ? q.value(0).toString() : QString();
                if (!checkArchiveVersion(version))
                    reply = invalidVersion(version);
            } else {
                versionError = q.lastError().text();
            }
        }
        q.exec(reply.isEmpty() ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
    }
    if (!reply.isEmpty())
        return abandonTempDatabase(reply);
    if (!versionRead)
        return abandonTempDatabase(Logs::errorJson(QStringLiteral("Query error"), versionError));
    releaseTempDatabase();
    if (!replaceTempDatabaseFile())
        return Logs::errorJson(QStringLiteral("Database error"),
                               QStringLiteral("Error while replacing temp database"));
    return success;
}

QByteArray ConfigManager::importDatabase_j(QFile& file)
{
    if (!claimTempFile() || !copyInto(file, tempLock))
        return abandonTempDatabase(Logs::errorJson(QStringLiteral("Copy error"),
                                                   QStringLiteral("Unable to copy config file")));

    tempDb = Database::openOther(QLatin1String(tempConnectionName), tempDbPath);
    if (!tempDb.isOpen())
        return abandonTempDatabase(Logs::errorJson(QStringLiteral("Database error"),
                                                   QStringLiteral("Unable to open the file.")));
    QByteArray reply;
    {
        QSqlQuery q(tempDb);
        if (!q.exec(QStringLiteral("SELECT archiveVersion FROM Settings;"))) {
            reply = Logs::errorJson(QStringLiteral("Database error"),
                                    QStringLiteral("Unable to read file version."));
        } else {
            const QString version = q.next() ? q.value(0).toString() : QString();
            if (!checkArchiveVersion(version)) {
                reply = invalidVersion(version);
            } else if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next() ||
                       q.value(0).toString() != QLatin1String("ok")) {
                // A damaged file would damage the database it replaces.
                reply = Logs::errorJson(QStringLiteral("Database error"),
                                        QStringLiteral("The file is damaged."));
            }
        }
    }
    if (!reply.isEmpty())
        return abandonTempDatabase(reply);
    releaseTempDatabase();
    if (!replaceTempDatabaseFile())
        return Logs::errorJson(QStringLiteral("Database error"),
                               QStringLiteral("Error while replacing temp database"));
    return success;
}
