// The archive buffer: which samples are due, their aligned times, and the batches written.
#include "SettingsManager.h"
#include "TestDatabase.h"
#include "globals.h"
#include "polling/ArchiveBuffer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QThread>

#include <csignal>
#include <ctime>
#include <sys/resource.h>
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

// Files of this process cannot grow while it lives: a full disk for SQLite.
class FileSizeLimit
{
public:
    FileSizeLimit()
    {
        m_oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        if (::getrlimit(RLIMIT_FSIZE, &m_old) != 0)
            return;
        rlimit full = m_old;
        full.rlim_cur = 1;
        m_set = ::setrlimit(RLIMIT_FSIZE, &full) == 0;
    }
    ~FileSizeLimit()
    {
        release();
        std::signal(SIGXFSZ, m_oldSignal);
    }

    bool isSet() const { return m_set; }
    void release()
    {
        if (m_set)
            ::setrlimit(RLIMIT_FSIZE, &m_old);
        m_set = false;
    }

private:
    rlimit m_old = {};
    bool m_set = false;
    void (*m_oldSignal)(int) = nullptr;
};

} // namespace

class TestArchiveBuffer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void dueSamples_data();
    void dueSamples();
    void ticksAtAPeriodStartGiveOneRowEachPeriod_data();
    void ticksAtAPeriodStartGiveOneRowEachPeriod();
    void rowsReachTheDatabaseAtFiftyOrWithinASecond();
    void onePerParameterAndAlignedTime_data();
    void onePerParameterAndAlignedTime();
    void valuesAreStoredWhateverTheirValue();
    void sessionBreaksAreQueuedAsTheyCome();
    void aSessionBreakComesAfterTheLastRow();
    void rowsWrittenDuringALongReadAreAllStored();
    void rowsWaitWhileAnotherWriterHoldsTheDatabase();
    void failedWritesAreTriedAgain();
    void aFullQueueDropsWithOneWarning();
    void anOutageBeyondTheBoundSaysWhatWasGivenUp();
    void aFullDiskLosesNoRowAndReportsOnceThereIsRoom();
    void localTimeTextsAcrossDaylightSaving();

private:
    // Parameters 1..n of one device with the given archive interval (s).
    std::unique_ptr<ArchiveBuffer> buffer(int parameters, int archInterval);
    static QStringList stored();
    static int count() { return TestDatabase::value("SELECT COUNT(*) FROM ArchiveData").toInt(); }
    static QStringList logLines()
    {
        return TestDatabase::column("SELECT type || '|' || message FROM Logs ORDER BY idLogs");
    }
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
    QTest::newRow("wall clock set back two minutes: nothing written twice")
        << 60 << 5000
        << QStringList{"2024-03-01 12:05:00.300", "2024-03-01 12:06:00.300",
                       "2024-03-01 12:04:00.300", "2024-03-01 12:05:00.300",
                       "2024-03-01 12:06:00.300", "2024-03-01 12:07:00.300"}
        << QStringList{"2024-03-01 12:05:00", "2024-03-01 12:06:00", "2024-03-01 12:07:00"};
    QTest::newRow("1 s ticks just short of their second count for it")
        << 1 << 1000
        << QStringList{"2024-03-01 12:00:00.990", "2024-03-01 12:00:02.010",
                       "2024-03-01 12:00:02.985"}
        << QStringList{"2024-03-01 12:00:01", "2024-03-01 12:00:02", "2024-03-01 12:00:03"};
    QTest::newRow("a tick just short of the minute counts for it")
        << 60 << 5000
        << QStringList{"2024-03-01 12:00:04.800", "2024-03-01 12:00:59.800",
                       "2024-03-01 12:01:04.800"}
        << QStringList{"2024-03-01 12:01:00"};
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

