// The schema of a fresh database and its default rows.
#include "TestDatabase.h"
#include "UsersManager.h"

#include <QDateTime>

class TestSchema : public QObject
{
    Q_OBJECT
private slots:
    void init() { db = std::make_unique<TestDatabase>(); }
    void cleanup() { db.reset(); }

    void tables();
    void columns_data();
    void columns();
    void foreignKeys_data();
    void foreignKeys();
    void deletingADeviceCascades();
    void deletingAParameterTakesOnlyItsArchive();
    void viewsRefuseNonTextLayouts_data();
    void viewsRefuseNonTextLayouts();
    void logsGetTheLocalTimeOfTheInsert();
    void defaultRows_data();
    void defaultRows();

private:
    std::unique_ptr<TestDatabase> db;
};

void TestSchema::tables()
{
    QStringList tables = TestDatabase::column("SELECT name FROM sqlite_master WHERE type='table' "
                                              "AND name NOT LIKE 'sqlite_%' ORDER BY rowid");
    QCOMPARE(tables, QStringList({"Devices", "ReadIterations", "ConfiguredParameters",
                                  "ArchiveData", "Views", "TCPConnections", "SerialConnections",
                                  "Logs", "Alarms", "Settings", "Users", "SMTP"}));
}

// One line per column: name|declared type|not null|default|primary key.
void TestSchema::columns_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("Devices") << "Devices"
                             << QStringList{"idDevices|integer|0|null|1",
                                            "name|VARCHAR(50)|0|null|0",
                                            "type|VARCHAR(20)|0|null|0",
                                            "ModbusId|SMALLINT|0|null|0",
                                            "ModbusReadFunction|SMALLINT|0|3|0",
                                            "connectionType|VARCHAR(15)|0|null|0",
                                            "idOfConnection|int|0|null|0",
                                            "paramModTimestamp|timestamp|0|null|0",
                                            "decimal|SMALLINT|0|0|0",
                                            "isActive|BOOL|0|1|0"};
    QTest::newRow("ReadIterations")
        << "ReadIterations"
        << QStringList{"idReadIterations|INTEGER|1||1", "regAddr|SMALLINT|1||0",
                       "valuesCnt|SMALLINT|1||0",       "regType|SMALLINT|1||0",
                       "regSize|SMALLINT|1||0",         "valSize|SMALLINT|1||0",
                       "idDevice|INTEGER|1||0",         "ModbusReadFunction|SMALLINT|0|3|0"};
    QTest::newRow("ConfiguredParameters")
        << "ConfiguredParameters" << QStringList{"idParameters|INTEGER|1||1",
                                                 "idDevice|INTEGER|1||0",
                                                 "userDescription|VARCHAR(80)|0||0",
                                                 "nameId|VARCHAR(45)|0|null|0",
                                                 "regAddr|SMALLINT|0||0",
                                                 "unit|VARCHAR(10)|0||0",
                                                 "archInterval|integer|0|0|0",
                                                 "regType|SMALLINT|0||0",
                                                 "regSize|SMALLINT|0||0",
                                                 "valSize|SMALLINT|0||0"};
    QTest::newRow("ArchiveData") << "ArchiveData"
                                 << QStringList{"idArchiveData|integer|0||1",
                                                "idParameter|INTEGER|0||0", "value|DOUBLE|0||0",
                                                "flag|SMALLINT|0||0", "dateTime|DATETIME|0||0"};
    QTest::newRow("Views") << "Views"
                           << QStringList{"idViews|integer|1||1", "name|varchar(80)|1||0",
                                          "width|integer|0||0", "height|integer|0||0",
                                          "widgetsCfg|TEXT|1||0"};
    QTest::newRow("TCPConnections")
        << "TCPConnections"
        << QStringList{"idTCPConnections|integer|0||1", "name|VARCHAR(50)|0||0",
                       "ip|VARCHAR(25)|0||0", "portTCP|integer|0||0", "timeout|integer|0||0"};
    QTest::newRow("SerialConnections") << "SerialConnections"
                                       << QStringList{"idSerialConnections|integer|0|null|1",
                                                      "name|VARCHAR(50)|0||0",
                                                      "serialPort|CHAR(5)|0||0",
                                                      "baudRate|integer|0||0",
                                                      "parity|CHAR(1)|0||0",
                                                      "stopBits|integer|0||0",
                                                      "timeout|integer|0||0"};
    QTest::newRow("Logs") << "Logs"
                          << QStringList{
                                 "idLogs|INTEGER|0||1", "type|VARCHAR(20)|0||0",
                                 "message|VARCHAR(400)|0||0",
                                 "dateTime|DATETIME|0|DATETIME(CURRENT_TIMESTAMP, 'LOCALTIME')|0"};
    QTest::newRow("Alarms") << "Alarms" << QStringList{"idAlarms|INTEGER|1||1",
                                                       "name|VARCHAR(50)|0||0",
                                                       "desc|VARCHAR(200)|0||0",
                                                       "priority|INTEGER|0||0",
                                                       "exp_on|VARCHAR(500)|0||0",
                                                       "exp_off|VARCHAR(500)|0||0",
                                                       "sedMailCond|INTEGER|0|0|0",
                                                       "mailRecipients|VARCHAR(500)|0||0",
                                                       "mailSubject|VARCHAR(500)|0||0"};
    QTest::newRow("Settings") << "Settings" << QStringList{"idSettings|INTEGER|1||1",
                                                           "archiveVersion|VARCHAR(10)|0||0",
                                                           "modbusPollInterval|INTEGER|0||0",
                                                           "modbusIterDelay|INTEGER|0||0",
                                                           "sessionEnabled|BOOL|0||0",
                                                           "defaultAppState|SMALLINT|0||0"};
    QTest::newRow("Users") << "Users"
                           << QStringList{"idUsers|INTEGER|1||1", "username|VARCHAR(50)|0||0",
                                          "password|VARCHAR(50)|0||0", "permissions|INTEGER|0||0"};
    QTest::newRow("SMTP") << "SMTP"
                          << QStringList{"idSMTP|INTEGER|1||1",
                                         "serverName|VARCHAR(100)|0||0",
                                         "port|INTEGER|0||0",
                                         "security|INTEGER|0||0",
                                         "username|VARCHAR(100)|0||0",
                                         "password|VARCHAR(100)|0||0",
                                         "sourceEmailAddress|VARCHAR(100)|0||0"};
}

