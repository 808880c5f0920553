// The reply builders, the event-log writer and the log grid with its deletion.
#include "Logs.h"
#include "TestDatabase.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

class TestLogs : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { db.reset(); }

    void replies_data();
    void replies();
    void addLogTypesAndEscaping_data();
    void addLogTypesAndEscaping();
    void grid_data();
    void grid();
    void deletionRemovesExactlyTheListedLines_data() { grid_data(); }
    void deletionRemovesExactlyTheListedLines();
    void quoteInDescriptionCannotWidenADeletion();
    void gridIsValidJsonWhateverIsStored_data();
    void gridIsValidJsonWhateverIsStored();

private:
    static QStringList listedIds(const QByteArray& reply);
    // The first row of a grid reply; false for a reply that is no JSON array.
    static bool firstListed(const QByteArray& reply, QJsonObject* row);
    std::unique_ptr<TestDatabase> db;
};

void TestLogs::init()
{
    db = std::make_unique<TestDatabase>();
    // Fixed times so that the filters can be checked.
    const char* rows[] = {
        "(1, 'info', 'Program started', '2024-03-01 08:00:00')",
        "(2, 'alarm', 'Overload on meter 1', '2024-03-01 12:30:00')",
        "(3, 'warn', 'Mail not sent: it''s late', '2024-03-02 09:15:00')",
        "(4, 'error', 'SMTP failure', '2024-03-03 23:59:59')",
        "(5, 'info', 'Program started', '2024-03-04 00:00:00')",
    };
    for (const char* row : rows)
        QVERIFY(TestDatabase::exec(
            QStringLiteral("INSERT INTO Logs VALUES %1").arg(QLatin1String(row))));
}

void TestLogs::replies_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("details");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("error with message")
        << true << "Query error"
        << "" << QByteArray(R"({"error":true,"message":"Query error"})");
    QTest::newRow("error bare") << true << ""
                                << "" << QByteArray(R"({"error":true})");
    QTest::newRow("error details with quotes")
        << true << "Query error"
        << R"(near "x": syntax error)"
        << QByteArray(
               R"({"error":true,"message":"Query error","details":"near \"x\": syntax error"})");
    QTest::newRow("details only") << true << ""
                                  << "d" << QByteArray(R"({"error":true,"details":"d"})");
    QTest::newRow("message with quote and backslash stays valid JSON")
        << true << R"x(Invalid archive version. (0."1\))x"
        << "" << QByteArray(R"x({"error":true,"message":"Invalid archive version. (0.\"1\\)"})x");
    QTest::newRow("success bare") << false << ""
                                  << "" << QByteArray(R"({"success":true})");
    QTest::newRow("success with id") << false << "17"
                                     << "" << QByteArray(R"({"success":true,"message":"17"})");
}

void TestLogs::replies()
{
    QFETCH(bool, error);
    QFETCH(QString, message);
    QFETCH(QString, details);
    QFETCH(QByteArray, expected);
    const QByteArray reply =
        error ? Logs::errorJson(message, details) : Logs::successJson(message, details);
    QCOMPARE(reply, expected);
    QJsonParseError parseError;
    QJsonDocument::fromJson(reply, &parseError);
    QCOMPARE(parseError.error, QJsonParseError::NoError);
}

void TestLogs::addLogTypesAndEscaping_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("storedType");
    QTest::addColumn<QString>("storedMessage");
    QTest::newRow("warn, two lines with a slash") << 3 << "a/b\nc"
                                                  << "warn"
                                                  << R"(a\/b\nc)";
    QTest::newRow("info") << 1 << "Program started"
                          << "info"
                          << "Program started";
    QTest::newRow("alarm, quotes") << 2 << R"(U > "max")"
                                   << "alarm"
                                   << R"(U > \"max\")";
    QTest::newRow("error, backslash first") << 4 << R"(C:\dir\"x")"
                                            << "error"
                                            << R"(C:\\dir\\\"x\")";
    QTest::newRow("unknown type is info, CR and tab") << 7 << "a\r\tb"
                                                      << "info"
                                                      << R"(a\r\tb)";
    QTest::newRow("single quote kept") << 0 << "it's"
                                       << "info"
                                       << "it's";
    // Those the escaping above leaves are written as JSON writes them.
    QTest::newRow("other control characters")
        << 3 << "key \"\x1b[31m/x\x01\b\f\""
        << "warn" << R"(key \"\u001b[31m\/x\u0001\b\f\")";
}