// Ticks every poll interval with the archive period equal to it, their phase held at or near
// a period start and moved by jitter across it: over a minute every period the run ticks
// through has exactly one row, from a tick close to it.
void TestArchiveBuffer::ticksAtAPeriodStartGiveOneRowEachPeriod_data()
{
    QTest::addColumn<int>("pollInterval");
    QTest::addColumn<int>("phase");   // ms after a period start
    QTest::addColumn<int>("jitterMin");
    QTest::addColumn<int>("jitterMax");

    for (const int poll : {1000, 2000}) {
        const QByteArray p = QByteArray::number(poll);
        // A coarse timer snapped to the whole second: ticks at 999 or 0 ms.
        QTest::newRow(p + " ms, at the start, 2 ms either way") << poll << 0 << -2 << 2;
        QTest::newRow(p + " ms, 1 ms short, 1 ms either way") << poll << poll - 1 << -1 << 1;
        // Up to 5 % early or late.
        QTest::newRow(p + " ms, at the start, coarse slop") << poll << 0 << -poll / 20 << poll / 20;
        // Precise timers fire late, never early; the slack edges of the rule.
        QTest::newRow(p + " ms, at the start, late only") << poll << 0 << 0 << 30;
        QTest::newRow(p + " ms, at the slack edge") << poll << poll - poll / 20 << -3 << 3;
        QTest::newRow(p + " ms, at twice the slack") << poll << poll - poll / 10 << -3 << 3;
        QTest::newRow(p + " ms, mid-period") << poll << poll / 2 << -20 << 20;
    }
}

void TestArchiveBuffer::ticksAtAPeriodStartGiveOneRowEachPeriod()
{
    QFETCH(int, pollInterval);
    QFETCH(int, phase);
    QFETCH(int, jitterMin);
    QFETCH(int, jitterMax);
    g_settingsManager->m_modbusPollInterval = pollInterval;
    auto b = buffer(1, pollInterval / 1000);
    const qint64 start = at("2024-03-01 12:00:00.000");
    QRandomGenerator jitter(quint32(pollInterval + phase));
    QList<qint64> ticks;
    for (qint64 t = start + phase; t < start + 60000; t += pollInterval) {
        const qint64 tick = t + jitter.bounded(jitterMin, jitterMax + 1);
        ticks << tick;
        b->addValue(1, sample(double(tick - start), tick));
    }
    QCOMPARE(b->flushBuffer(10000), 0);

    QSqlQuery q(Database::connection());
    QVERIFY(q.exec("SELECT dateTime, value FROM ArchiveData ORDER BY dateTime"));
    QList<qint64> periods;
    while (q.next()) {
        const qint64 period =
            QDateTime::fromString(q.value(0).toString(), "yyyy-MM-dd hh:mm:ss").toMSecsSinceEpoch();
        const qint64 tick = start + qint64(q.value(1).toDouble());
        // From a tick in that period or just short of its start.
        QVERIFY2(tick >= period - pollInterval / 10 && tick < period + pollInterval,
                 qPrintable(q.value(0).toString() + " from tick +" + q.value(1).toString()));
        periods << period;
    }
    QVERIFY(!periods.isEmpty());
    // The periods the ticks lie in, one row each: none missing, none twice.
    const qint64 first = ticks.first() - ticks.first() % pollInterval;
    const qint64 last = ticks.last() - ticks.last() % pollInterval;
    QVERIFY2(periods.first() <= first + pollInterval && periods.last() >= last,
             qPrintable(QString::number(periods.first() - first)));
    for (int i = 1; i < periods.size(); ++i)
        QVERIFY2(periods[i] - periods[i - 1] == pollInterval,
                 qPrintable(QStringLiteral("row %1: %2 ms after the one before")
                                .arg(i)
                                .arg(periods[i] - periods[i - 1])));
    QCOMPARE(b->archivedCount(), qint64(periods.size()));
}

void TestArchiveBuffer::rowsReachTheDatabaseAtFiftyOrWithinASecond()
{
    auto b = buffer(60, 1);
    const qint64 t = at("2024-03-01 12:00:00.100");
    for (int p = 1; p <= 49; ++p)
        b->addValue(p, sample(p, t));
    QElapsedTimer queued;
    queued.start();
    b->addValue(50, sample(50, t));
    // The 50th row wakes the writer at once, long before the second is over.
    QTRY_COMPARE_WITH_TIMEOUT(count(), 50, 800);
    QVERIFY(queued.elapsed() < 900);

    // Fewer rows wait for their second, not for more rows.
    queued.restart();
    for (int p = 51; p <= 55; ++p)
        b->addValue(p, sample(p, t));
    QTRY_COMPARE_WITH_TIMEOUT(count(), 55, 2500);
    QVERIFY2(queued.elapsed() >= 900, qPrintable(QString::number(queued.elapsed())));
    QCOMPARE(b->pendingCount(), 0);
    QCOMPARE(b->archivedCount(), qint64(55));
}

