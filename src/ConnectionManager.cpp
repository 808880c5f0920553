#include "ConnectionManager.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char* const success = "{\"success\":true}";
const char* const portExists = "Connection to this port already exists.";
const char* const ipExists = "Connection to this ip and port already exists.";

QByteArray queryError(const QSqlQuery& q)
{
    return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
}

struct SerialValues
{
    QString name;
    QString serialPort;
    int baudRate;
    QString parity;
    qint16 stopBits;
    int timeout;

    explicit SerialValues(const t_GetArray& get)
        : name(RequestParams::text(get, "name", QStringLiteral("connection"))),
          serialPort(RequestParams::text(get, "serialPort", QStringLiteral("COM1"))),
          baudRate(RequestParams::toInt(get, "baudRate", 9600)),
          parity(RequestParams::text(get, "parity", QStringLiteral("N"))),
          stopBits(RequestParams::toInt16(get, "stopBits", 2)),
          timeout(RequestParams::toInt(get, "timeout", 1000))
    {
    }
    QVariantList list() const
    {
        return {name, serialPort, baudRate, parity, int(stopBits), timeout};
    }
};

struct TcpValues
{
    QString name;
    QString ip;
    int portTCP;
    int timeout;

    explicit TcpValues(const t_GetArray& get)
        : name(RequestParams::text(get, "name", QStringLiteral("connection"))),
          ip(RequestParams::text(get, "ip")), portTCP(RequestParams::toInt(get, "portTCP", 502)),
          timeout(RequestParams::toInt(get, "timeout", 1000))
    {
    }
};

bool tableExists(const char* name, bool* ok)
{
    QSqlQuery q(Database::connection());
    *ok = Database::exec(
        q, QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name=?;"),
        {QLatin1String(name)});
    return *ok && q.next();
}

} // namespace

ConnectionManager::ConnectionManager(QObject* parent) : QObject(parent)
{
    checkTables();
}

bool ConnectionManager::checkTables()
{
    bool ok = false;
    if (!tableExists("SerialConnections", &ok) &&
        !QSqlQuery(Database::connection())
             .exec(QStringLiteral(
                 "create table SerialConnections (idSerialConnections integer primary key, "
                 "name VARCHAR(50), serialPort CHAR(5), baudRate integer, parity CHAR(1), "
                 "stopBits integer, timeout integer )")))
        return false;
    if (!tableExists("TCPConnections", &ok))
        return QSqlQuery(Database::connection())
            .exec(QStringLiteral(
                "create table TCPConnections (idTCPConnections integer primary key, "
                "name VARCHAR(50), ip VARCHAR(25), portTCP integer, timeout integer) "));
    return true;
}

QByteArray ConnectionManager::getConfiguredConnection_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT * FROM SerialConnections;")))
        return queryError(q);
    QString reply =
        QStringLiteral("{\"serial\":[") + JsonText::rowObjects(q) + QStringLiteral("],\"tcp\":[");
    if (q.exec(QStringLiteral("SELECT * FROM TCPConnections;")))
        reply += JsonText::rowObjects(q);
    reply += QStringLiteral("]}");
    return reply.toUtf8();
}

QByteArray ConnectionManager::storeUnique(const QString& duplicateSql,
                                          const QVariantList& duplicateValues, int ownKey,
                                          const char* duplicateMessage, const QString& storeSql,
                                          const QVariantList& storeValues)
{
    QSqlQuery q(Database::connection());
    if (!Database::exec(q, duplicateSql, duplicateValues))
        return queryError(q);
    // Only the first row found is compared; an add has no key of its own.
    if (q.next() && (ownKey == NoKey || q.value(0).toInt() != ownKey))
        return Logs::errorJson(QLatin1String(duplicateMessage), QString());
    if (!Database::exec(q, storeSql, storeValues))
        return queryError(q);
    return success;
}

QByteArray ConnectionManager::addNewSerialConnection_j(t_GetArray& GET)
{
    const SerialValues v(GET);
    return storeUnique(QStringLiteral("SELECT name FROM SerialConnections WHERE serialPort = ?"),
                       {v.serialPort}, NoKey, portExists,
                       QStringLiteral("INSERT INTO SerialConnections VALUES(NULL, ?,?,?,?,?,?)"),
                       v.list());
}

QByteArray ConnectionManager::editSerialConnection_j(t_GetArray& GET)
{
    const qint16 id = RequestParams::toInt16(GET, "id");
    const SerialValues v(GET);
    return storeUnique(
        QStringLiteral("SELECT idSerialConnections FROM SerialConnections WHERE serialPort = ?"),
        {v.serialPort}, id, portExists,
        QStringLiteral("UPDATE SerialConnections SET name=?,serialPort=?,baudRate=?,parity=?,"
                       "stopBits=?,timeout=? WHERE idSerialConnections=?"),
        v.list() << int(id));
}

QByteArray ConnectionManager::removeConnection(t_GetArray& GET, const char* type,
                                               const QString& deleteSql)
{
    const qint16 id = RequestParams::toInt16(GET, "id");
    QSqlQuery q(Database::connection());
    if (!Database::exec(q,
                        QStringLiteral("SELECT idDevices, name FROM Devices WHERE connectionType = "
                                       "? AND idOfConnection = ?"),
                        {QLatin1String(type), int(id)}))
        return queryError(q);
    if (q.next())
        return Logs::errorJson(QStringLiteral("Foreign key error"), QString());
    if (!Database::exec(q, deleteSql, {int(id)}))
        return queryError(q);
    return success;
}

QByteArray ConnectionManager::removeSerialConnection_j(t_GetArray& GET)
{
    return removeConnection(
        GET, "serial", QStringLiteral("DELETE FROM SerialConnections WHERE idSerialConnections=?"));
}

QByteArray ConnectionManager::addNewTcpConnection_j(t_GetArray& GET)
{
    const TcpValues v(GET);
    return storeUnique(
        QStringLiteral("SELECT name FROM TCPConnections WHERE ip = ? AND portTCP = ?"),
        {v.ip, v.portTCP}, NoKey, ipExists,
        QStringLiteral("INSERT INTO TCPConnections VALUES(NULL, ?,?,?,?)"),
        {v.name, v.ip, v.portTCP, v.timeout});
}

QByteArray ConnectionManager::editTcpConnection_j(t_GetArray& GET)
{
    const qint16 id = RequestParams::toInt16(GET, "id");
    const TcpValues v(GET);
    return storeUnique(
        QStringLiteral("SELECT idTCPConnections FROM TCPConnections WHERE ip = ? AND portTCP = ?"),
        {v.ip, v.portTCP}, id, ipExists,
        QStringLiteral("UPDATE TCPConnections SET name=?,ip=?,portTCP=?,timeout=? "
                       "WHERE idTCPConnections=?"),
        {v.name, v.ip, v.portTCP, v.timeout, int(id)});
}

QByteArray ConnectionManager::removeTcpConnection_j(t_GetArray& GET)
{
    return removeConnection(GET, "tcp",
                            QStringLiteral("DELETE FROM TCPConnections WHERE idTCPConnections=?"));
}
