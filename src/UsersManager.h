#pragma once

#include "RequestParams.h"

#include <QObject>
#include <QPair>
#include <QVector>

#include <optional>

// The web users (table Users) and the login check.
class UsersManager : public QObject
{
    Q_OBJECT
public:
    explicit UsersManager(QObject* parent = nullptr);

    // SHA-256 of the UTF-8 password as 64 lower-case hex digits.
    static QString passwordHash(const QString& password);
    static QString defaultPasswordHash();

    // The privilege of a matching user with a password, 0 when refused.
    qint16 checkLogin(const QString& username, const QString& password);

    // The users that can log in with the empty password, with their privileges, in id order.
    static QVector<QPair<QString, int>> usersWithEmptyPassword();
    // Warns, on standard error and in the event log, of each of them: called when logins are
    // switched on.
    static void warnOfEmptyPasswords();

    // "cfg_getUsersCfg": [{"idUsers":"1","username":"Admin","permissions":"255"},...]
    QByteArray getUsersCfg_j();
    // The changing functions take the caller's privilege: below 255 a caller can neither give
    // rights above its own nor touch a user who has more (the privilege refusal).
    // Permissions are levels 0 to 255; other values are refused, never cut.

    // "cfg_addNewUser": username, permissions (both required). The new user has no password.
    QByteArray addNewUser_j(t_GetArray& GET, qint16 callerPrivilege = 255);
    // The next three give, in *changedUser, the name the user had before a change that
    // succeeded and that its sessions must not outlive (nothing when no user has the id):
    // its sessions hold that name.

    // "cfg_editUser": username, permissions, id. Only a new name or a lower level counts.
    QByteArray editUser_j(t_GetArray& GET, qint16 callerPrivilege = 255,
                          std::optional<QString>* changedUser = nullptr);
    // "cfg_setUserPass": password (missing: empty), id.
    QByteArray setUserPass_j(t_GetArray& GET, qint16 callerPrivilege = 255,
                             std::optional<QString>* changedUser = nullptr);
    // "cfg_removeUser": id.
    QByteArray removeUser_j(t_GetArray& GET, qint16 callerPrivilege = 255,
                            std::optional<QString>* changedUser = nullptr);
};