void TestArchiveBuffer::onePerParameterAndAlignedTime_data()
{
    QTest::addColumn<int>("queuedBefore"); // rows of other parameters queued first
    QTest::addColumn<QStringList>("offers"); // "parameter|local time|value|flag"
    QTest::addColumn<QStringList>("archived");

    QTest::newRow("the same sample twice")
        << 0 << QStringList{"1|2024-03-01 12:00:00.100|7.5|0", "1|2024-03-01 12:00:00.100|7.5|0"}
        << QStringList{"1|2024-03-01 12:00:00|7.5|0"};
    // The line stores a failed read, then the worker stores it again.
    QTest::newRow("a failed read stored twice across a batch boundary")
        << 49
        << QStringList{"60|2024-03-01 12:00:00.100|0|3", "60|2024-03-01 12:00:00.100|0|3",
                       "61|2024-03-01 12:00:00.100|0|4", "61|2024-03-01 12:00:00.100|0|4"}
        << QStringList{"60|2024-03-01 12:00:00|0.0|3", "61|2024-03-01 12:00:00|0.0|4"};
    QTest::newRow("another value later in the same period")
        << 0 << QStringList{"1|2024-03-01 12:00:00.100|7.5|0", "1|2024-03-01 12:00:00.400|7.25|4"}
        << QStringList{"1|2024-03-01 12:00:00|7.5|0"};
    QTest::newRow("the next period")
        << 0 << QStringList{"1|2024-03-01 12:00:00.100|7.5|0", "1|2024-03-01 12:00:01.100|7.25|0"}
        << QStringList{"1|2024-03-01 12:00:00|7.5|0", "1|2024-03-01 12:00:01|7.25|0"};
}

void TestArchiveBuffer::onePerParameterAndAlignedTime()
{
    QFETCH(int, queuedBefore);
    QFETCH(QStringList, offers);
    QFETCH(QStringList, archived);
    g_settingsManager->m_modbusPollInterval = 1000;
    auto b = buffer(61, 1);
    const qint64 t = at("2024-03-01 12:00:00.100");
    for (int p = 1; p <= queuedBefore; ++p)
        b->addValue(p, sample(p, t));
    for (const QString& offer : offers) {
        const QStringList f = offer.split('|');
        b->addValue(f[0].toInt(), sample(f[2].toDouble(), at(f[1].toLatin1().constData()),
                                         f[3].toInt()));
    }
    QCOMPARE(b->flushBuffer(10000), 0);
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM (SELECT 1 FROM ArchiveData GROUP BY "
                                 "idParameter, dateTime HAVING COUNT(*) > 1)"),
             QString("0"));
    QCOMPARE(TestDatabase::column(QStringLiteral("SELECT idParameter || '|' || dateTime || '|' || "
                                                 "value || '|' || flag FROM ArchiveData WHERE "
                                                 "idParameter > %1 ORDER BY idParameter, dateTime")
                                      .arg(queuedBefore)),
             archived);
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
    b->addSessionBreakValue(1, sample(0.0, stop, 6)); // a register read by two iterations
    b->addSessionBreakValue(99, sample(0.0, stop, 6));
    QCOMPARE(b->archivedCount(), qint64(0));
    b->flushBuffer();
    QCOMPARE(stored(), QStringList({"1|2024-03-01 12:00:08|0.0|6"}));
}

// A stop right after a tick just short of a period start: that tick's row is at the period
// start, later than the stop; the break still gets a second of its own after it.
void TestArchiveBuffer::aSessionBreakComesAfterTheLastRow()
{
    g_settingsManager->m_modbusPollInterval = 1000;
    auto b = buffer(1, 1);
    b->addValue(1, sample(5, at("2024-03-01 12:00:00.980")));
    b->addSessionBreakValue(1, sample(0.0, at("2024-03-01 12:00:00.990") + 1000, 6));
    QCOMPARE(b->flushBuffer(10000), 0);
    QCOMPARE(stored(), QStringList({"1|2024-03-01 12:00:01|5.0|0", "1|2024-03-01 12:00:02|0.0|6"}));
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
    QTRY_COMPARE(count(), 200);
    written.release();
    QVERIFY(reader->wait(10000));
    delete reader;
    QCOMPARE(countInside, QString("0"));
}

