// Users administration and the login check.
#include "TestDatabase.h"
#include "UsersManager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

class TestUsers : public QObject
{
    Q_OBJECT
private slots:
    void init() { db = std::make_unique<TestDatabase>(); }
    void cleanup() { db.reset(); }

    void passwordHash_data();
    void passwordHash();
    void login_data();
    void login();
    void newUserNeedsAPassword();
    void quotesInNamesAndPasswords();
    void webFunctions_data();
    void webFunctions();
    void editsThatEndSessions_data();
    void editsThatEndSessions();
    void listIsValidJson();

private:
    std::unique_ptr<TestDatabase> db;
    UsersManager users;
};

void TestUsers::passwordHash_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("hash");
    QTest::newRow("empty") << ""
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << "abc"
                         << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("UTF-8") << QString::fromUtf8("zażółć")
                           << QString::fromLatin1(
                                  QCryptographicHash::hash(
                                      QByteArray("za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87"),
                                      QCryptographicHash::Sha256)
                                      .toHex());
}

void TestUsers::passwordHash()
{
    QFETCH(QString, password);
    QFETCH(QString, hash);
    QCOMPARE(UsersManager::passwordHash(password), hash);
}

void TestUsers::login_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("privilege");
    const QString hashOfSecret = UsersManager::passwordHash("secret");
    QTest::newRow("Admin with the empty password") << QStringList{} << "Admin"
                                                   << "" << 255;
    QTest::newRow("wrong password") << QStringList{} << "Admin"
                                    << "x" << 0;
    QTest::newRow("name is case-sensitive") << QStringList{} << "admin"
                                            << "" << 0;
    QTest::newRow("unknown user") << QStringList{} << "nobody"
                                  << "" << 0;
    QTest::newRow("permissions 0 refused")
        << QStringList{"UPDATE Users SET permissions = 0"} << "Admin"
        << "" << 0;
    QTest::newRow("permissions NULL refused")
        << QStringList{"UPDATE Users SET permissions = NULL"} << "Admin"
        << "" << 0;
    QTest::newRow("read-only user")
        << QStringList{QStringLiteral("INSERT INTO Users VALUES (2, 'viewer', '%1', 1)")
                           .arg(hashOfSecret)}
        << "viewer"
        << "secret" << 1;
    // Stored only by an imported file: refused, never cut to 16 bits (65791 would be 255).
    QTest::newRow("permissions above the levels refused")
        << QStringList{QStringLiteral("INSERT INTO Users VALUES (2, 'big', '%1', 65791)")
                           .arg(hashOfSecret)}
        << "big"
        << "secret" << 0;
    QTest::newRow("negative permissions refused")
        << QStringList{QStringLiteral("INSERT INTO Users VALUES (2, 'neg', '%1', -1)")
                           .arg(hashOfSecret)}
        << "neg"
        << "secret" << 0;
    QTest::newRow("injection in the name") << QStringList{} << "x' OR '1'='1"
                                           << "" << 0;
    QTest::newRow("injection in the password") << QStringList{} << "Admin"
                                               << "' OR '1'='1" << 0;
}

void TestUsers::login()
{
    QFETCH(QStringList, setup);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, privilege);
    for (const QString& sql : setup)
        QVERIFY(TestDatabase::exec(sql));
    QCOMPARE(int(users.checkLogin(user, password)), privilege);
}

void TestUsers::newUserNeedsAPassword()
{
    t_GetArray add{{"username", "operator"}, {"permissions", "2"}};
    QCOMPARE(users.addNewUser_j(add), QByteArray("{\"success\":true}"));
    for (const char* tried : {"", "operator", "x"})
        QCOMPARE(int(users.checkLogin("operator", QString::fromLatin1(tried))), 0);

    const QString id = TestDatabase::value("SELECT idUsers FROM Users WHERE username = 'operator'");
    t_GetArray noPassword{{"id", id.toUtf8()}};
    QCOMPARE(users.setUserPass_j(noPassword), QByteArray("{\"success\":true}"));
    QCOMPARE(int(users.checkLogin("operator", "")), 2);

    t_GetArray pass{{"id", id.toUtf8()}};
    pass["password"] = QByteArray("pass\0ignored", 12);
    QCOMPARE(users.setUserPass_j(pass), QByteArray("{\"success\":true}"));
    QCOMPARE(int(users.checkLogin("operator", "pass")), 2);
}

