// A channel's stop: the session breaks it leaves in the archive.
#include "SettingsManager.h"
#include "TestDatabase.h"
#include "globals.h"
#include "polling/ChannelWorker.h"
#include "polling/ReadBuffer.h"
#include "polling/ReadIterations.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QTcpServer>
#include <QThread>

namespace {

constexpr qint64 Tick = 1700000000000; // a second's start: the sample is archived
constexpr int UntilReleased = -1;

} // namespace

class TestChannelWorker : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sessionBreaksWaitForABusyBuffer_data();
    void sessionBreaksWaitForABusyBuffer();

private:
    std::unique_ptr<TestDatabase> db;
};

void TestChannelWorker::init()
{
    db = std::make_unique<TestDatabase>();
    g_settingsManager->m_modbusPollInterval = 1000;
}

void TestChannelWorker::cleanup()
{
    db.reset();
}

void TestChannelWorker::sessionBreaksWaitForABusyBuffer_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<bool>("written");

    // Longer than one try of the buffer's lock, well within the stop's bound.
    QTest::newRow("busy past one try") << BufferInterface::LockTimeoutMs + 250 << true;
    QTest::newRow("busy through the stop") << UntilReleased << false;
}

void TestChannelWorker::sessionBreaksWaitForABusyBuffer()
{
    QFETCH(int, holdMs);
    QFETCH(bool, written);

    QVERIFY(TestDatabase::exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'd')"));
    QVERIFY(TestDatabase::exec("INSERT INTO ConfiguredParameters (idParameters, idDevice, "
                               "regAddr, archInterval) VALUES (1, 1, 100, 1)"));
    QSqlQuery q(Database::connection());
    q.exec("SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters");
    auto buffer = std::make_shared<ReadBuffer>(q, nullptr);
    {
        const TryLocker guard = buffer->lock();
        QVERIFY(guard);
        buffer->updateValue(1, 100, BufferInterface::ReadValue{5.0, Tick, 0});
    }
    QCOMPARE(buffer->archivedCount(), qint64(1));

    auto plan = std::make_shared<ReadIterations>();
    t_iterationConfig it;
    it.ModbusId = 1;
    it.regAddr = 100;
    it.valuesCnt = 1;
    it.idDevice = 1;
    plan->addIteration(it);

    // Nothing listens there: the line fails to open at once.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    t_tcpConnection c;
    c.id = 1;
    c.ip = QStringLiteral("127.0.0.1");
    c.portTCP = closed.serverPort();
    c.timeout = 100;
    closed.close();
    ChannelWorker worker(c, plan, buffer);
    worker.process();

    QSemaphore taken;
    QSemaphore release;
    std::unique_ptr<QThread> holder(QThread::create([&] {
        const TryLocker guard = buffer->lock();
        taken.release();
        release.tryAcquire(1, holdMs);
    }));
    holder->start();
    taken.acquire();
    if (!written)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("1 session breaks could not be written"));
    worker.stopChannel(Tick);
    release.release();
    QVERIFY(holder->wait(10000));

    QCOMPARE(buffer->flushArchive(10000), 0);
    QCOMPARE(TestDatabase::column("SELECT flag FROM ArchiveData ORDER BY dateTime"),
             written ? QStringList({"0", "6"}) : QStringList({"0"}));
    QCOMPARE(TestDatabase::column("SELECT message FROM Logs WHERE type = 'warn'"),
             written ? QStringList()
                     : QStringList({"Channel 127.0.0.1: 1 session breaks could not be written."}));
}

QTEST_GUILESS_MAIN(TestChannelWorker)
#include "tst_channelworker.moc"