// Another connection's write transaction outlasts the writer's second: queuing stays memory
// work, nothing is written meanwhile, and everything arrives once the transaction ends.
void TestArchiveBuffer::rowsWaitWhileAnotherWriterHoldsTheDatabase()
{
    auto b = buffer(50, 1);
    QSemaphore locked;
    QSemaphore release;
    QThread* writer = QThread::create([&] {
        QSqlQuery q(Database::connection());
        q.exec("BEGIN IMMEDIATE");
        q.exec("INSERT INTO Logs (type, message) VALUES ('info', 'long transaction')");
        locked.release();
        release.acquire();
        q.exec("COMMIT");
    });
    writer->start();
    QVERIFY(locked.tryAcquire(1, 10000));
    QElapsedTimer queuing;
    queuing.start();
    for (int tick = 0; tick < 3; ++tick) {
        for (int p = 1; p <= 50; ++p)
            b->addValue(p, sample(p, at("2024-03-01 12:00:00.100") + tick * 5000));
    }
    QVERIFY2(queuing.elapsed() < 200, qPrintable(QString::number(queuing.elapsed())));
    QTest::qWait(1500);
    QCOMPARE(b->pendingCount(), 150);
    release.release();
    QVERIFY(writer->wait(10000));
    delete writer;
    QTRY_COMPARE(count(), 150);
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM Logs"), QString("1"));
}

// Writes that fail as a whole (here the table is gone for a while) are tried again: the rows
// wait in memory, flush tells how many are still waiting, and they arrive once writing works.
// The outage is reported once when it starts and once when it ends, however many retries.
void TestArchiveBuffer::failedWritesAreTriedAgain()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Archive write failed: .*no such table"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^Archive writes work again: 10 waiting rows are "
                                            "written, 0 rows were given up"));
    auto b = buffer(10, 1);
    QVERIFY(TestDatabase::exec("ALTER TABLE ArchiveData RENAME TO Hidden"));
    for (int p = 1; p <= 10; ++p)
        b->addValue(p, sample(p, at("2024-03-01 12:00:00.100")));
    QCOMPARE(b->flushBuffer(1500), 10); // several retries meanwhile
    QCOMPARE(logLines(), QStringList{"error|Archive write failed: no such table: ArchiveData "
                                     "Unable to execute statement. The rows are kept and written "
                                     "again when the database takes them (up to 1000000 rows)."});
    QVERIFY(TestDatabase::exec("ALTER TABLE Hidden RENAME TO ArchiveData"));
    QCOMPARE(b->flushBuffer(10000), 0);
    QCOMPARE(count(), 10);
    QTRY_COMPARE(logLines().size(), 2);
    QCOMPARE(logLines().last(), QString("info|Archive writes work again: 10 waiting rows are "
                                        "written, 0 rows were given up because the bound of "
                                        "1000000 waiting rows was reached."));
}

// A full queue refuses rows instead of growing; the writer reports the count once in the
// event log when it can write again.
void TestArchiveBuffer::aFullQueueDropsWithOneWarning()
{
    QVERIFY(TestDatabase::exec("ALTER TABLE ArchiveData RENAME TO Hidden"));
    ArchiveWriter writer(20);
    for (int i = 0; i < 35; ++i)
        QCOMPARE(writer.add({1, double(i), at("2024-03-01 12:00:00.000") + i * 1000, 0}), i < 20);
    QCOMPARE(writer.pendingCount(), 20);
    QVERIFY(TestDatabase::exec("INSERT INTO Devices (idDevices, name) VALUES (2, 'x')"));
    QVERIFY(TestDatabase::exec("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, "
                               "archInterval) VALUES (1, 2, 1, 1)"));
    QVERIFY(TestDatabase::exec("ALTER TABLE Hidden RENAME TO ArchiveData"));
    QCOMPARE(writer.flush(10000), 0);
    QCOMPARE(count(), 20);
    QTRY_COMPARE(TestDatabase::column("SELECT type || '|' || message FROM Logs"),
                 QStringList{"warn|The archive queue was full: 15 archive rows were dropped."});
}