void TestSchema::columns()
{
    QFETCH(QString, table);
    QFETCH(QStringList, expected);
    QSqlQuery q(Database::connection());
    QVERIFY(q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table)));
    QStringList actual;
    while (q.next()) {
        actual << QStringList{q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                              q.value(4).toString(), q.value(5).toString()}
                      .join('|');
    }
    // SQLite reports the type of a rowid alias in capitals whatever was declared.
    QCOMPARE(actual.join('\n').toLower(), expected.join('\n').toLower());
}

// table|from column|referenced table|referenced column|on update|on delete
void TestSchema::foreignKeys_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("ReadIterations")
        << "ReadIterations" << QStringList{"idDevice|Devices|idDevices|CASCADE|CASCADE"};
    QTest::newRow("ConfiguredParameters")
        << "ConfiguredParameters" << QStringList{"idDevice|Devices|idDevices|CASCADE|CASCADE"};
    QTest::newRow("ArchiveData")
        << "ArchiveData"
        << QStringList{"idParameter|ConfiguredParameters|idParameters|CASCADE|CASCADE"};
    QTest::newRow("Devices") << "Devices" << QStringList{};
    QTest::newRow("Views") << "Views" << QStringList{};
}

void TestSchema::foreignKeys()
{
    QFETCH(QString, table);
    QFETCH(QStringList, expected);
    QSqlQuery q(Database::connection());
    QVERIFY(q.exec(QStringLiteral("PRAGMA foreign_key_list(%1)").arg(table)));
    QStringList actual;
    while (q.next()) {
        actual << QStringList{q.value(3).toString(), q.value(2).toString(), q.value(4).toString(),
                              q.value(5).toString(), q.value(6).toString()}
                      .join('|');
    }
    QCOMPARE(actual, expected);
}

namespace {
void insertDeviceWithArchive(int device, int firstParameter)
{
    QVERIFY(TestDatabase::exec(
        QStringLiteral("INSERT INTO Devices (idDevices, name) VALUES (%1, 'd')").arg(device)));
    QVERIFY(TestDatabase::exec(
        QStringLiteral("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, "
                       "valSize, idDevice) VALUES (0, 2, 4, 16, 16, %1)")
            .arg(device)));
    for (int p = firstParameter; p < firstParameter + 2; ++p) {
        QVERIFY(TestDatabase::exec(QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, "
                                                  "idDevice, regAddr) VALUES (%1, %2, %1)")
                                       .arg(p)
                                       .arg(device)));
        QVERIFY(TestDatabase::exec(
            QStringLiteral(
                "INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES "
                "(%1, 1.5, 0, '2024-01-01 00:00:00'), (%1, 2.5, 0, '2024-01-01 00:00:05')")
                .arg(p)));
    }
}
} // namespace

