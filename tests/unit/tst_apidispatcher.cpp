// The web API's guards: visual mode, privileges and the try-locks, in their order.
#include "ApiDispatcher.h"

#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {
const QByteArray visual = "{\"error\":true,\"message\":\"App is in visual mode\"}";
const QByteArray privilege =
    "{\"error\":true,\"message\":\"User doesn\'t have required privilege\"}";
const QByteArray dbLocked = "{\"error\":true,\"message\":\"Database mutex locked\"}";
const QByteArray modbusLocked = "{\"error\":true,\"message\":\"Modbus Mutex error\"}";
} // namespace

class TestApiDispatcher : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void guards_data();
    void guards();
    void aConfigCallHeldPastTheTimeoutLocksOutTheNext();
    void busyLocksGiveTheirReplies_data();
    void busyLocksGiveTheirReplies();

private:
    QByteArray call(const QByteArray& func, qint16 priv);

    QMutex dbMutex;
    QMutex modbusMutex;
    QMutex flagsMutex;
    std::atomic<bool> polling{false};
    QMutex statsMutex;
    QSemaphore entered;
    QSemaphore release;
    std::unique_ptr<ApiDispatcher> api;
};

void TestApiDispatcher::init()
{
    polling = false;
    api = std::make_unique<ApiDispatcher>(ApiDispatcher::Environment{
        &dbMutex, &modbusMutex, &flagsMutex, [this] { return polling.load(); }, &statsMutex});
    using G = ApiDispatcher::Guard;
    auto reply = [](const char* text) {
        return [text](t_GetArray&, qint16) { return QByteArray(text); };
    };
    api->add("cfg_getDevCfg", G::None, reply("devices"));
    api->add("cfg_addNewDevice", G::None, reply("added"));
    api->add("cfg_viewNameExists", G::None, reply("exists"));
    api->add("cfg_slow", G::None, [this](t_GetArray&, qint16) {
        entered.release();
        release.acquire();
        return QByteArray("slow");
    });
    api->add("deleteLogsEnries", G::FullRights, reply("deleted"));
    api->add("cfg_clearDatabase", G::FullRights, reply("cleared"));
    api->add("getGeneralInfo", G::None,
             [](t_GetArray&, qint16 p) { return QByteArray::number(p); });
    api->add("startPolling", G::Flags, reply("flagged"));
    api->add("pingDevice", G::Modbus, reply("pong"));
    api->add("getModbusStats", G::Stats, reply("stats"));
}

QByteArray TestApiDispatcher::call(const QByteArray& func, qint16 priv)
{
    t_GetArray get{{"func", func}};
    return api->dispatch(get, priv);
}