void TestLogs::addLogTypesAndEscaping()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QString, storedType);
    QFETCH(QString, storedMessage);
    QVERIFY(TestDatabase::exec("DELETE FROM Logs"));
    Logs::addLog(type, message);
    QCOMPARE(TestDatabase::column("SELECT type FROM Logs"), QStringList{storedType});
    QCOMPARE(TestDatabase::column("SELECT message FROM Logs"), QStringList{storedMessage});
    // Stored escaped, the message reads back as the original text inside a JSON string.
    const QByteArray json = "[\"" + storedMessage.toUtf8() + "\"]";
    QCOMPARE(QJsonDocument::fromJson(json).array().at(0).toString(), message);
    // And so the grid lists it.
    t_GetArray all{{"eventsType", "10"}};
    const QByteArray reply = Logs::getLogsGridData_j(all, false);
    QJsonObject row;
    QVERIFY2(firstListed(reply, &row), reply.constData());
    QCOMPARE(row.value("message").toString(), message);
}

bool TestLogs::firstListed(const QByteArray& reply, QJsonObject* row)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return false;
    *row = doc.array().at(0).toObject();
    return true;
}

QStringList TestLogs::listedIds(const QByteArray& reply)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isArray())
        return {QStringLiteral("not a JSON array: ") + QString::fromUtf8(reply)};
    QStringList ids;
    for (const QJsonValue& row : doc.array())
        ids << row.toObject().value("idLogs").toString();
    return ids;
}

void TestLogs::grid_data()
{
    QTest::addColumn<QVariantMap>("filters");
    QTest::addColumn<QStringList>("ids");

    auto f = [](std::initializer_list<std::pair<const char*, const char*>> pairs) {
        QVariantMap m{{"eventsType", "10"}};
        for (const auto& p : pairs)
            m[QString::fromLatin1(p.first)] = QString::fromUtf8(p.second);
        return m;
    };
    QTest::newRow("all, newest first") << f({}) << QStringList{"5", "4", "3", "2", "1"};
    QTest::newRow("start date and time")
        << f({{"startDate", "2024-03-01"}, {"startTime", "12:00:00"}})
        << QStringList{"5", "4", "3", "2"};
    QTest::newRow("start time alone adds no condition")
        << f({{"startTime", "12:00:00"}}) << QStringList{"5", "4", "3", "2", "1"};
    QTest::newRow("end date alone")
        << f({{"endDate", "2024-03-02"}, {"endTime", "09:15:00"}}) << QStringList{"3", "2", "1"};
    QTest::newRow("both dates") << f({{"startDate", "2024-03-01"},
                                      {"startTime", "09:00:00"},
                                      {"endDate", "2024-03-03"},
                                      {"endTime", "23:59:59"}})
                                << QStringList{"4", "3", "2"};
    QTest::newRow("empty end time sorts before the day")
        << f({{"endDate", "2024-03-02"}}) << QStringList{"2", "1"};
    QTest::newRow("info") << f({{"eventsType", "1"}}) << QStringList{"5", "1"};
    QTest::newRow("alarm") << f({{"eventsType", "2"}}) << QStringList{"2"};
    QTest::newRow("warn") << f({{"eventsType", "3"}}) << QStringList{"3"};
    QTest::newRow("error with start date")
        << f({{"eventsType", "4"}, {"startDate", "2024-03-02"}}) << QStringList{"4"};
    QTest::newRow("text") << f({{"descContains", "started"}}) << QStringList{"5", "1"};
    QTest::newRow("text and type")
        << f({{"descContains", "meter"}, {"eventsType", "2"}}) << QStringList{"2"};
    QTest::newRow("text with a single quote") << f({{"descContains", "it's"}}) << QStringList{"3"};
    QTest::newRow("text that matches nothing") << f({{"descContains", "nothing"}}) << QStringList{};
}