void TestUsers::quotesInNamesAndPasswords()
{
    t_GetArray add{{"username", "O'Brien \"the\" \\admin"}, {"permissions", "255"}};
    QCOMPARE(users.addNewUser_j(add), QByteArray("{\"success\":true}"));
    const QString id =
        TestDatabase::value("SELECT idUsers FROM Users WHERE username LIKE 'O''Brien%'");
    QVERIFY(!id.isEmpty());
    t_GetArray pass{{"id", id.toUtf8()}, {"password", "it's \"mine\""}};
    QCOMPARE(users.setUserPass_j(pass), QByteArray("{\"success\":true}"));
    QCOMPARE(int(users.checkLogin("O'Brien \"the\" \\admin", "it's \"mine\"")), 255);
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM Users"), QString("2"));
}

void TestUsers::webFunctions_data()
{
    QTest::addColumn<QString>("func");
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("check");
    QTest::addColumn<QStringList>("expected");
    const QString all =
        "SELECT idUsers || '|' || username || '|' || ifnull(permissions, 'NULL') FROM Users";

    QTest::newRow("add without permissions")
        << "add" << QVariantMap{{"username", "u"}}
        << R"({"error":true,"message":"Parameters error"})" << all << QStringList{"1|Admin|255"};
    QTest::newRow("add with empty permissions")
        << "add" << QVariantMap{{"username", "u"}, {"permissions", ""}}
        << R"({"error":true,"message":"User save error",)" << all << QStringList{"1|Admin|255"};
    QTest::newRow("add with text as permissions")
        << "add" << QVariantMap{{"username", "u"}, {"permissions", "2); DROP TABLE Users; --"}}
        << R"({"error":true,"message":"User save error",)" << all << QStringList{"1|Admin|255"};
    for (const char* permissions : {"256", "65791", "-1", "4294967551"})
        QTest::newRow(qPrintable(QStringLiteral("add with permissions %1").arg(permissions)))
            << "add" << QVariantMap{{"username", "u"}, {"permissions", permissions}}
            << R"({"error":true,"message":"User save error","details":"permissions: )" << all
            << QStringList{"1|Admin|255"};
    QTest::newRow("edit with permissions above the levels")
        << "edit" << QVariantMap{{"username", "Admin"}, {"permissions", "65791"}, {"id", "1"}}
        << R"({"error":true,"message":"Edit error","details":"permissions: 65791 is not within 0 to 255"})"
        << all << QStringList{"1|Admin|255"};
    QTest::newRow("add existing name")
        << "add" << QVariantMap{{"username", "Admin"}, {"permissions", "1"}}
        << R"({"error":true,"message":"User save error","details":)" << all
        << QStringList{"1|Admin|255"};
    QTest::newRow("add with %1 in the name")
        << "add" << QVariantMap{{"username", "u%1%2"}, {"permissions", "1"}}
        << R"({"success":true})" << all << QStringList{"1|Admin|255", "2|u%1%2|1"};
    QTest::newRow("edit renames and keeps the password")
        << "edit" << QVariantMap{{"username", "Root"}, {"permissions", "2"}, {"id", "1"}}
        << R"({"success":true})"
        << "SELECT username || '|' || permissions || '|' || length(password) FROM Users"
        << QStringList{"Root|2|64"};
    QTest::newRow("edit non-numeric permissions gives 0")
        << "edit" << QVariantMap{{"username", "Admin"}, {"permissions", "x"}, {"id", "1"}}
        << R"({"success":true})" << all << QStringList{"1|Admin|0"};
    QTest::newRow("edit unknown id")
        << "edit" << QVariantMap{{"username", "x"}, {"permissions", "1"}, {"id", "99"}}
        << R"({"success":true})" << all << QStringList{"1|Admin|255"};
    QTest::newRow("edit id that is no number")
        << "edit" << QVariantMap{{"username", "x"}, {"permissions", "1"}, {"id", "1 OR 1=1"}}
        << R"({"error":true,"message":"Edit error",)" << all << QStringList{"1|Admin|255"};
    QTest::newRow("set password of id that is no number")
        << "pass" << QVariantMap{{"password", "x"}, {"id", "1 OR 1=1"}}
        << R"({"error":true,"message":"Edit error",)"
        << "SELECT password FROM Users" << QStringList{UsersManager::defaultPasswordHash()};
    QTest::newRow("remove without id")
        << "remove" << QVariantMap{} << R"({"error":true,"message":"Query error",)" << all
        << QStringList{"1|Admin|255"};
    QTest::newRow("remove unknown id")
        << "remove" << QVariantMap{{"id", "5"}} << R"({"success":true})" << all
        << QStringList{"1|Admin|255"};
    QTest::newRow("remove Admin") << "remove" << QVariantMap{{"id", "1"}} << R"({"success":true})"
                                  << all << QStringList{};
}