void TestApiDispatcher::guards_data()
{
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<int>("priv");
    QTest::addColumn<bool>("pollingRuns");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("read, full rights")
        << QByteArray("cfg_getDevCfg") << 255 << false << QByteArray("devices");
    QTest::newRow("read while polling, read-only")
        << QByteArray("cfg_getDevCfg") << 1 << true << QByteArray("devices");
    QTest::newRow("change while polling: visual mode first")
        << QByteArray("cfg_addNewDevice") << 1 << true << visual;
    QTest::newRow("change, read-only") << QByteArray("cfg_addNewDevice") << 1 << false << privilege;
    QTest::newRow("change, privilege 2")
        << QByteArray("cfg_addNewDevice") << 2 << false << QByteArray("added");
    QTest::newRow("change, privilege 0 is not read-only")
        << QByteArray("cfg_addNewDevice") << 0 << false << QByteArray("added");
    QTest::newRow("name without _get, read-only")
        << QByteArray("cfg_viewNameExists") << 1 << false << privilege;
    QTest::newRow("name without _get while polling")
        << QByteArray("cfg_viewNameExists") << 255 << true << visual;
    QTest::newRow("unknown cfg_ passes the guards")
        << QByteArray("cfg_noSuch") << 255 << false << QByteArray();
    QTest::newRow("unknown cfg_ read-only") << QByteArray("cfg_noSuch") << 1 << false << privilege;
    QTest::newRow("unknown") << QByteArray("noSuch") << 255 << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << 255 << false << QByteArray();
    QTest::newRow("case matters") << QByteArray("getgeneralinfo") << 255 << false << QByteArray();
    QTest::newRow("delete logs, 255")
        << QByteArray("deleteLogsEnries") << 255 << true << QByteArray("deleted");
    QTest::newRow("delete logs, 2") << QByteArray("deleteLogsEnries") << 2 << false << privilege;
    QTest::newRow("cfg_ with full rights only, 255")
        << QByteArray("cfg_clearDatabase") << 255 << false << QByteArray("cleared");
    QTest::newRow("cfg_ with full rights only, 2")
        << QByteArray("cfg_clearDatabase") << 2 << false << privilege;
    QTest::newRow("cfg_ with full rights only, while polling")
        << QByteArray("cfg_clearDatabase") << 2 << true << visual;
    QTest::newRow("caller's privilege reaches the handler")
        << QByteArray("getGeneralInfo") << 1 << true << QByteArray("1");
    QTest::newRow("flags") << QByteArray("startPolling") << 1 << true << QByteArray("flagged");
    QTest::newRow("modbus") << QByteArray("pingDevice") << 1 << true << QByteArray("pong");
    QTest::newRow("stats") << QByteArray("getModbusStats") << 1 << false << QByteArray("stats");
}

void TestApiDispatcher::guards()
{
    QFETCH(QByteArray, func);
    QFETCH(int, priv);
    QFETCH(bool, pollingRuns);
    QFETCH(QByteArray, reply);
    polling = pollingRuns;
    QCOMPARE(call(func, qint16(priv)), reply);
}

void TestApiDispatcher::aConfigCallHeldPastTheTimeoutLocksOutTheNext()
{
    QByteArray slowReply;
    QThread* slow = QThread::create([&] { slowReply = call("cfg_slow", 255); });
    slow->start();
    QVERIFY(entered.tryAcquire(1, 10000)); // the slow call holds the database lock now

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(call("cfg_getDevCfg", 255), dbLocked);
    QVERIFY2(timer.elapsed() >= 1900, "gave up before the 2000 ms time-out");
    // Refused before the lock: no waiting for visual mode or privileges.
    polling = true;
    timer.restart();
    QCOMPARE(call("cfg_addNewDevice", 255), visual);
    QVERIFY(timer.elapsed() < 1000);
    polling = false;
    // Other functions do not wait for the configuration lock.
    QCOMPARE(call("pingDevice", 255), QByteArray("pong"));

    release.release();
    QVERIFY(slow->wait(10000));
    delete slow;
    QCOMPARE(slowReply, QByteArray("slow"));
    QCOMPARE(call("cfg_getDevCfg", 255), QByteArray("devices"));
}

void TestApiDispatcher::busyLocksGiveTheirReplies_data()
{
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("flags lock busy: empty") << QByteArray("startPolling") << QByteArray();
    QTest::newRow("modbus lock busy") << QByteArray("pingDevice") << modbusLocked;
    QTest::newRow("stats lock busy: empty") << QByteArray("getModbusStats") << QByteArray();
}

void TestApiDispatcher::busyLocksGiveTheirReplies()
{
    QFETCH(QByteArray, func);
    QFETCH(QByteArray, reply);
    QSemaphore locked;
    QSemaphore done;
    QThread* holder = QThread::create([&] {
        flagsMutex.lock();
        modbusMutex.lock();
        statsMutex.lock();
        locked.release();
        done.acquire();
        statsMutex.unlock();
        modbusMutex.unlock();
        flagsMutex.unlock();
    });
    holder->start();
    QVERIFY(locked.tryAcquire(1, 10000));
    QCOMPARE(call(func, 255), reply);
    done.release();
    QVERIFY(holder->wait(10000));
    delete holder;
}

QTEST_GUILESS_MAIN(TestApiDispatcher)
#include "tst_apidispatcher.moc"