void TestLogs::grid()
{
    QFETCH(QVariantMap, filters);
    QFETCH(QStringList, ids);
    t_GetArray get = TestDatabase::params(filters);
    QCOMPARE(listedIds(Logs::getLogsGridData_j(get, false)), ids);
}

void TestLogs::deletionRemovesExactlyTheListedLines()
{
    QFETCH(QVariantMap, filters);
    QFETCH(QStringList, ids);
    t_GetArray get = TestDatabase::params(filters);
    const QStringList before = TestDatabase::column("SELECT idLogs FROM Logs ORDER BY idLogs");
    QCOMPARE(Logs::getLogsGridData_j(get, true), QByteArray("{\"success\":true}"));
    QStringList remaining = before;
    for (const QString& id : ids)
        remaining.removeAll(id);
    QCOMPARE(TestDatabase::column("SELECT idLogs FROM Logs ORDER BY idLogs"), remaining);
}

void TestLogs::quoteInDescriptionCannotWidenADeletion()
{
    for (const char* type : {"0", "", "11"}) {
        t_GetArray bad{{"eventsType", type}};
        QVERIFY(Logs::getLogsGridData_j(bad, false)
                    .startsWith("{\"error\":true,\"message\":\"Query error\""));
        QVERIFY(Logs::getLogsGridData_j(bad, true).startsWith(
            "{\"error\":true,\"message\":\"Query error\""));
    }
    t_GetArray missingType{{"descContains", "x"}};
    QVERIFY(Logs::getLogsGridData_j(missingType, true).startsWith("{\"error\":true"));

    t_GetArray injection{{"eventsType", "10"}, {"descContains", "x' OR '1'='1"}};
    QCOMPARE(Logs::getLogsGridData_j(injection, false), QByteArray("[]"));
    QCOMPARE(Logs::getLogsGridData_j(injection, true), QByteArray("{\"success\":true}"));
    t_GetArray dateInjection{{"eventsType", "10"}, {"startDate", "2099-01-01' OR '1'='1"}};
    QCOMPARE(Logs::getLogsGridData_j(dateInjection, true), QByteArray("{\"success\":true}"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM Logs"), QString("5"));
}

void TestLogs::gridIsValidJsonWhateverIsStored_data()
{
    QTest::addColumn<QString>("stored"); // as an imported file may have put it into Logs
    QTest::addColumn<QString>("listed"); // the message as the browser reads it

    QTest::newRow("plain") << "Program started"
                           << "Program started";
    QTest::newRow("escaped as the event log stores it") << R"(it\/s \"q\"\n)"
                                                        << "it/s \"q\"\n";
    QTest::newRow("bare quotes") << R"(say "hi")"
                                 << R"(say "hi")";
    QTest::newRow("backslash without an escape") << R"(C:\temp\x)"
                                                 << R"(C:\temp\x)";
    QTest::newRow("backslash at the end") << R"(ends \)"
                                          << R"(ends \)";
    QTest::newRow("control characters") << "a\tb\nc\x01"
                                        << "a\tb\nc\x01";
    QTest::newRow("unicode escape") << R"(caf\u00e9)" << QString::fromUtf8("café");
    QTest::newRow("broken unicode escape") << R"(caf\u00zz)"
                                           << R"(caf\u00zz)";
}

void TestLogs::gridIsValidJsonWhateverIsStored()
{
    QFETCH(QString, stored);
    QFETCH(QString, listed);
    QVERIFY(TestDatabase::exec("DELETE FROM Logs"));
    QSqlQuery q(Database::connection());
    QVERIFY(Database::exec(q, "INSERT INTO Logs (type, message, dateTime) VALUES (?, ?, ?)",
                           {QString("in\"fo"), stored, QString("2024-03-01\t08:00")}));
    t_GetArray get{{"eventsType", "10"}};
    const QByteArray reply = Logs::getLogsGridData_j(get, false);
    QJsonObject row;
    QVERIFY2(firstListed(reply, &row), reply.constData());
    QCOMPARE(row.value("message").toString(), listed);
    QCOMPARE(row.value("type").toString(), QString("in\"fo"));
    QCOMPARE(row.value("dateTime").toString(), QString("2024-03-01\t08:00"));
}

QTEST_GUILESS_MAIN(TestLogs)
#include "tst_logs.moc"