void TestUsers::webFunctions()
{
    QFETCH(QString, func);
    QFETCH(QVariantMap, params);
    QFETCH(QString, reply);
    QFETCH(QString, check);
    QFETCH(QStringList, expected);
    t_GetArray get = TestDatabase::params(params);
    QByteArray actual;
    if (func == "add")
        actual = users.addNewUser_j(get);
    else if (func == "edit")
        actual = users.editUser_j(get);
    else if (func == "pass")
        actual = users.setUserPass_j(get);
    else
        actual = users.removeUser_j(get);
    QVERIFY2(actual.startsWith(reply.toUtf8()), actual.constData());
    QCOMPARE(TestDatabase::column(check), expected);
}

// The name whose sessions must end is given only for a new name or a lower level.
void TestUsers::editsThatEndSessions_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("permissions");
    QTest::addColumn<qint16>("caller");
    QTest::addColumn<QString>("ended"); // empty: none

    QTest::newRow("saved unchanged") << "2" << "Jan Kowalski" << "2" << qint16(255) << "";
    QTest::newRow("own row saved unchanged") << "2" << "Jan Kowalski" << "2" << qint16(2) << "";
    QTest::newRow("level raised") << "2" << "Jan Kowalski" << "255" << qint16(255) << "";
    QTest::newRow("level lowered") << "2" << "Jan Kowalski" << "1" << qint16(255)
                                   << "Jan Kowalski";
    QTest::newRow("level 0") << "2" << "Jan Kowalski" << "0" << qint16(255) << "Jan Kowalski";
    QTest::newRow("renamed") << "2" << "Jan" << "2" << qint16(255) << "Jan Kowalski";
    QTest::newRow("case of the name changed")
        << "2" << "jan kowalski" << "2" << qint16(255) << "Jan Kowalski";
    QTest::newRow("unknown id") << "7" << "Jan" << "1" << qint16(255) << "";
    QTest::newRow("refused: above the caller") << "1" << "Admin" << "1" << qint16(2) << "";
}

void TestUsers::editsThatEndSessions()
{
    QFETCH(QString, id);
    QFETCH(QString, username);
    QFETCH(QString, permissions);
    QFETCH(qint16, caller);
    QFETCH(QString, ended);
    QVERIFY(TestDatabase::exec(
        "INSERT INTO Users (idUsers, username, permissions) VALUES (2, 'Jan Kowalski', 2)"));
    t_GetArray get{{"id", id.toUtf8()}, {"username", username.toUtf8()},
                   {"permissions", permissions.toUtf8()}};
    std::optional<QString> changed;
    users.editUser_j(get, caller, &changed);
    QCOMPARE(changed.value_or(QString()), ended);
}

void TestUsers::listIsValidJson()
{
    QCOMPARE(users.getUsersCfg_j(),
             QByteArray(R"([{"idUsers":"1","username":"Admin","permissions":"255"}])"));
    t_GetArray add{{"username", "a\"b\\c\nd"}, {"permissions", "1"}};
    QCOMPARE(users.addNewUser_j(add), QByteArray("{\"success\":true}"));
    const QJsonDocument doc = QJsonDocument::fromJson(users.getUsersCfg_j());
    QVERIFY(doc.isArray());
    QCOMPARE(doc.array().at(1).toObject().value("username").toString(), QString("a\"b\\c\nd"));
    QVERIFY(!users.getUsersCfg_j().contains("password"));

    QVERIFY(TestDatabase::exec("DELETE FROM Users"));
    QCOMPARE(users.getUsersCfg_j(), QByteArray("[]"));
}

QTEST_GUILESS_MAIN(TestUsers)
#include "tst_users.moc"
