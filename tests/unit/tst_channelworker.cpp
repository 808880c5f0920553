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
    // A second tick just past the start of a second with the one before empty: it is held
    // until the next tick or the stop tells its period.
    QTest::addColumn<bool>("heldTick");

    // Longer than one try of the buffer's lock, well within the stop's bound.
    QTest::newRow("busy past one try") << BufferInterface::LockTimeoutMs + 250 << true << false;
    QTest::newRow("busy through the stop") << UntilReleased << false << false;
    QTest::newRow("busy past one try, a tick held")
        << BufferInterface::LockTimeoutMs + 250 << true << true;
    QTest::newRow("busy through the stop, a tick held") << UntilReleased << false << true;
}

void TestChannelWorker::sessionBreaksWaitForABusyBuffer()
{
    QFETCH(int, holdMs);
    QFETCH(bool, written);
    QFETCH(bool, heldTick);

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
        if (heldTick)
            buffer->updateValue(1, 100, BufferInterface::ReadValue{6.0, Tick + 2010, 0});
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

    // The stop's end: the held tick keeps its own second, with or without the session breaks.
    QCOMPARE(buffer->close(10000), 0);
    QStringList rows{"5.0|0"};
    if (heldTick)
        rows << "6.0|0";
    if (written)
        rows << "0.0|6";
    QCOMPARE(TestDatabase::column("SELECT value || '|' || flag FROM ArchiveData ORDER BY dateTime"),
             rows);
    QCOMPARE(TestDatabase::column("SELECT message FROM Logs WHERE type = 'warn'"),
             written ? QStringList()
                     : QStringList({"Channel 127.0.0.1: 1 session breaks could not be written."}));
}

QTEST_GUILESS_MAIN(TestChannelWorker)
#include "tst_channelworker.moc"
