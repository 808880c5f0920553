// Clearing, upgrading and version checks of the database file.
#include "TestDatabase.h"

#include <QDir>
#include <QFile>

class TestConfigManager : public QObject
{
    Q_OBJECT
private slots:
    void init() { db = std::make_unique<TestDatabase>(); }
    void cleanup() { db.reset(); }

    void clearStartsAgainFromTheDefaultRows();
    void clearIgnoresAStaleScratchJournal();
    void clearThatCannotBuildTheScratchKeepsTheData();
    void upgrade_data();
    void upgrade();
    void checkArchiveVersion_data();
    void checkArchiveVersion();

private:
    std::unique_ptr<TestDatabase> db;
};

void TestConfigManager::clearStartsAgainFromTheDefaultRows()
{
    QVERIFY(TestDatabase::exec("INSERT INTO Devices (name) VALUES ('meter')"));
    QVERIFY(TestDatabase::exec("INSERT INTO Logs (type, message) VALUES ('info', 'x')"));
    QVERIFY(TestDatabase::exec("UPDATE Settings SET modbusPollInterval = 1000"));

    QCOMPARE(db->manager->clearDatabase_j(), QByteArray("{\"success\":true}"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM Devices"), QString("0"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM Logs"), QString("0"));
    QCOMPARE(TestDatabase::value("SELECT modbusPollInterval FROM Settings"), QString("5000"));
    QCOMPARE(TestDatabase::value("PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(TestDatabase::value("PRAGMA foreign_keys"), QString("1"));
    QVERIFY(!QFile::exists(db->manager->tempDatabasePath()));
}

void TestConfigManager::clearIgnoresAStaleScratchJournal()
{
    // Left by an interrupted earlier run: a scratch file and a hot journal that must not be
    // rolled into the next scratch database.
    for (const QString& name :
         {QStringLiteral("db_temp.sqlite"), QStringLiteral("db_temp.sqlite-journal")}) {
        QFile f(db->dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
    }
    QCOMPARE(db->manager->clearDatabase_j(), QByteArray("{\"success\":true}"));
    QCOMPARE(TestDatabase::value("PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(TestDatabase::value("SELECT username FROM Users"), QString("Admin"));
}

void TestConfigManager::clearThatCannotBuildTheScratchKeepsTheData()
{
    QVERIFY(TestDatabase::exec("INSERT INTO Devices (name) VALUES ('meter')"));
    QVERIFY(QDir(db->dir.path()).mkdir("db_temp.sqlite"));
    QCOMPARE(db->manager->clearDatabase_j(),
             QByteArray("{\"error\":true,\"message\":\"Database error\",\"details\":\"Error "
                        "creating temp database\"}"));
    QCOMPARE(TestDatabase::value("SELECT name FROM Devices"), QString("meter"));
}

void TestConfigManager::upgrade_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("check");
    QTest::addColumn<QStringList>("expected");

    const QString ok = "{\"success\":true}";
    const QString columns = "SELECT name FROM pragma_table_info('%1') ORDER BY cid";

    QTest::newRow("current schema: only the version changes")
        << QStringList{"UPDATE Settings SET archiveVersion = '0.0.9'"} << ok
        << "SELECT archiveVersion || '|' || (SELECT COUNT(*) FROM pragma_table_info('Devices')) "
           "FROM Settings"
        << QStringList{"0.1.1|10"};
    QTest::newRow("missing Users table is created with Admin")
        << QStringList{"DROP TABLE Users"} << ok
        << "SELECT username || '|' || permissions FROM Users" << QStringList{"Admin|255"};
    QTest::newRow("existing users are kept")
        << QStringList{"INSERT INTO Users (username, permissions) VALUES ('bob', 2)"} << ok
        << "SELECT username FROM Users ORDER BY idUsers" << QStringList{"Admin", "bob"};
    QTest::newRow("missing SMTP table is created with its row")
        << QStringList{"DROP TABLE SMTP"} << ok
        << "SELECT idSMTP || '|' || port || '|' || security FROM SMTP" << QStringList{"1|587|1"};
    QTest::newRow("Alarms get the mail columns at the end")
        << QStringList{"DROP TABLE Alarms",
                       "CREATE TABLE Alarms (idAlarms INTEGER PRIMARY KEY NOT NULL, name "
                       "VARCHAR(50) NULL, "
                       "desc VARCHAR(200) NULL, priority INTEGER NULL, exp_on VARCHAR(500) NULL, "
                       "exp_off VARCHAR(500) NULL)",
                       "INSERT INTO Alarms (name, exp_on) VALUES ('a', 'x > 1')"}
        << ok << columns.arg("Alarms") + " LIMIT -1 OFFSET 6"
        << QStringList{"sedMailCond", "mailRecipients", "mailSubject"};
    QTest::newRow("old alarm rows get sedMailCond 0")
        << QStringList{"DROP TABLE Alarms",
                       "CREATE TABLE Alarms (idAlarms INTEGER PRIMARY KEY NOT NULL, name "
                       "VARCHAR(50) NULL, "
                       "desc VARCHAR(200) NULL, priority INTEGER NULL, exp_on VARCHAR(500) NULL, "
                       "exp_off VARCHAR(500) NULL)",
                       "INSERT INTO Alarms (name, exp_on) VALUES ('a', 'x > 1')"}
        << ok << "SELECT sedMailCond || '|' || typeof(mailRecipients) FROM Alarms"
        << QStringList{"0|null"};
    QTest::newRow("Settings get the session columns at the end")
        << QStringList{"DROP TABLE Settings",
                       "CREATE TABLE Settings (idSettings INTEGER PRIMARY KEY NOT NULL, "
                       "archiveVersion "
                       "VARCHAR(10) NULL, modbusPollInterval INTEGER NULL, modbusIterDelay INTEGER "
                       "NULL)",
                       "INSERT INTO Settings VALUES (1, '0.0.5', 1000, 20)"}
        << ok
        << "SELECT group_concat(name) FROM pragma_table_info('Settings') UNION ALL "
           "SELECT archiveVersion || '|' || sessionEnabled || '|' || typeof(defaultAppState) || "
           "'|' || "
           "modbusPollInterval FROM Settings"
        << QStringList{"idSettings,archiveVersion,modbusPollInterval,modbusIterDelay,"
                       "sessionEnabled,defaultAppState",
                       "0.1.1|0|null|1000"};
    QTest::newRow("Settings without row 1 stay without a version")
        << QStringList{"DELETE FROM Settings"} << ok << "SELECT COUNT(*) FROM Settings"
        << QStringList{"0"};
    QTest::newRow("old Devices and ReadIterations get the read function")
        << QStringList{"DROP TABLE ArchiveData",
                       "DROP TABLE ConfiguredParameters",
                       "DROP TABLE ReadIterations",
                       "DROP TABLE Devices",
                       "CREATE TABLE Devices (idDevices integer PRIMARY KEY, name VARCHAR(50))",
                       "CREATE TABLE ReadIterations (idReadIterations INTEGER PRIMARY KEY, "
                       "idDevice INTEGER)",
                       "INSERT INTO Devices VALUES (1, 'meter')",
                       "INSERT INTO ReadIterations VALUES (1, 1)"}
        << ok
        << "SELECT (SELECT ModbusReadFunction FROM Devices) || '|' || (SELECT ModbusReadFunction "
           "FROM "
           "ReadIterations) || '|' || (SELECT name FROM pragma_table_info('Devices') WHERE cid = 2)"
        << QStringList{"3|3|ModbusReadFunction"};
    QTest::newRow("missing Devices table")
        << QStringList{"DROP TABLE ArchiveData", "DROP TABLE ConfiguredParameters",
                       "DROP TABLE ReadIterations", "DROP TABLE Devices"}
        << "{\"error\":true,\"message\":\"ALTER Devices error\","
        << "SELECT archiveVersion FROM Settings" << QStringList{"0.1.1"};
}

void TestConfigManager::upgrade()
{
    QFETCH(QStringList, setup);
    QFETCH(QString, reply);
    QFETCH(QString, check);
    QFETCH(QStringList, expected);
    for (const QString& sql : setup)
        QVERIFY(TestDatabase::exec(sql));
    const QString actual = QString::fromUtf8(db->manager->convertDatabase_j());
    QVERIFY2(actual.startsWith(reply), qPrintable(actual));
    QCOMPARE(TestDatabase::column(check), expected);
    // Calling it again changes nothing more.
    if (reply.contains("success"))
        QCOMPARE(db->manager->convertDatabase_j(), QByteArray("{\"success\":true}"));
}

void TestConfigManager::checkArchiveVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("current") << "0.1.1" << true;
    QTest::newRow("later third part") << "0.1.7" << true;
    QTest::newRow("two-digit third part") << "0.1.10" << true;
    QTest::newRow("third part not compared") << "0.1.x" << true;
    QTest::newRow("other second part") << "0.2.1" << false;
    QTest::newRow("other first part") << "1.1.1" << false;
    QTest::newRow("too short") << "0.1" << false;
    QTest::newRow("too short with dot") << "0.1." << false;
    QTest::newRow("four parts") << "0.1.1.0" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("empty parts") << "0.1.." << false;
}

void TestConfigManager::checkArchiveVersion()
{
    QFETCH(QString, version);
    QFETCH(bool, accepted);
    QCOMPARE(ConfigManager::checkArchiveVersion(version), accepted);
}

QTEST_GUILESS_MAIN(TestConfigManager)
#include "tst_configmanager.moc"
