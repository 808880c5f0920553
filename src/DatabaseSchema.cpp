#include "DatabaseSchema.h"

#include "UsersManager.h"

const QString DatabaseSchema::archiveVersion = QStringLiteral("0.1.1");

namespace {
const char* const deviceForeignKey = "        FOREIGN KEY(idDevice) REFERENCES Devices(idDevices) "
                                     "ON DELETE CASCADE ON UPDATE CASCADE);";
}

QString DatabaseSchema::devices()
{
    return QStringLiteral("CREATE TABLE Devices ("
                          "    idDevices integer PRIMARY KEY  DEFAULT (null),"
                          "    name VARCHAR(50) DEFAULT (null),"
                          "    type VARCHAR(20) DEFAULT (null),"
                          "    ModbusId SMALLINT DEFAULT (null),"
                          "    ModbusReadFunction SMALLINT DEFAULT 3, "
                          "    connectionType VARCHAR(15) DEFAULT (null),"
                          "    idOfConnection int DEFAULT (null),"
                          "    paramModTimestamp timestamp DEFAULT (null), "
                          "    decimal SMALLINT DEFAULT (0),"
                          "    isActive BOOL DEFAULT 1 );");
}

QString DatabaseSchema::readIterations()
{
    return QStringLiteral("CREATE TABLE ReadIterations ("
                          "        idReadIterations INTEGER PRIMARY KEY  AUTOINCREMENT  NOT NULL , "
                          "        regAddr SMALLINT NOT NULL , "
                          "        valuesCnt SMALLINT NOT NULL , "
                          "        regType SMALLINT NOT NULL , "
                          "        regSize SMALLINT NOT NULL , "
                          "        valSize SMALLINT NOT NULL , "
                          "        idDevice INTEGER NOT NULL ,"
                          "        ModbusReadFunction SMALLINT DEFAULT 3, ") +
           QLatin1String(deviceForeignKey);
}

QString DatabaseSchema::configuredParameters()
{
    return QStringLiteral("CREATE TABLE ConfiguredParameters ("
                          "        idParameters INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL ,"
                          "        idDevice INTEGER NOT NULL ,"
                          "        userDescription VARCHAR(80),"
                          "        nameId VARCHAR(45) DEFAULT (null) ,"
                          "        regAddr SMALLINT,"
                          "        unit VARCHAR(10), "
                          "        archInterval integer DEFAULT 0,"
                          "        regType SMALLINT,"
                          "        regSize SMALLINT,"
                          "        valSize SMALLINT,") +
           QLatin1String(deviceForeignKey);
}

QString DatabaseSchema::archiveData()
{
    return QStringLiteral(
        "CREATE TABLE ArchiveData("
        "    idArchiveData integer PRIMARY KEY,"
        "    idParameter INTEGER,"
        "    value DOUBLE,"
        "    flag SMALLINT,"
        "    dateTime DATETIME,"
        "    FOREIGN KEY(idParameter) REFERENCES ConfiguredParameters(idParameters) "
        "ON DELETE CASCADE ON UPDATE CASCADE);");
}

QString DatabaseSchema::views()
{
    return QStringLiteral(
        "CREATE TABLE Views ("
        "    idViews integer PRIMARY KEY  AUTOINCREMENT  NOT NULL , "
        "    name varchar(80) NOT NULL ,"
        "    width integer,"
        "    height integer,"
        "    widgetsCfg TEXT NOT NULL  check(typeof(\"widgetsCfg\") = 'text') );");
}

QString DatabaseSchema::tcpConnections()
{
    return QStringLiteral("CREATE TABLE TCPConnections (idTCPConnections integer primary key, "
                          "name VARCHAR(50), ip VARCHAR(25), portTCP integer, timeout integer);");
}

QString DatabaseSchema::serialConnections()
{
    return QStringLiteral("CREATE TABLE SerialConnections ("
                          "    idSerialConnections integer PRIMARY KEY  DEFAULT (null) ,"
                          "    name VARCHAR(50),"
                          "    serialPort CHAR(5),"
                          "    baudRate integer,"
                          "    parity CHAR(1),"
                          "    stopBits integer,"
                          "    timeout integer);");
}

QString DatabaseSchema::logs()
{
    return QStringLiteral(
        "CREATE TABLE Logs ("
        "    idLogs INTEGER PRIMARY KEY,"
        "    type VARCHAR(20), "
        "    message VARCHAR(400), "
        "    'dateTime' DATETIME DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'LOCALTIME')) );");
}

QString DatabaseSchema::alarms()
{
    return QStringLiteral("CREATE TABLE Alarms ("
                          "  idAlarms  INTEGER PRIMARY KEY  NOT NULL,"
                          "  name VARCHAR(50) NULL,"
                          "  desc VARCHAR(200) NULL,"
                          "  priority INTEGER NULL,"
                          "  exp_on VARCHAR(500) NULL,"
                          "  exp_off VARCHAR(500) NULL,"
                          "  sedMailCond INTEGER DEFAULT 0,"
                          "  mailRecipients VARCHAR(500) NULL,"
                          "  mailSubject VARCHAR(500) NULL)");
}

QString DatabaseSchema::settings()
{
    return QStringLiteral("CREATE TABLE Settings ("
                          "  idSettings  INTEGER PRIMARY KEY  NOT NULL,"
                          "  archiveVersion VARCHAR(10) NULL,"
                          "  modbusPollInterval INTEGER NULL,"
                          "  modbusIterDelay INTEGER NULL,"
                          "  sessionEnabled BOOL NULL,"
                          "  defaultAppState SMALLINT NULL);");
}

QString DatabaseSchema::users()
{
    return QStringLiteral("CREATE TABLE Users ("
                          "  idUsers  INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
                          "  username VARCHAR(50) UNIQUE,"
                          "  password VARCHAR(50) NULL,"
                          "  permissions INTEGER NULL);");
}

QString DatabaseSchema::smtp()
{
    return QStringLiteral("CREATE TABLE SMTP ("
                          "  idSMTP  INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
                          "  serverName VARCHAR(100) NULL,"
                          "  port INTEGER NULL,"
                          "  security INTEGER NULL,"
                          "  username VARCHAR(100) NULL,"
                          "  password VARCHAR(100) NULL,"
                          "  sourceEmailAddress VARCHAR(100) NULL);");
}

QStringList DatabaseSchema::createStatements()
{
    return {devices(),           readIterations(), configuredParameters(),
            archiveData(),       views(),          tcpConnections(),
            serialConnections(), logs(),           alarms(),
            settings(),          users(),          smtp()};
}

const char* const DatabaseSchema::archiveIndexName = "ArchiveData_idParameter_dateTime";

QString DatabaseSchema::archiveIndex()
{
    // value and flag are in the index too, so that a read never visits the table rows, which
    // lie interleaved with those of every other parameter.
    return QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON ArchiveData "
                          "(idParameter, dateTime, value, flag);")
        .arg(QLatin1String(archiveIndexName));
}

QString DatabaseSchema::defaultSettingsRow()
{
    return QStringLiteral("INSERT INTO Settings VALUES (1, \"%1\", 5000, 10, 0, 0)")
        .arg(archiveVersion);
}

QString DatabaseSchema::defaultUsersRow()
{
    // The hash is hexadecimal, so it cannot break out of its quotes.
    return QStringLiteral("INSERT INTO Users VALUES (1, 'Admin', '") +
           UsersManager::defaultPasswordHash() + QStringLiteral("', 255)");
}

QString DatabaseSchema::defaultSmtpRow()
{
    return QStringLiteral("INSERT INTO SMTP VALUES (1, '', 587, 1, '', '', '')");
}