void TestSchema::deletingADeviceCascades()
{
    insertDeviceWithArchive(1, 10);
    insertDeviceWithArchive(2, 20);
    QVERIFY(TestDatabase::exec("DELETE FROM Devices WHERE idDevices = 1"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ReadIterations"), QString("1"));
    QCOMPARE(TestDatabase::column("SELECT idParameters FROM ConfiguredParameters ORDER BY 1"),
             QStringList({"20", "21"}));
    QCOMPARE(TestDatabase::column("SELECT DISTINCT idParameter FROM ArchiveData ORDER BY 1"),
             QStringList({"20", "21"}));
}

void TestSchema::deletingAParameterTakesOnlyItsArchive()
{
    insertDeviceWithArchive(1, 10);
    QVERIFY(TestDatabase::exec("DELETE FROM ConfiguredParameters WHERE idParameters = 10"));
    QCOMPARE(TestDatabase::column("SELECT DISTINCT idParameter FROM ArchiveData"),
             QStringList({"11"}));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ReadIterations"), QString("1"));
    // An archive row must name an existing parameter.
    QVERIFY(!TestDatabase::exec("INSERT INTO ArchiveData (idParameter, value) VALUES (999, 1)"));
}

void TestSchema::viewsRefuseNonTextLayouts_data()
{
    QTest::addColumn<QString>("values");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("text") << "'Main', 800, 600, '[]'" << true;
    QTest::newRow("number is stored as text") << "'Main', 800, 600, 5" << true;
    QTest::newRow("NULL layout") << "'Main', 800, 600, NULL" << false;
    QTest::newRow("blob layout") << "'Main', 800, 600, X'00'" << false;
    QTest::newRow("NULL name") << "NULL, 800, 600, '[]'" << false;
}

void TestSchema::viewsRefuseNonTextLayouts()
{
    QFETCH(QString, values);
    QFETCH(bool, accepted);
    QCOMPARE(TestDatabase::exec(
                 QStringLiteral("INSERT INTO Views (name, width, height, widgetsCfg) VALUES (%1)")
                     .arg(values)),
             accepted);
}

void TestSchema::logsGetTheLocalTimeOfTheInsert()
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    QVERIFY(TestDatabase::exec("INSERT INTO Logs (type, message) VALUES ('info', 'x')"));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    const QDateTime stored = QDateTime::fromString(TestDatabase::value("SELECT dateTime FROM Logs"),
                                                   "yyyy-MM-dd hh:mm:ss");
    QVERIFY2(stored.isValid(), "dateTime is not yyyy-MM-dd hh:mm:ss");
    QVERIFY(stored >= before.addMSecs(-before.time().msec()));
    QVERIFY(stored <= after);
}

void TestSchema::defaultRows_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("Settings")
        << "SELECT idSettings || '|' || typeof(archiveVersion) || '|' || archiveVersion || '|' "
           "|| modbusPollInterval || '|' || modbusIterDelay || '|' || sessionEnabled || '|' "
           "|| defaultAppState FROM Settings"
        << QStringList{"1|text|0.1.1|5000|10|0|0"};
    QTest::newRow("Users")
        << "SELECT idUsers || '|' || username || '|' || password || '|' || permissions FROM Users"
        << QStringList{"1|Admin|"
                       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855|255"};
    QTest::newRow("SMTP")
        << "SELECT idSMTP || '|' || serverName || '|' || port || '|' || security || '|' || "
           "username || '|' || password || '|' || sourceEmailAddress FROM SMTP"
        << QStringList{"1||587|1|||"};
    QTest::newRow("no other rows") << "SELECT COUNT(*) FROM Devices, Logs" << QStringList{"0"};
}

void TestSchema::defaultRows()
{
    QFETCH(QString, sql);
    QFETCH(QStringList, expected);
    QCOMPARE(TestDatabase::column(sql), expected);
}

QTEST_GUILESS_MAIN(TestSchema)
#include "tst_schema.moc"
