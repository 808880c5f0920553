#include "UsersManager.h"

#include "ApiDispatcher.h"
#include "Database.h"
#include "JsonText.h"
#include "Logs.h"
#include "OperatorLog.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

namespace {
const char* const success = "{\"success\":true}";

constexpr int fullRights = ApiDispatcher::fullRightsPrivilege;

QString invalidValue(const char* key)
{
    return QStringLiteral("The value of %1 is not a decimal integer").arg(QLatin1String(key));
}

struct StoredUser
{
    bool exists = false;
    QString name;
    qint64 permissions = 0;
};

// The user of this id as it stands in the table; false when the statement failed.
bool storedUser(int id, StoredUser* user, QString* error)
{
    QSqlQuery q(Database::connection());
    if (!Database::exec(
            q, QStringLiteral("SELECT username, permissions FROM Users WHERE idUsers = ?"), {id})) {
        *error = q.lastError().text();
        return false;
    }
    user->exists = q.next();
    if (user->exists) {
        user->name = q.value(0).toString();
        user->permissions = q.value(1).toLongLong();
    }
    return true;
}

// Whether the user acts with rights above the caller's (a user that is not there has none).
// Stored values outside the levels count as they stand, never cut to a level.
bool aboveCaller(const StoredUser& user, qint16 caller)
{
    return caller < fullRights && user.exists && user.permissions > caller;
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
    // A stored value outside the levels (only an imported file can hold one) is no login,
    // never cut to a level: 65791 must not log in with 255.
    bool ok = false;
    const int level = permissions.toInt(&ok);
    return ok && level > 0 && level <= fullRights ? qint16(level) : qint16(0);
}

QVector<QPair<QString, int>> UsersManager::usersWithEmptyPassword()
{
    // The levels checkLogin lets in.
    QVector<QPair<QString, int>> users;
    QSqlQuery q(Database::connection());
    if (!Database::exec(q,
                        QStringLiteral("SELECT username, permissions FROM Users WHERE password = ? "
                                       "AND permissions BETWEEN 1 AND ? ORDER BY idUsers"),
                        {defaultPasswordHash(), int(fullRights)}))
        return users;
    while (q.next())
        users.append({q.value(0).toString(), q.value(1).toInt()});
    return users;
}

void UsersManager::warnOfEmptyPasswords()
{
    // Each is named, up to a screenful; the rest counted.
    constexpr int maxNamed = 20;
    const QVector<QPair<QString, int>> users = usersWithEmptyPassword();
    for (int i = 0; i < users.size() && i < maxNamed; ++i)
        OperatorLog::warn(OperatorLog::emptyPassword(users.at(i).first, users.at(i).second));
    if (users.size() > maxNamed)
        OperatorLog::warn(OperatorLog::moreEmptyPasswords(users.size() - maxNamed));
}

QByteArray UsersManager::getUsersCfg_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT idUsers, username, permissions FROM Users;")))
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    return (QLatin1Char('[') + JsonText::rowObjects(q) + QLatin1Char(']')).toUtf8();
}

QByteArray UsersManager::addNewUser_j(t_GetArray& GET, qint16 callerPrivilege)
{
    if (!GET.contains("username") || !GET.contains("permissions"))
        return Logs::errorJson(QStringLiteral("Parameters error"), QString());
    // The text would go into the statement as it stands: anything but a level fails.
    int permissions = 0;
    const QString refused =
        RequestParams::rangeError(GET, "permissions", 0, 0, fullRights, &permissions, true);
    if (!refused.isEmpty())
        return Logs::errorJson(QStringLiteral("User save error"), refused);
    if (callerPrivilege < fullRights && permissions > callerPrivilege)
        return ApiDispatcher::privilegeRefusal();

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("INSERT INTO USERS (username, permissions)VALUES(?,?)"),
                        {RequestParams::text(GET, "username"), permissions}))
        return Logs::errorJson(QStringLiteral("User save error"), q.lastError().text());
    return success;
}

QByteArray UsersManager::editUser_j(t_GetArray& GET, qint16 callerPrivilege,
                                    std::optional<QString>* changedUser)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return Logs::errorJson(QStringLiteral("Edit error"), invalidValue("id"));
    int permissions = 0;
    const QString refused =
        RequestParams::rangeError(GET, "permissions", 0, 0, fullRights, &permissions);
    if (!refused.isEmpty())
        return Logs::errorJson(QStringLiteral("Edit error"), refused);
    StoredUser user;
    QString error;
    if (!storedUser(id, &user, &error))
        return Logs::errorJson(QStringLiteral("Edit error"), error);
    if (callerPrivilege < fullRights &&
        (permissions > callerPrivilege || aboveCaller(user, callerPrivilege)))
        return ApiDispatcher::privilegeRefusal();

    QSqlQuery q(Database::connection());
    if (!Database::exec(
            q, QStringLiteral("UPDATE Users SET username=?, permissions=? WHERE idUsers=?"),
            {RequestParams::text(GET, "username"), permissions, id}))
        return Logs::errorJson(QStringLiteral("Edit error"), q.lastError().text());
    // Sessions hold the name and the level of their login: only a new name or a lower level
    // makes them wrong. A raised level waits for the next login.
    const bool renamed = RequestParams::text(GET, "username") != user.name;
    if (changedUser && user.exists && (renamed || permissions < user.permissions))
        *changedUser = user.name;
    return success;
}

QByteArray UsersManager::setUserPass_j(t_GetArray& GET, qint16 callerPrivilege,
                                       std::optional<QString>* changedUser)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return Logs::errorJson(QStringLiteral("Edit error"), invalidValue("id"));
    StoredUser user;
    QString error;
    if (!storedUser(id, &user, &error))
        return Logs::errorJson(QStringLiteral("Edit error"), error);
    if (aboveCaller(user, callerPrivilege))
        return ApiDispatcher::privilegeRefusal();

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("UPDATE Users SET password=? WHERE idUsers=?"),
                        {passwordHash(RequestParams::text(GET, "password")), id}))
        return Logs::errorJson(QStringLiteral("Edit error"), q.lastError().text());
    if (changedUser && user.exists)
        *changedUser = user.name;
    return success;
}

QByteArray UsersManager::removeUser_j(t_GetArray& GET, qint16 callerPrivilege,
                                      std::optional<QString>* changedUser)
{
    int id = 0;
    if (!RequestParams::isInteger(RequestParams::text(GET, "id"), &id))
        return Logs::errorJson(QStringLiteral("Query error"), invalidValue("id"));
    StoredUser user;
    QString error;
    if (!storedUser(id, &user, &error))
        return Logs::errorJson(QStringLiteral("Query error"), error);
    if (aboveCaller(user, callerPrivilege))
        return ApiDispatcher::privilegeRefusal();

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("DELETE FROM Users WHERE idUsers = ?"), {id}))
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    if (changedUser && user.exists)
        *changedUser = user.name;
    return success;
}
