// The settings row and its variables.
#include "SettingsManager.h"
#include "TestDatabase.h"

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void init() { db = std::make_unique<TestDatabase>(); }
    void cleanup() { db.reset(); }

    void loadsTheRow();
    void missingRowGivesDefaultsAndKeepsTheStartState();
    void getSetting();
    void save_data();
    void save();
    void saveUpdatesTheVariables();

private:
    static QString row()
    {
        return TestDatabase::value("SELECT modbusPollInterval || '|' || modbusIterDelay || '|' || "
                                   "sessionEnabled || '|' || defaultAppState FROM Settings");
    }
    std::unique_ptr<TestDatabase> db;
    SettingsManager settings;
};

void TestSettings::loadsTheRow()
{
    QVERIFY(
        TestDatabase::exec("UPDATE Settings SET modbusPollInterval = 1000, modbusIterDelay = 0, "
                           "sessionEnabled = 2, defaultAppState = 1"));
    settings.updateSettingsVariables();
    QCOMPARE(settings.m_modbusPollInterval.load(), 1000);
    QCOMPARE(settings.m_modbusIterDelay.load(), 0);
    QCOMPARE(settings.m_sessionEnabled.load(), true);
    QCOMPARE(int(settings.m_defaultAppState.load()), 1);
}

void TestSettings::missingRowGivesDefaultsAndKeepsTheStartState()
{
    settings.m_defaultAppState = 1;
    settings.m_sessionEnabled = true;
    QVERIFY(TestDatabase::exec("DELETE FROM Settings"));
    settings.updateSettingsVariables();
    QCOMPARE(settings.m_modbusPollInterval.load(), 5000);
    QCOMPARE(settings.m_modbusIterDelay.load(), 10);
    QCOMPARE(settings.m_sessionEnabled.load(), false);
    QCOMPARE(int(settings.m_defaultAppState.load()), 1);
    QCOMPARE(
        settings.getSetting_j(),
        QByteArray(
            R"({"idSettings":"","archiveVersion":"","modbusPollInterval":"","modbusIterDelay":"",)"
            R"("sessionEnabled":"","defaultAppState":""})"));
}

void TestSettings::getSetting()
{
    QCOMPARE(settings.getSetting_j(),
             QByteArray(R"({"idSettings":"1","archiveVersion":"0.1.1","modbusPollInterval":"5000",)"
                        R"("modbusIterDelay":"10","sessionEnabled":"0","defaultAppState":"0"})"));
    QVERIFY(TestDatabase::exec("DROP TABLE Settings"));
    QCOMPARE(settings.getSetting_j(), QByteArray("{}"));
}

void TestSettings::save_data()
{
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("stored");
    const QString unchanged = "5000|10|0|0";
    const QString saveError = R"({"error":true,"message":"Settings save error","details":)";
    QTest::newRow("all keys") << QVariantMap{{"modbusPollInterval", "1000"},
                                             {"modbusIterDelay", "0"},
                                             {"sessionEnabled", "1"},
                                             {"defaultAppState", "1"}}
                              << R"({"success":true})"
                              << "1000|0|1|1";
    QTest::newRow("without modbusIterDelay")
        << QVariantMap{{"modbusPollInterval", "1000"}}
        << R"({"error":true,"message":"Parameters error"})" << unchanged;
    QTest::newRow("without modbusPollInterval")
        << QVariantMap{{"modbusIterDelay", "1"}} << R"({"error":true,"message":"Parameters error"})"
        << unchanged;
    QTest::newRow("without sessionEnabled stores 0") << QVariantMap{{"modbusPollInterval", "2000"},
                                                                    {"modbusIterDelay", "5"},
                                                                    {"defaultAppState", "1"}}
                                                     << R"({"success":true})"
                                                     << "2000|5|0|1";
    QTest::newRow("start state in 16 bits") << QVariantMap{{"modbusPollInterval", "2000"},
                                                           {"modbusIterDelay", "5"},
                                                           {"defaultAppState", "65537"}}
                                            << R"({"success":true})"
                                            << "2000|5|0|1";
    QTest::newRow("non-numeric switches give 0") << QVariantMap{{"modbusPollInterval", "2000"},
                                                                {"modbusIterDelay", "5"},
                                                                {"sessionEnabled", "yes"}}
                                                 << R"({"success":true})"
                                                 << "2000|5|0|0";
    QTest::newRow("empty interval")
        << QVariantMap{{"modbusPollInterval", ""}, {"modbusIterDelay", "5"}} << saveError
        << unchanged;
    QTest::newRow("text interval")
        << QVariantMap{{"modbusPollInterval", "fast"}, {"modbusIterDelay", "5"}} << saveError
        << unchanged;
    QTest::newRow("statement in an interval")
        << QVariantMap{{"modbusPollInterval", "1,modbusIterDelay=0"}, {"modbusIterDelay", "5"}}
        << saveError << unchanged;
    // Values that cannot work: a poll without pause, a poll that never comes, a negative pause.
    QTest::newRow("poll interval 0")
        << QVariantMap{{"modbusPollInterval", "0"}, {"modbusIterDelay", "5"}}
        << saveError + R"("modbusPollInterval: 0 is not within 1 to 2147483647"})" << unchanged;
    QTest::newRow("negative poll interval")
        << QVariantMap{{"modbusPollInterval", "-1000"}, {"modbusIterDelay", "5"}} << saveError
        << unchanged;
    QTest::newRow("negative iteration delay")
        << QVariantMap{{"modbusPollInterval", "1000"}, {"modbusIterDelay", "-1"}}
        << saveError + R"("modbusIterDelay: -1 is not within 0 to 2147483647"})" << unchanged;
    QTest::newRow("interval beyond 32 bits")
        << QVariantMap{{"modbusPollInterval", "4294968296"}, {"modbusIterDelay", "5"}} << saveError
        << unchanged;
    QTest::newRow("fraction") << QVariantMap{{"modbusPollInterval", "1000"},
                                             {"modbusIterDelay", "2.5"}}
                              << saveError << unchanged;
}

void TestSettings::save()
{
    QFETCH(QVariantMap, params);
    QFETCH(QString, reply);
    QFETCH(QString, stored);
    t_GetArray get = TestDatabase::params(params);
    const QByteArray actual = settings.saveSetting_j(get);
    QVERIFY2(actual.startsWith(reply.toUtf8()), actual.constData());
    QCOMPARE(row(), stored);
}

void TestSettings::saveUpdatesTheVariables()
{
    settings.updateSettingsVariables();
    QCOMPARE(settings.m_sessionEnabled.load(), false);
    t_GetArray get{
        {"modbusPollInterval", "750"}, {"modbusIterDelay", "3"}, {"sessionEnabled", "1"}};
    QCOMPARE(settings.saveSetting_j(get), QByteArray(R"({"success":true})"));
    QCOMPARE(settings.m_modbusPollInterval.load(), 750);
    QCOMPARE(settings.m_modbusIterDelay.load(), 3);
    QCOMPARE(settings.m_sessionEnabled.load(), true);

    // A failed save keeps the variables.
    t_GetArray bad{{"modbusPollInterval", "x"}, {"modbusIterDelay", "3"}};
    settings.saveSetting_j(bad);
    QCOMPARE(settings.m_modbusPollInterval.load(), 750);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
