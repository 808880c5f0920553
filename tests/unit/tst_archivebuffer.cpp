// The archive buffer: which samples are due, their aligned times, and the batches written.
#include "SettingsManager.h"
#include "TestDatabase.h"
#include "globals.h"
#include "polling/ArchiveBuffer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <vector>

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
    void periodsKeepTheirRows_data();
    void periodsKeepTheirRows();
    void rowsReachTheDatabaseAtFiftyOrWithinASecond();
    void onePerParameterAndAlignedTime_data();
    void onePerParameterAndAlignedTime();
    void valuesAreStoredWhateverTheirValue();
    void sessionBreaksAreQueuedAsTheyCome();
    void aSessionBreakComesAfterTheLastRow_data();
    void aSessionBreakComesAfterTheLastRow();
    void aRunStartedAgainArchivesNoTimeTwice_data();
    void aRunStartedAgainArchivesNoTimeTwice();
    void rowsWrittenDuringALongReadAreAllStored();
    void rowsWaitWhileAnotherWriterHoldsTheDatabase();
    void failedWritesAreTriedAgain();
    void aFullQueueDropsWithOneWarning();
    void noRowIsWrittenAfterTheLastFlush();
    void anOutageBeyondTheBoundSaysWhatWasGivenUp();
    void aFullDiskLosesNoRowAndReportsOnceThereIsRoom();
    void localTimeTextsAcrossDaylightSaving();

private:
    // Parameters 1..n of one device with the given archive interval (s).
    // Configures the parameters, then opens a buffer on them as a run starting at startedAt.
    std::unique_ptr<ArchiveBuffer> buffer(int parameters, int archInterval,
                                          qint64 startedAt = QDateTime::currentMSecsSinceEpoch());
    // A buffer on the parameters configured so far.
    static std::unique_ptr<ArchiveBuffer> open(qint64 startedAt);
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

std::unique_ptr<ArchiveBuffer> TestArchiveBuffer::buffer(int parameters, int archInterval,
                                                         qint64 startedAt)
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
    return open(startedAt);
}