// An outage that outlasts the queue's bound: the recovery comes once the rows that waited are
// written, counts those written (not those the database refused) and says how many were given
// up.
void TestArchiveBuffer::anOutageBeyondTheBoundSaysWhatWasGivenUp()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Archive write failed: "));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Archive rows refused by the database"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Archive writes work again: 15 "));
    QVERIFY(TestDatabase::exec("ALTER TABLE ArchiveData RENAME TO Hidden"));
    QVERIFY(TestDatabase::exec("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, "
                               "archInterval) VALUES (1, 1, 1, 1)"));
    ArchiveWriter writer(20);
    const qint64 t = at("2024-03-01 12:00:00.000");
    for (int i = 0; i < 10; ++i) // parameter 2 does not exist
        QVERIFY(writer.add({1 + i % 2, double(i), t + i * 1000, 0}));
    writer.flush(0);
    QTRY_COMPARE(logLines().size(), 1);
    for (int i = 10; i < 35; ++i)
        QCOMPARE(writer.add({1, double(i), t + i * 1000, 0}), i < 20);
    QVERIFY(TestDatabase::exec("ALTER TABLE Hidden RENAME TO ArchiveData"));
    QCOMPARE(writer.flush(10000), 0);
    QCOMPARE(TestDatabase::column("SELECT value FROM ArchiveData ORDER BY dateTime").size(), 15);
    QTRY_COMPARE(logLines().size(), 2);
    QCOMPARE(logLines().last(), QString("warn|Archive writes work again: 15 waiting rows are "
                                        "written, 15 rows were given up because the bound of 20 "
                                        "waiting rows was reached."));
}

// The disk full (the file size limit reached, its signal ignored): the database takes neither
// the rows nor the event-log line; both arrive once there is room again, the line first.
void TestArchiveBuffer::aFullDiskLosesNoRowAndReportsOnceThereIsRoom()
{
    g_settingsManager->m_modbusPollInterval = 1000;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Archive write failed: "));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Archive writes work again: "));
    auto b = buffer(50, 1);
    const qint64 t = at("2024-03-01 12:00:00.100");
    for (int p = 1; p <= 50; ++p)
        b->addValue(p, sample(p, t));
    QCOMPARE(b->flushBuffer(10000), 0);
    const int before = count();

    // An empty write-ahead log that cannot grow: no write gets through.
    QCOMPARE(TestDatabase::value("PRAGMA wal_checkpoint(TRUNCATE)"), QString("0"));
    FileSizeLimit full;
    QVERIFY(full.isSet());
    for (int tick = 1; tick <= 40; ++tick) {
        for (int p = 1; p <= 50; ++p)
            b->addValue(p, sample(p, t + tick * 1000));
    }
    QCOMPARE(b->flushBuffer(1500), 2000); // several retries meanwhile
    QCOMPARE(count(), before);
    QCOMPARE(logLines(), QStringList());
    full.release();

    QCOMPARE(b->flushBuffer(10000), 0);
    QCOMPARE(count(), before + 2000);
    QTRY_COMPARE(logLines().size(), 2);
    QVERIFY2(QRegularExpression("^error\\|Archive write failed: .+\\. The rows are kept")
                 .match(logLines().first())
                 .hasMatch(),
             qPrintable(logLines().first()));
    QCOMPARE(logLines().last(), QString("info|Archive writes work again: 2000 waiting rows are "
                                        "written, 0 rows were given up because the bound of "
                                        "1000000 waiting rows was reached."));
}

// The local time texts follow the zone's own offsets, across a change of daylight saving.
void TestArchiveBuffer::localTimeTextsAcrossDaylightSaving()
{
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    ::tzset();
    auto b = buffer(1, 1);
    g_settingsManager->m_modbusPollInterval = 1000;
    // At 01:00 UTC on 2024-10-27 the clocks go back from 03:00 CEST to 02:00 CET.
    const qint64 change = QDateTime(QDate(2024, 10, 27), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
    for (qint64 t : {change - 1000, change, change + 3600 * 1000})
        b->addValue(1, sample(1, t + 100));
    QCOMPARE(b->flushBuffer(10000), 0);
    const QStringList texts =
        TestDatabase::column("SELECT dateTime FROM ArchiveData ORDER BY idArchiveData");
    if (zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    ::tzset();
    QCOMPARE(texts, QStringList({"2024-10-27 02:59:59", "2024-10-27 02:00:00",
                                 "2024-10-27 03:00:00"}));
}

QTEST_GUILESS_MAIN(TestArchiveBuffer)
#include "tst_archivebuffer.moc"
