// The archive buffer: which samples are due, their aligned times, and the batches written.
#include "SettingsManager.h"
#include "TestDatabase.h"
#include "globals.h"
#include "polling/ArchiveBuffer.h"

#include <QDateTime>
#include <QSemaphore>
#include <QThread>

#include <limits>

namespace {

qint64 at(const char* localTime)
{
    return QDateTime::fromString(QLatin1String(localTime), "yyyy-MM-dd hh:mm:ss.zzz")
        .toMSecsSinceEpoch();
}

BufferInterface::ReadValue sample(double val, qint64 time, int flag = 0)
{
    return BufferInterface::ReadValue{val, time, flag};
}

} // namespace

class TestArchiveBuffer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void dueSamples_data();
    void dueSamples();
    void theFiftiethRowWrites();
    void equalRowsAreStoredOnce();
    void valuesAreStoredWhateverTheirValue();
    void sessionBreaksAreQueuedAsTheyCome();
    void rowsWrittenDuringALongReadAreAllStored();
    void rowsWaitWhileAnotherWriterHoldsTheDatabase();

private:
    // Parameters 1..n of one device with the given archive interval (s).
    std::unique_ptr<ArchiveBuffer> buffer(int parameters, int archInterval);
    static QStringList stored();
    std::unique_ptr<TestDatabase> db;
};

void TestArchiveBuffer::init()
{
    db = std::make_unique<TestDatabase>();
    g_settingsManager->m_modbusPollInterval = 5000;
    QVERIFY(TestDatabase::exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'd')"));
}

void TestArchiveBuffer::cleanup()
{
    db.reset();
}

std::unique_ptr<ArchiveBuffer> TestArchiveBuffer::buffer(int parameters, int archInterval)
{
    for (int p = 1; p <= parameters; ++p) {
        [&] {
            QVERIFY(TestDatabase::exec(
                QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, "
                               "regAddr, archInterval) VALUES (%1, 1, %1, %2)")
                    .arg(p)
                    .arg(archInterval)));
        }();
    }
    QSqlQuery q(Database::connection());
    q.exec("SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters");
    return std::make_unique<ArchiveBuffer>(q, nullptr);
}

QStringList TestArchiveBuffer::stored()
{
    return TestDatabase::column(
        "SELECT idParameter || '|' || dateTime || '|' || ifnull(value, 'NULL') || '|' || "
        "flag FROM ArchiveData ORDER BY dateTime, idParameter, value");
}

void TestArchiveBuffer::dueSamples_data()
{
    QTest::addColumn<int>("archInterval");
    QTest::addColumn<int>("pollInterval");
    QTest::addColumn<QStringList>("ticks");
    QTest::addColumn<QStringList>("archived"); // aligned local times

    QStringList everyFiveSeconds;
    for (int s = 0; s <= 60; s += 5)
        everyFiveSeconds << QStringLiteral("2024-03-01 12:%1:%2.300")
                                .arg(s / 60, 2, 10, QLatin1Char('0'))
                                .arg(s % 60, 2, 10, QLatin1Char('0'));
    QTest::newRow("60 s period, one window a minute")
        << 60 << 5000 << everyFiveSeconds
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:01:00"};
    QTest::newRow("1 s period, 5 s ticks: every tick, aligned to 5 s")
        << 1 << 5000
        << QStringList{"2024-03-01 12:00:02.700", "2024-03-01 12:00:07.700",
                       "2024-03-01 12:00:12.700"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:00:05", "2024-03-01 12:00:10"};
    QTest::newRow("missed window: first tick a period later, aligned to its period")
        << 60 << 5000
        << QStringList{"2024-03-01 12:00:00.300", "2024-03-01 12:00:55.300",
                       "2024-03-01 12:01:05.300", "2024-03-01 12:01:10.300"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:01:00"};
    QTest::newRow("no window yet: nothing before the first window")
        << 60 << 5000 << QStringList{"2024-03-01 12:00:10.000", "2024-03-01 12:00:50.000"}
        << QStringList{};
    QTest::newRow("1 s period, 1 s ticks")
        << 1 << 1000
        << QStringList{"2024-03-01 12:00:00.100", "2024-03-01 12:00:01.100",
                       "2024-03-01 12:00:02.900"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:00:01", "2024-03-01 12:00:02"};
    QTest::newRow("not archived") << 0 << 5000 << everyFiveSeconds << QStringList{};
    QTest::newRow("negative period") << -5 << 5000 << everyFiveSeconds << QStringList{};
}

void TestArchiveBuffer::dueSamples()
{
    QFETCH(int, archInterval);
    QFETCH(int, pollInterval);
    QFETCH(QStringList, ticks);
    QFETCH(QStringList, archived);
    g_settingsManager->m_modbusPollInterval = pollInterval;
    auto b = buffer(1, archInterval);
    for (const QString& tick : ticks)
        b->addValue(1, sample(230.5, at(tick.toLatin1().constData())));
    QCOMPARE(b->archivedCount(), qint64(archived.size()));
    b->flushBuffer();
    QStringList expected;
    for (const QString& time : archived)
        expected << QStringLiteral("1|%1|230.5|0").arg(time);
    QCOMPARE(stored(), expected);
}

void TestArchiveBuffer::theFiftiethRowWrites()
{
    auto b = buffer(60, 1);
    const qint64 t = at("2024-03-01 12:00:00.100");
    for (int p = 1; p <= 49; ++p)
        b->addValue(p, sample(p, t));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("0"));
    b->addValue(50, sample(50, t));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("50"));
    QCOMPARE(b->pendingCount(), 0);
    for (int p = 51; p <= 60; ++p)
        b->addValue(p, sample(p, t));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("50"));
    b->flushBuffer(); // as the stop does
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("60"));
    QCOMPARE(b->archivedCount(), qint64(60));
}

