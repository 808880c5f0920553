// The polling run's start and stop without devices on the wire: state, statistics
// registration, the channels it starts, and a failed start.
#include "SettingsManager.h"
#include "Stats.h"
#include "TestDatabase.h"
#include "globals.h"
#include "polling/Poller.h"

#include <QThread>

class TestPoller : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void runsWithoutConnections();
    void registersReferencedConnectionsOnly();
    void maxTimeoutOnlyGrows();
    void aFailedStartLeavesNothingBehind();

private:
    static QByteArray statsJson()
    {
        const TryLocker guard = g_stats->lock();
        return guard ? g_stats->getModbusStats_j() : QByteArray("lock not taken");
    }
    static void exec(const QString& sql) { QVERIFY2(TestDatabase::exec(sql), qPrintable(sql)); }
    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<Poller> poller;
};

void TestPoller::init()
{
    db = std::make_unique<TestDatabase>();
    g_settingsManager->m_modbusPollInterval = 1000;
    g_settingsManager->m_modbusIterDelay = 0;
    poller = std::make_unique<Poller>(nullptr, nullptr);
}

void TestPoller::cleanup()
{
    poller->stopPolling();
    poller.reset();
    db.reset();
}

void TestPoller::runsWithoutConnections()
{
    QCOMPARE(poller->getAppState_j(), QByteArray("{\"state\":\"idle\"}"));
    QCOMPARE(poller->getAllValues_j(),
             QByteArray("{\"error\":true, \"message\":\"Visual mode disabled.\"}"));
    poller->stopPolling(); // idle: nothing happens
    poller->startPolling();
    QVERIFY(poller->isRunning());
    QCOMPARE(poller->getAppState_j(), QByteArray("{\"state\":\"running\"}"));
    QCOMPARE(poller->getAllValues_j(), QByteArray("{}"));
    poller->startPolling(); // running: nothing happens
    poller->stopPolling();
    QVERIFY(!poller->isRunning());
    QCOMPARE(poller->getAllValues_j(),
             QByteArray("{\"error\":true, \"message\":\"Visual mode disabled.\"}"));
}

void TestPoller::registersReferencedConnectionsOnly()
{
    exec("INSERT INTO SerialConnections VALUES (1, 'a', 'ttyNone1', 9600, 'N', 1, 100)");
    exec("INSERT INTO SerialConnections VALUES (2, 'unused', 'ttyNone2', 9600, 'N', 1, 100)");
    exec("INSERT INTO TCPConnections VALUES (1, 'b', '127.0.0.1', 1, 100)");
    // Inactive devices only: registered, no worker.
    exec("INSERT INTO Devices (idDevices, name, connectionType, idOfConnection, isActive) VALUES "
         "(10, 'x', 'serial', 1, 0), (11, 'y', 'serial', 1, 0), (12, 'z', 'tcp', 1, 0)");
    exec("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice) "
         "VALUES "
         "(1, 1, 4, 16, 16, 10)");
    poller->startPolling();
    QVERIFY(poller->isRunning());
    const QByteArray stats = statsJson();
    QCOMPARE(stats.count("\"chanId\":1,\"chanType\":\"serial\""), 2);
    QCOMPARE(stats.count("\"chanType\":\"tcp\",\"deviceId\":12,\"poolsCnt\":0"), 1);
    QVERIFY(!stats.contains("\"chanId\":2"));
    QCOMPARE(poller->getAllValues_j(),
             QByteArray("{}")); // inactive devices' parameters are not loaded
    poller->stopPolling();
    QCOMPARE(statsJson(), QByteArray("[]"));
}

void TestPoller::maxTimeoutOnlyGrows()
{
    exec("INSERT INTO TCPConnections VALUES (1, 'slow', '127.0.0.1', 1, 8000)");
    exec("INSERT INTO TCPConnections VALUES (2, 'fast', '127.0.0.1', 2, 1000)");
    exec("INSERT INTO Devices (idDevices, name, connectionType, idOfConnection, isActive) VALUES "
         "(1, 'a', 'tcp', 1, 0), (2, 'b', 'tcp', 2, 0)");
    QCOMPARE(poller->maxTimeout(), 5000);
    poller->startPolling();
    poller->stopPolling();
    QCOMPARE(poller->maxTimeout(), 8000);
    exec("DELETE FROM Devices WHERE idDevices = 1");
    poller->startPolling();
    poller->stopPolling();
    QCOMPARE(poller->maxTimeout(), 8000);
}

void TestPoller::aFailedStartLeavesNothingBehind()
{
    exec("INSERT INTO TCPConnections VALUES (1, 'b', '127.0.0.1', 1, 100)");
    exec("INSERT INTO Devices (idDevices, name, connectionType, idOfConnection, isActive) VALUES "
         "(1, 'a', 'tcp', 1, 1)");
    exec("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice) "
         "VALUES "
         "(1, 1, 4, 16, 16, 1)");
    // The serial channels start; the TCP read plan query then fails.
    exec("INSERT INTO SerialConnections VALUES (1, 'a', 'ttyNone1', 9600, 'N', 1, 100)");
    exec("INSERT INTO Devices (idDevices, name, connectionType, idOfConnection, isActive) VALUES "
         "(2, 'b', 'serial', 1, 1)");
    exec("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice) "
         "VALUES "
         "(1, 1, 4, 16, 16, 2)");
    exec("ALTER TABLE TCPConnections RENAME TO Other");
    exec("CREATE TABLE TCPConnections (idTCPConnections integer primary key, name, ip, portTCP, "
         "timeout)");
    exec("INSERT INTO TCPConnections SELECT * FROM Other");
    exec("DROP TABLE Other");
    exec("ALTER TABLE TCPConnections RENAME COLUMN idTCPConnections TO idRenamed");
    poller->startPolling();
    QVERIFY(!poller->isRunning());
    QCOMPARE(statsJson(), QByteArray("[]"));
    // The channel that had started is gone: a later start works as usual.
    exec("ALTER TABLE TCPConnections RENAME COLUMN idRenamed TO idTCPConnections");
    poller->startPolling();
    QVERIFY(poller->isRunning());
}

QTEST_GUILESS_MAIN(TestPoller)
#include "tst_poller.moc"
