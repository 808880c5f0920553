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

// A value that cannot work, refused before anything is read or stored.
QByteArray refusal(const QString& details)
{
    return Logs::errorJson(QStringLiteral("Query error"), details);
}

constexpr int maxInt = std::numeric_limits<int>::max();

// Keys are held in 16 bits: a larger one is refused, never cut to another connection's key.
QString keyError(const t_GetArray& get, int* id)
{
    return RequestParams::rangeError(get, "id", 0, std::numeric_limits<qint16>::min(),
                                     std::numeric_limits<qint16>::max(), id);
}

struct SerialValues
{
    QString name;
    QString serialPort;
    int baudRate;
    QString parity;
    qint16 stopBits;
    int timeout = 0;
    QString refused; // details of a value that cannot work; empty when all can

    explicit SerialValues(const t_GetArray& get)
        : name(RequestParams::text(get, "name", QStringLiteral("connection"))),
          serialPort(RequestParams::text(get, "serialPort", QStringLiteral("COM1"))),
          baudRate(RequestParams::toInt(get, "baudRate", 9600)),
          parity(RequestParams::text(get, "parity", QStringLiteral("N"))),
          stopBits(RequestParams::toInt16(get, "stopBits", 2)),
          refused(RequestParams::rangeError(get, "timeout", 1000, 1, maxInt, &timeout))
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
    int portTCP = 0;
    int timeout = 0;
    QString refused; // details of a value that cannot work; empty when all can

    explicit TcpValues(const t_GetArray& get)
        : name(RequestParams::text(get, "name", QStringLiteral("connection"))),
          ip(RequestParams::text(get, "ip"))
    {
        refused = RequestParams::rangeError(get, "portTCP", 502, 1, 65535, &portTCP, true);
        if (refused.isEmpty())
            refused = RequestParams::rangeError(get, "timeout", 1000, 1, maxInt, &timeout);
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
    if (!v.refused.isEmpty())
        return refusal(v.refused);
    return storeUnique(QStringLiteral("SELECT name FROM SerialConnections WHERE serialPort = ?"),
                       {v.serialPort}, NoKey, portExists,
                       QStringLiteral("INSERT INTO SerialConnections VALUES(NULL, ?,?,?,?,?,?)"),
                       v.list());
}

QByteArray ConnectionManager::editSerialConnection_j(t_GetArray& GET)
{
    int id = 0;
    const SerialValues v(GET);
    const QString refused = keyError(GET, &id);
    if (!refused.isEmpty() || !v.refused.isEmpty())
        return refusal(refused.isEmpty() ? v.refused : refused);
    return storeUnique(
        QStringLiteral("SELECT idSerialConnections FROM SerialConnections WHERE serialPort = ?"),
        {v.serialPort}, id, portExists,
        QStringLiteral("UPDATE SerialConnections SET name=?,serialPort=?,baudRate=?,parity=?,"
                       "stopBits=?,timeout=? WHERE idSerialConnections=?"),
        v.list() << id);
}

QByteArray ConnectionManager::removeConnection(t_GetArray& GET, const char* type,
                                               const QString& deleteSql)
{
    int id = 0;
    const QString refused = keyError(GET, &id);
    if (!refused.isEmpty())
        return refusal(refused);
    QSqlQuery q(Database::connection());
    if (!Database::exec(q,
                        QStringLiteral("SELECT idDevices, name FROM Devices WHERE connectionType = "
                                       "? AND idOfConnection = ?"),
                        {QLatin1String(type), id}))
        return queryError(q);
    if (q.next())
        return Logs::errorJson(QStringLiteral("Foreign key error"), QString());
    if (!Database::exec(q, deleteSql, {id}))
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
    if (!v.refused.isEmpty())
        return refusal(v.refused);
    return storeUnique(
        QStringLiteral("SELECT name FROM TCPConnections WHERE ip = ? AND portTCP = ?"),
        {v.ip, v.portTCP}, NoKey, ipExists,
        QStringLiteral("INSERT INTO TCPConnections VALUES(NULL, ?,?,?,?)"),
        {v.name, v.ip, v.portTCP, v.timeout});
}

QByteArray ConnectionManager::editTcpConnection_j(t_GetArray& GET)
{
    int id = 0;
    const TcpValues v(GET);
    const QString refused = keyError(GET, &id);
    if (!refused.isEmpty() || !v.refused.isEmpty())
        return refusal(refused.isEmpty() ? v.refused : refused);
    return storeUnique(
        QStringLiteral("SELECT idTCPConnections FROM TCPConnections WHERE ip = ? AND portTCP = ?"),
        {v.ip, v.portTCP}, id, ipExists,
        QStringLiteral("UPDATE TCPConnections SET name=?,ip=?,portTCP=?,timeout=? "
                       "WHERE idTCPConnections=?"),
        {v.name, v.ip, v.portTCP, v.timeout, id});
}

QByteArray ConnectionManager::removeTcpConnection_j(t_GetArray& GET)
{
    return removeConnection(GET, "tcp",
                            QStringLiteral("DELETE FROM TCPConnections WHERE idTCPConnections=?"));
}

bool ConnectionManager::connectionExists(const QString& type, int id, QString* error)
{
    const QString sql =
        type == QLatin1String("serial")
            ? QStringLiteral("SELECT 1 FROM SerialConnections WHERE idSerialConnections = ?")
            : QStringLiteral("SELECT 1 FROM TCPConnections WHERE idTCPConnections = ?");
    QSqlQuery q(Database::connection());
    if (!Database::exec(q, sql, {id})) {
        *error = q.lastError().text();
        return false;
    }
    error->clear();
    return q.next();
}