void TestArchiveBuffer::equalRowsAreStoredOnce()
{
    auto b = buffer(1, 1);
    const qint64 t = at("2024-03-01 12:00:00.100");
    b->addValue(1, sample(7.5, t));
    b->addValue(1, sample(7.5, t));
    b->addValue(1, sample(7.25, t));
    b->flushBuffer();
    QCOMPARE(stored(),
             QStringList({"1|2024-03-01 12:00:00|7.25|0", "1|2024-03-01 12:00:00|7.5|0"}));
}

void TestArchiveBuffer::valuesAreStoredWhateverTheirValue()
{
    auto b = buffer(4, 1);
    const qint64 t = at("2024-03-01 12:00:00.100");
    b->addValue(1, sample(std::numeric_limits<double>::quiet_NaN(), t));
    b->addValue(2, sample(std::numeric_limits<double>::infinity(), t));
    b->addValue(3, sample(1234567.891, t));
    b->addValue(4, sample(0.0, t, 3));
    b->flushBuffer();
    // The batch with non-finite values is written, and no value is rounded.
    QCOMPARE(
        TestDatabase::column(
            "SELECT idParameter || '|' || ifnull(value, 'NULL') || '|' || flag FROM ArchiveData "
            "ORDER BY idParameter"),
        QStringList({"1|NULL|0", "2|Inf|0", "3|1234567.891|0", "4|0.0|3"}));
}

void TestArchiveBuffer::sessionBreaksAreQueuedAsTheyCome()
{
    auto b = buffer(2, 60);
    QVERIFY(TestDatabase::exec(
        "UPDATE ConfiguredParameters SET archInterval = 0 WHERE idParameters = 2"));
    const qint64 stop = at("2024-03-01 12:00:07.654") + 1000;
    b->addSessionBreakValue(1, sample(0.0, stop, 6));
    b->addSessionBreakValue(99, sample(0.0, stop, 6));
    QCOMPARE(b->archivedCount(), qint64(0));
    b->flushBuffer();
    QCOMPARE(stored(), QStringList({"1|2024-03-01 12:00:08|0.0|6"}));
}

void TestArchiveBuffer::rowsWrittenDuringALongReadAreAllStored()
{
    auto b = buffer(50, 1);
    QSemaphore reading;
    QSemaphore written;
    QString countInside;
    QThread* reader = QThread::create([&] {
        QSqlQuery q(Database::connection());
        q.exec("BEGIN");
        q.exec("SELECT * FROM ArchiveData");
        q.next();
        countInside = TestDatabase::value("SELECT COUNT(*) FROM ArchiveData");
        reading.release();
        written.acquire();
        q.exec("COMMIT");
    });
    reader->start();
    QVERIFY(reading.tryAcquire(1, 10000));
    for (int tick = 0; tick < 4; ++tick) {
        const qint64 t = at("2024-03-01 12:00:00.100") + tick * 5000;
        for (int p = 1; p <= 50; ++p)
            b->addValue(p, sample(p, t));
    }
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("200"));
    written.release();
    QVERIFY(reader->wait(10000));
    delete reader;
    QCOMPARE(countInside, QString("0"));
}

void TestArchiveBuffer::rowsWaitWhileAnotherWriterHoldsTheDatabase()
{
    auto b = buffer(50, 1);
    QSemaphore locked;
    QThread* writer = QThread::create([&] {
        QSqlQuery q(Database::connection());
        q.exec("BEGIN IMMEDIATE");
        q.exec("INSERT INTO Logs (type, message) VALUES ('info', 'long transaction')");
        locked.release();
        QThread::msleep(500); // the other writer's transaction, long enough to be met
        q.exec("COMMIT");
    });
    writer->start();
    QVERIFY(locked.tryAcquire(1, 10000));
    const qint64 t = at("2024-03-01 12:00:00.100");
    for (int p = 1; p <= 50; ++p)
        b->addValue(p, sample(p, t));
    QVERIFY(writer->wait(10000));
    delete writer;
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("50"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM Logs"), QString("1"));
}

QTEST_GUILESS_MAIN(TestArchiveBuffer)
#include "tst_archivebuffer.moc"