std::unique_ptr<ArchiveBuffer> TestArchiveBuffer::open(qint64 startedAt)
{
    QSqlQuery q(Database::connection());
    q.exec("SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters");
    return std::make_unique<ArchiveBuffer>(q, nullptr, startedAt);
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
    // Second 1 has no tick: the one just after its end stands in for it, since the next tick
    // falls in second 2 as well.
    QTest::newRow("1 s ticks either side of a second's start")
        << 1 << 1000
        << QStringList{"2024-03-01 12:00:00.990", "2024-03-01 12:00:02.010",
                       "2024-03-01 12:00:02.985"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:00:01", "2024-03-01 12:00:02"};
    QTest::newRow("a tick just short of the minute, the minute's own tick after it")
        << 60 << 5000
        << QStringList{"2024-03-01 12:00:04.800", "2024-03-01 12:00:59.800",
                       "2024-03-01 12:01:04.800"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:01:00"};
    QTest::newRow("a tick just short of the minute, none in the minute: it stands in")
        << 60 << 5000
        << QStringList{"2024-03-01 12:00:04.800", "2024-03-01 12:00:59.800",
                       "2024-03-01 12:02:04.800"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:01:00", "2024-03-01 12:02:00"};
    // Held up until just short of the next second, it is still the only tick of its own.
    QTest::newRow("a stalled tick keeps its own second")
        << 1 << 1000
        << QStringList{"2024-03-01 12:00:12.434", "2024-03-01 12:00:13.979",
                       "2024-03-01 12:00:14.434"}
        << QStringList{"2024-03-01 12:00:12", "2024-03-01 12:00:13", "2024-03-01 12:00:14"};
    // Held in case a later tick falls in its second too: the stop keeps it in its own.
    QTest::newRow("the run stops after a tick just past a second's start, the second before empty")
        << 1 << 1000 << QStringList{"2024-03-01 12:00:00.100", "2024-03-01 12:00:02.010"}
        << QStringList{"2024-03-01 12:00:00", "2024-03-01 12:00:02"};
    QTest::newRow("the first tick just short of a period start is not in its window")
        << 60 << 5000
        << QStringList{"2024-03-01 12:00:59.900", "2024-03-01 12:01:04.900"}
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
    QCOMPARE(b->finish(10000), 0);
    QCOMPARE(b->archivedCount(), qint64(archived.size()));
    QStringList expected;
    for (const QString& time : archived)
        expected << QStringLiteral("1|%1|230.5|0").arg(time);
    QCOMPARE(stored(), expected);
}

namespace {

qint64 floorMod(qint64 t, qint64 m)
{
    return ((t % m) + m) % m;
}

qint64 periodStart(qint64 t, qint64 period)
{
    return t - floorMod(t, period);
}

// A poll timer's ticks every `poll` ms from `from` + phase, each moved by a jitter in
// [jitterMin, jitterMax]. Every stallEvery-th tick is held up (the program stopped) until
// stallTo ms short of the start of the stallPeriods-th period after the one it was due in
// (negative: past it); the ticks due meanwhile are lost, and the timer keeps its phase.
QList<qint64> pollTicks(qint64 from, int poll, qint64 period, int phase, int jitterMin,
                        int jitterMax, int stallEvery, int stallPeriods, int stallTo)
{
    QRandomGenerator jitter(quint32(poll * 7 + phase * 3 + jitterMax + stallEvery + stallTo));
    QList<qint64> ticks;
    qint64 heldUntil = std::numeric_limits<qint64>::min();
    for (int n = 0; n < 200; ++n) {
        const qint64 due = from + phase + qint64(n) * poll;
        if (due < heldUntil)
            continue;
        qint64 t = due + jitter.bounded(jitterMin, jitterMax + 1);
        if (stallEvery > 0 && n % stallEvery == stallEvery - 1) {
            t = periodStart(due, period) + stallPeriods * period - stallTo;
            heldUntil = t;
        }
        if (ticks.isEmpty() || t > ticks.last())
            ticks << t;
    }
    return ticks;
}

struct StoredRow
{
    qint64 start; // the row's time
    qint64 read;  // the tick its value was read at
};

// What the rule promises for one parameter's ticks and the rows they left; empty when kept.
QString periodFault(const QList<qint64>& ticks, const QList<StoredRow>& rows, qint64 interval,
                    int poll)
{
    const qint64 period = qMax<qint64>(interval, poll);
    const qint64 slack = poll / 20;
    auto text = [](qint64 t) { return QDateTime::fromMSecsSinceEpoch(t).toString("hh:mm:ss.zzz"); };
    const QSet<qint64> tickSet(ticks.cbegin(), ticks.cend());
    QSet<qint64> starts;
    QSet<qint64> reads;
    for (const StoredRow& row : rows) {
        if (!tickSet.contains(row.read))
            return "row " + text(row.start) + " from no tick";
        if (starts.contains(row.start))
            return "two rows at " + text(row.start);
        if (reads.contains(row.read))
            return "the tick at " + text(row.read) + " gave two rows";
        starts.insert(row.start);
        reads.insert(row.read);
    }
    // The first row: from the first tick in a window, at the start of its period.
    const auto window = std::find_if(ticks.cbegin(), ticks.cend(), [&](qint64 t) {
        return floorMod(t, interval) < poll;
    });
    if (window == ticks.cend())
        return rows.isEmpty() ? QString() : QStringLiteral("rows without a window");
    const auto first = std::min_element(rows.cbegin(), rows.cend(), [](auto& a, auto& b) {
        return a.start < b.start;
    });
    if (first == rows.cend() || first->read != *window || first->start != periodStart(*window, period))
        return "the first row is not the window's, at " + text(*window);
    // (a), (d): every period a tick fell in from the first row on has a row.
    for (auto t = window; t != ticks.cend(); ++t) {
        if (!starts.contains(periodStart(*t, period)))
            return "no row for the period of the tick at " + text(*t);
    }
    // (b): read in its period, or within the slack of its boundary when no tick fell in it.
    for (const StoredRow& row : rows) {
        const qint64 end = row.start + period;
        if (row.read >= row.start && row.read < end)
            continue;
        const bool nearBoundary = (row.read >= row.start - slack && row.read < row.start) ||
                                  (row.read >= end && row.read < end + slack);
        const bool emptyPeriod = std::none_of(ticks.cbegin(), ticks.cend(), [&](qint64 t) {
            return t >= row.start && t < end;
        });
        if (!nearBoundary || !emptyPeriod)
            return "row " + text(row.start) + " from the tick at " + text(row.read);
    }
    return QString();
}

} // namespace

// Tick sequences of a poll timer: at a period start with jitter either way, late only, at the
// slack's edges, mid-period, and with the program stopped for a while (a stalled tick comes
// just short of or just past a period start, or periods later). The rows they leave keep the
// rule's promises, whatever the sequence.
void TestArchiveBuffer::periodsKeepTheirRows_data()
{
    QTest::addColumn<int>("pollInterval");
    QTest::addColumn<int>("archInterval"); // s
    QTest::addColumn<QList<qint64>>("ticks");
    QTest::addColumn<bool>("offeredTwice"); // the line and then the worker store each sample

    const qint64 from = at("2024-03-01 12:00:00.000");
    struct Shape
    {
        const char* name;
        int phase; // ms after a period start; negative: before one
        int jitterMin, jitterMax;
        int stallEvery, stallPeriods, stallTo;
    };
    for (const int poll : {1000, 2000}) {
        const int slack = poll / 20;
        const Shape shapes[] = {
            {"at a period start, 2 ms either way", 0, -2, 2, 0, 0, 0},
            {"1 ms short of a period start, 1 ms either way", -1, -1, 1, 0, 0, 0},
            {"at a period start, 5 % either way", 0, -slack, slack, 0, 0, 0},
            {"at a period start, late only", 0, 0, 30, 0, 0, 0},
            {"at the slack's edge", -slack, -3, 3, 0, 0, 0},
            {"at twice the slack", -2 * slack, -3, 3, 0, 0, 0},
            {"mid-period", poll / 2, -20, 20, 0, 0, 0},
            {"stalls to 25 ms short of a period start", 434, 0, 3, 7, 1, 25},
            {"stalls to 25 ms past a period start", 434, 0, 3, 5, 1, -25},
            {"stalls of three periods", 434, 0, 3, 9, 3, 25},
            {"at a period start, stalls", 0, -2, 2, 6, 1, 25},
        };
        for (const int periods : {1, 5}) {
            const int archInterval = poll / 1000 * periods;
            const qint64 period = qint64(archInterval) * 1000;
            for (const Shape& shape : shapes) {
                const QList<qint64> ticks =
                    pollTicks(from, poll, period, shape.phase, shape.jitterMin, shape.jitterMax,
                              shape.stallEvery, shape.stallPeriods, shape.stallTo);
                QTest::addRow("%d ms, %d s: %s", poll, archInterval, shape.name)
                    << poll << archInterval << ticks << false;
            }
        }
    }
    // Period shorter than the poll interval: the period is the poll interval.
    QTest::newRow("3000 ms, 1 s: stalls to 25 ms short of a period start")
        << 3000 << 1 << pollTicks(from, 3000, 3000, 434, 0, 3, 4, 1, 25) << false;
    QTest::newRow("1000 ms, 1 s: at a period start, every sample stored twice")
        << 1000 << 1 << pollTicks(from, 1000, 1000, 0, -2, 2, 6, 1, 25) << true;
    QTest::newRow("1000 ms, 1 s: the program stopped a minute")
        << 1000 << 1 << pollTicks(from, 1000, 1000, 980, 0, 40, 50, 60, 25) << false;
}

void TestArchiveBuffer::periodsKeepTheirRows()
{
    QFETCH(int, pollInterval);
    QFETCH(int, archInterval);
    QFETCH(QList<qint64>, ticks);
    QFETCH(bool, offeredTwice);
    g_settingsManager->m_modbusPollInterval = pollInterval;
    auto b = buffer(1, archInterval);
    const qint64 base = ticks.first();
    // The value tells the tick it was read at.
    for (const qint64 tick : qAsConst(ticks)) {
        b->addValue(1, sample(double(tick - base), tick));
        if (offeredTwice)
            b->addValue(1, sample(double(tick - base), tick));
    }
    QCOMPARE(b->finish(10000), 0);

    QSqlQuery q(Database::connection());
    QVERIFY(q.exec("SELECT dateTime, value FROM ArchiveData"));
    QList<StoredRow> rows;
    while (q.next())
        rows << StoredRow{QDateTime::fromString(q.value(0).toString(), "yyyy-MM-dd hh:mm:ss")
                              .toMSecsSinceEpoch(),
                          base + qint64(q.value(1).toDouble())};
    QCOMPARE(b->archivedCount(), qint64(rows.size()));
    QString ticksText;
    for (const qint64 tick : qAsConst(ticks))
        ticksText += QString::number(floorMod(tick, 100000)) + ' ';
    const QString fault = periodFault(ticks, rows, qint64(archInterval) * 1000, pollInterval);
    QVERIFY2(fault.isEmpty(), qPrintable(fault + "; ticks (ms of their 100 s): " + ticksText));
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
    QCOMPARE(b->finish(10000), 0);
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
    QCOMPARE(b->finish(10000), 0);
    QCOMPARE(stored(), QStringList({"1|2024-03-01 12:00:08|0.0|6"}));
}

// A stop right after a tick just short of a period start, in a period that has its row: the
// tick stood in for the next period only if no tick came there, so it is dropped; the break
// follows the run's last row in a second of its own. A tick held for the period before its
// own stays in its own at the stop.
void TestArchiveBuffer::aSessionBreakComesAfterTheLastRow_data()
{
    QTest::addColumn<QStringList>("ticks");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QStringList>("archived");

    QTest::newRow("a tick just short of the next second")
        << QStringList{"12:00:00.100", "12:00:00.980"} << "12:00:00.990"
        << QStringList{"1|2024-03-01 12:00:00|0.0|0", "1|2024-03-01 12:00:01|0.0|6"};
    QTest::newRow("a tick just after a second's start, the second before without a row")
        << QStringList{"12:00:00.100", "12:00:02.010"} << "12:00:02.020"
        << QStringList{"1|2024-03-01 12:00:00|0.0|0", "1|2024-03-01 12:00:02|1.0|0",
                       "1|2024-03-01 12:00:03|0.0|6"};
}

void TestArchiveBuffer::aSessionBreakComesAfterTheLastRow()
{
    QFETCH(QStringList, ticks);
    QFETCH(QString, stop);
    QFETCH(QStringList, archived);
    g_settingsManager->m_modbusPollInterval = 1000;
    auto b = buffer(1, 1);
    for (int i = 0; i < ticks.size(); ++i)
        b->addValue(1, sample(i, at(("2024-03-01 " + ticks[i]).toLatin1().constData())));
    b->addSessionBreakValue(1, sample(0.0, at(("2024-03-01 " + stop).toLatin1().constData()) + 1000, 6));
    QCOMPARE(b->finish(10000), 0);
    QCOMPARE(stored(), archived);
}

// A run stopped and started again at once: the first run's session break is stamped a second
// after its stop, and it may have archived the period the second run starts in. Neither
// time is archived again; the second run's first row comes after them.
void TestArchiveBuffer::aRunStartedAgainArchivesNoTimeTwice_data()
{
    QTest::addColumn<int>("pollInterval");
    QTest::addColumn<int>("archInterval");
    QTest::addColumn<int>("firstTick"); // ms after the stop
    QTest::addColumn<QStringList>("archived"); // "s after the first run's period|flag"

    // The first run's tick 200 ms into a period, its stop 500 ms later, its break a second on.
    QTest::newRow("the next run's first tick in the break's second")
        << 1000 << 1 << 600 << QStringList{"0|0", "1|6", "2|0", "3|0"};
    QTest::newRow("the next run's first tick in the second of the stop")
        << 1000 << 1 << 100 << QStringList{"0|0", "1|6", "2|0", "3|0"};
    QTest::newRow("the next run's first tick after the break")
        << 1000 << 1 << 1600 << QStringList{"0|0", "1|6", "2|0", "3|0"};
    QTest::newRow("5 s periods: the next run in the period the first one archived")
        << 5000 << 5 << 100 << QStringList{"0|0", "1|6"};
}

void TestArchiveBuffer::aRunStartedAgainArchivesNoTimeTwice()
{
    QFETCH(int, pollInterval);
    QFETCH(int, archInterval);
    QFETCH(int, firstTick);
    QFETCH(QStringList, archived);
    g_settingsManager->m_modbusPollInterval = pollInterval;
    // A run looks for what was stored in the period it starts in and just ahead; each run
    // starts with its first tick.
    const qint64 period = qint64(archInterval) * 1000;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 start = now - now % period;
    const qint64 stop = start + 700;
    auto first = buffer(1, archInterval, start + 200);
    first->addValue(1, sample(1, start + 200));
    first->addSessionBreakValue(1, sample(0.0, stop + 1000, 6));
    QCOMPARE(first->finish(10000), 0);
    first.reset();

    const auto next = open(stop + firstTick);
    for (qint64 t = stop + firstTick; t < start + 4000; t += 1000)
        next->addValue(1, sample(2, t));
    QCOMPARE(next->finish(10000), 0);

    QStringList rows;
    QSqlQuery stored(Database::connection());
    QVERIFY(stored.exec("SELECT dateTime, flag FROM ArchiveData ORDER BY dateTime, flag"));
    while (stored.next()) {
        const qint64 t = QDateTime::fromString(stored.value(0).toString(), "yyyy-MM-dd hh:mm:ss")
                             .toMSecsSinceEpoch();
        rows << QStringLiteral("%1|%2").arg((t - start) / 1000).arg(stored.value(1).toInt());
    }
    QCOMPARE(rows, archived);
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

// Threads queue rows as fast as the writer takes them while the last flush runs: a row is
// either written by the time finish() returns or refused, never written afterwards or left
// queued.
void TestArchiveBuffer::noRowIsWrittenAfterTheLastFlush()
{
    QVERIFY(TestDatabase::exec("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, "
                               "archInterval) VALUES (1, 1, 1, 1)"));
    ArchiveWriter writer;
    constexpr int Threads = 4;
    // Below the queue's bound, so that a row is refused only for the stop.
    constexpr int Queued = 1000;
    std::atomic<bool> stop{false};
    std::atomic<qint64> accepted{0};
    const qint64 t = at("2024-03-01 12:00:00.000");
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < Threads; ++i) {
        threads.emplace_back(QThread::create([&, i] {
            for (qint64 n = 0; !stop; ++n) {
                if (writer.pendingCount() >= Queued)
                    QThread::yieldCurrentThread();
                else if (writer.add({1, double(n), t + (n * Threads + i) * 1000, 0}))
                    ++accepted;
            }
        }));
        threads.back()->start();
    }
    QTRY_VERIFY_WITH_TIMEOUT(count() > 500, 10000);
    QCOMPARE(writer.finish(10000), 0);
    const int written = count();
    stop = true;
    for (auto& thread : threads)
        QVERIFY(thread->wait(10000));
    QCOMPARE(qint64(written), accepted.load());
    QCOMPARE(writer.pendingCount(), 0);
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
