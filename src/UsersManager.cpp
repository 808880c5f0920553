#include "UsersManager.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

namespace {
const char* const success = "{\"success\":true}";

QString invalidValue(const char* key)
{
    return QStringLiteral("The value of %1 is not a decimal integer").arg(QLatin1String(key));
}
} // namespace

UsersManager::UsersManager(QObject* parent) : QObject(parent) {}

QString UsersManager::passwordHash(const QString& password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString UsersManager::defaultPasswordHash()
{
    return passwordHash(QString());
}

qint16 UsersManager::checkLogin(const QString& username, const QString& password)
{
    QSqlQuery q(Database::connection());
    if (!Database::exec(
            q, QStringLiteral("SELECT permissions FROM Users WHERE username=? AND password=?"),
            {username, passwordHash(password)}))
        return 0;
    const QString permissions = q.next() ? q.value(0).toString() : QString();
    qDebug() << permissions;
    if (permissions.isEmpty())
        return 0;
    return static_cast<qint16>(permissions.toInt());
}

QByteArray UsersManager::getUsersCfg_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT idUsers, username, permissions FROM Users;")))
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    return (QLatin1Char('[') + JsonText::rowObjects(q) + QLatin1Char(']')).toUtf8();
}

QByteArray UsersManager::addNewUser_j(t_GetArray& GET)
{
    if (!GET.contains("username") || !GET.contains("permissions"))
        return Logs::errorJson(QStringLiteral("Parameters error"), QString());
    int permissions = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "permissions"), &permissions))
        return Logs::errorJson(QStringLiteral("User save error"), invalidValue("permissions"));

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("INSERT INTO USERS (username, permissions)VALUES(?,?)"),
                        {RequestParams::text(GET, "username"), permissions}))
        return Logs::errorJson(QStringLiteral("User save error"), q.lastError().text());
    return success;
}

QByteArray UsersManager::editUser_j(t_GetArray& GET)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return Logs::errorJson(QStringLiteral("Edit error"), invalidValue("id"));

    QSqlQuery q(Database::connection());
    if (!Database::exec(
            q, QStringLiteral("UPDATE Users SET username=?, permissions=? WHERE idUsers=?"),
            {RequestParams::text(GET, "username"), RequestParams::toInt(GET, "permissions"), id}))
        return Logs::errorJson(QStringLiteral("Edit error"), q.lastError().text());
    return success;
}

QByteArray UsersManager::setUserPass_j(t_GetArray& GET)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return Logs::errorJson(QStringLiteral("Edit error"), invalidValue("id"));

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("UPDATE Users SET password=? WHERE idUsers=?"),
                        {passwordHash(RequestParams::text(GET, "password")), id}))
        return Logs::errorJson(QStringLiteral("Edit error"), q.lastError().text());
    return success;
}

QByteArray UsersManager::removeUser_j(t_GetArray& GET)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return Logs::errorJson(QStringLiteral("Query error"), invalidValue("id"));

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("DELETE FROM Users WHERE idUsers = ?"), {id}))
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    return success;
}
