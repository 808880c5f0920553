// The live-value buffer: parameters, the live-values JSON and its display scaling.
#include "TestDatabase.h"
#include "polling/ReadBuffer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSemaphore>
#include <QThread>

#include <atomic>

#include <limits>

// How old the last reply may be that a caller gets while another builds the next.
constexpr int PollMs = 1000;

class TestReadBuffer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void startsWithNoValue();
    void emptyBuffer();
    void scaling_data();
    void scaling();
    void numbersAsQtWritesThem_data();
    void numbersAsQtWritesThem();
    void scaleFactorBounds_data();
    void scaleFactorBounds();
    void sharedAddressGoesToTheLaterParameter();
    void unknownAddressesAreDropped();
    void copiesAreTakenUnderTheLock();
    void replyFollowsEveryChange_data();
    void replyFollowsEveryChange();
    void readersShareTheReplyWhileWorkersWrite();

private:
    static QByteArray text(ReadBuffer& b);
    static void apply(ReadBuffer& b, const QString& step);
    std::unique_ptr<ReadBuffer> buffer(const QStringList& rows);
    QJsonObject json(ReadBuffer& b);
    std::unique_ptr<TestDatabase> db;
};

void TestReadBuffer::init()
{
    db = std::make_unique<TestDatabase>();
}

void TestReadBuffer::cleanup()
{
    db.reset();
}

// rows: "idParameters,idDevice,regAddr,archInterval,unit"
std::unique_ptr<ReadBuffer> TestReadBuffer::buffer(const QStringList& rows)
{
    QStringList selects;
    for (const QString& row : rows) {
        const QStringList f = row.split(',');
        selects << QStringLiteral("SELECT %1, %2, %3, %4, '%5'").arg(f[0], f[1], f[2], f[3], f[4]);
    }
    QSqlQuery q(Database::connection());
    q.exec(selects.isEmpty() ? QStringLiteral("SELECT 1, 1, 1, 1, 'x' WHERE 0")
                             : selects.join(" UNION ALL "));
    return std::make_unique<ReadBuffer>(q, nullptr);
}

QByteArray TestReadBuffer::text(ReadBuffer& b)
{
    QByteArray out;
    if (!b.valuesJson(out, PollMs))
        qWarning() << "lock not taken";
    return out;
}

// step: "device,register,val,time,flag" stores a sample; "break device,register" hands a
// session break to the archive only.
void TestReadBuffer::apply(ReadBuffer& b, const QString& step)
{
    const TryLocker guard = b.lock();
    QVERIFY(guard);
    const bool sessionBreak = step.startsWith("break ");
    const QStringList f = step.mid(sessionBreak ? 6 : 0).split(',');
    if (sessionBreak) {
        b.insertSessionBreakValue(f[0].toInt(), f[1].toInt(), BufferInterface::ReadValue{0, 1, 6});
        return;
    }
    b.updateValue(f[0].toInt(), f[1].toInt(),
                  BufferInterface::ReadValue{f[2].toDouble(), f[3].toLongLong(), f[4].toInt()});
}

QJsonObject TestReadBuffer::json(ReadBuffer& b)
{
    QJsonParseError error;
    const QByteArray reply = text(b);
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << "not JSON:" << reply;
    return doc.object();
}

void TestReadBuffer::startsWithNoValue()
{
    auto b = buffer({"7,1,100,0,V", "8,1,101,0,A"});
    const QByteArray reply = text(*b);
    QVERIFY2(
        reply.contains(
            "\"7\": {\"time\":0,\"val\":0.000000,\"valBase\":0.000000,\"u\":\"V\",\"flag\":1}"),
        reply.constData());
    QCOMPARE(json(*b).keys(), QStringList({"7", "8"}));
    QCOMPARE(b->value(7).flag, 1);
    QCOMPARE(b->value(99).flag, 1); // not held: a default sample
}

void TestReadBuffer::emptyBuffer()
{
    auto b = buffer({});
    QCOMPARE(text(*b), QByteArray("{}"));
}

void TestReadBuffer::scaling_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<double>("val");
    QTest::addColumn<int>("flag");
    QTest::addColumn<QByteArray>("expected"); // "val|valBase|u" as written
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("V below 1000") << "V" << 230.1 << 0 << QByteArray("230.100000|230.100000|V");
    QTest::newRow("1000 W is kW") << "W" << 1000.0 << 0 << QByteArray("1.000000|1000.000000|kW");
    QTest::newRow("999.9 W stays") << "W" << 999.9 << 0 << QByteArray("999.900000|999.900000|W");
    QTest::newRow("single-precision factor")
        << "W" << 999999.0 << 0 << QByteArray("999.999047|999999.000000|kW");
    QTest::newRow("MVA") << "VA" << 2500000.0 << 0 << QByteArray("2.500000|2500000.000000|MVA");
    QTest::newRow("VAR") << "VAR" << 1500.0 << 0 << QByteArray("1.500000|1500.000000|kVAR");
    QTest::newRow("negative scaled up")
        << "W" << -5000.0 << 0 << QByteArray("-5000000.000000|-5000.000000|mW");
    QTest::newRow("large negative")
        << "A" << -2000000.0 << 0 << QByteArray("-2000000000000.000000|-2000000.000000|&#181A");
    QTest::newRow("lower-case v not scaled")
        << "v" << 5000.0 << 0 << QByteArray("5000.000000|5000.000000|v");
    QTest::newRow("kW not scaled")
        << "kW" << 5000.0 << 0 << QByteArray("5000.000000|5000.000000|kW");
    QTest::newRow("time-out not scaled") << "W" << 0.0 << 3 << QByteArray("0.000000|0.000000|W");
    QTest::newRow("flagged large value not scaled")
        << "W" << 5000.0 << 2 << QByteArray("5000.000000|5000.000000|W");
    QTest::newRow("NaN") << "W" << nan << 0 << QByteArray("null|null|W");
    QTest::newRow("infinite") << "W" << inf << 0 << QByteArray("null|null|MW");
    QTest::newRow("quote in unit")
        << "a\"b\\c" << 1.0 << 0 << QByteArray("1.000000|1.000000|a\\\"b\\\\c");
    QTest::newRow("unit outside Latin-1")
        << QString::fromUtf8("\xce\xa9") << 1.0 << 0 << QByteArray("1.000000|1.000000|?");
}

void TestReadBuffer::scaling()
{
    QFETCH(QString, unit);
    QFETCH(double, val);
    QFETCH(int, flag);
    QFETCH(QByteArray, expected);
    QSqlQuery q(Database::connection());
    QVERIFY(Database::exec(q, "SELECT 5, 2, 40001, 0, ?", {unit}));
    ReadBuffer b(q, nullptr);
    {
        const TryLocker guard = b.lock();
        QVERIFY(guard);
        b.updateValue(2, 40001, BufferInterface::ReadValue{val, 1700000000123, flag});
    }
    const QByteArray reply = text(b);
    const QList<QByteArray> parts = expected.split('|');
    const QByteArray want = "{\"5\": {\"time\":1700000000123,\"val\":" + parts[0] +
                            ",\"valBase\":" + parts[1] + ",\"u\":\"" + parts[2] +
                            "\",\"flag\":" + QByteArray::number(flag) + "}}";
    QCOMPARE(reply, want);
    QJsonParseError error;
    QJsonDocument::fromJson(reply, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

// The reply writes numbers with its own formatter: each must read as QString::number(v, 'f', 6)
// does, ties at the seventh decimal (rounded away from zero), near-ties and huge values included.
void TestReadBuffer::numbersAsQtWritesThem_data()
{
    QTest::addColumn<double>("val");
    const double values[] = {0.0,       -0.0,         0.0078125,          -0.0078125,
                             2.0000005, 0.9999995,    0.99999949999,      1363626.0390625,
                             -0.0000004, -0.0000005,  1234567.891,        230.1,
                             double(1e20f), 1e15 - 0.5, 999999999999999.9, 4.5e15 + 0.5,
                             -1e300,    5e-324,       double(230.0078125f), 65535.0};
    for (double v : values)
        QTest::addRow("%.17g", v) << v;
}

void TestReadBuffer::numbersAsQtWritesThem()
{
    QFETCH(double, val);
    auto b = buffer({"5,2,1,0,"});
    {
        const TryLocker guard = b->lock();
        b->updateValue(2, 1, BufferInterface::ReadValue{val, 1, 0});
    }
    const QByteArray reply = text(*b);
    const QByteArray expected = QString::number(val, 'f', 6).toLatin1();
    QVERIFY2(reply.contains(",\"valBase\":" + expected + ","), reply.constData());
}

void TestReadBuffer::scaleFactorBounds_data()
{
    QTest::addColumn<double>("val");
    QTest::addColumn<float>("factor");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("999.999") << 999.999 << 1.0f << "";
    QTest::newRow("-999.999") << -999.999 << 1.0f << "";
    QTest::newRow("1000") << 1000.0 << 0.001f << "k";
    QTest::newRow("-1000") << -1000.0 << 1000.0f << "m";
    QTest::newRow("999999.9") << 999999.9 << 0.001f << "k";
    QTest::newRow("1e6") << 1e6 << 0.000001f << "M";
    QTest::newRow("-999999.9") << -999999.9 << 1000.0f << "m";
    QTest::newRow("-1e6") << -1e6 << 1000000.0f << "&#181";
}

void TestReadBuffer::scaleFactorBounds()
{
    QFETCH(double, val);
    QFETCH(float, factor);
    QFETCH(QString, prefix);
    const float f = ReadBuffer::computeScaleFactor(BufferInterface::ReadValue{val, 0, 0});
    QCOMPARE(f, factor);
    QCOMPARE(ReadBuffer::unitPrefix(f), prefix);
}

void TestReadBuffer::sharedAddressGoesToTheLaterParameter()
{
    auto b = buffer({"1,3,10,0,V", "2,3,10,0,V", "3,4,10,0,V"});
    {
        const TryLocker guard = b->lock();
        b->updateValue(3, 10, BufferInterface::ReadValue{230.0, 5, 0});
        b->updateValue(4, 10, BufferInterface::ReadValue{231.0, 5, 0});
    }
    QCOMPARE(b->value(1).flag, 1);
    QCOMPARE(b->value(2).val, 230.0);
    QCOMPARE(b->value(3).val, 231.0);
}

void TestReadBuffer::unknownAddressesAreDropped()
{
    auto b = buffer({"1,3,10,60,V"});
    {
        const TryLocker guard = b->lock();
        b->updateValue(3, 11, BufferInterface::ReadValue{1.0, 5, 0});
        b->updateValue(9, 10, BufferInterface::ReadValue{1.0, 5, 0});
        b->insertSessionBreakValue(3, 11, BufferInterface::ReadValue{0.0, 5, 6});
    }
    QCOMPARE(b->value(1).flag, 1);
    QCOMPARE(json(*b).size(), 1);
}

// Readers copy under the lock: a copy never holds half of a read, and a reader that cannot
// get the lock in time says so instead of waiting on.
void TestReadBuffer::copiesAreTakenUnderTheLock()
{
    QStringList rows;
    for (int p = 1; p <= 100; ++p)
        rows << QStringLiteral("%1,1,%1,0,V").arg(p);
    auto b = buffer(rows);
    std::atomic<bool> done{false};
    std::atomic<int> missedLocks{0};
    QThread* writer = QThread::create([&] {
        for (int round = 1; round <= 2000; ++round) {
            const TryLocker guard = b->lock();
            if (!guard) {
                ++missedLocks;
                continue;
            }
            for (int p = 1; p <= 100; ++p)
                b->updateValue(1, p, BufferInterface::ReadValue{double(round), round, 0});
        }
        done = true;
    });
    writer->start();
    int copies = 0;
    while (!done) {
        QHash<int, BufferInterface::ReadValue> values;
        QVERIFY(b->snapshot(values));
        QCOMPARE(values.size(), 100);
        for (const BufferInterface::ReadValue& v : qAsConst(values))
            QCOMPARE(v.time, values.value(1).time);
        QByteArray reply;
        QVERIFY(b->valuesJson(reply, PollMs));
        const QJsonObject object = QJsonDocument::fromJson(reply).object();
        QCOMPARE(object.size(), 100);
        for (const QJsonValue& v : object)
            QCOMPARE(v[QLatin1String("time")], object.value(QLatin1String("1"))[QLatin1String("time")]);
        ++copies;
    }
    QVERIFY(writer->wait(10000));
    delete writer;
    QVERIFY(copies > 0);
    QCOMPARE(missedLocks.load(), 0);

    // Another thread holds the lock until released.
    QSemaphore locked;
    QSemaphore release;
    auto holdLock = [&] {
        QThread* holder = QThread::create([&] {
            const TryLocker guard = b->lock();
            locked.release();
            release.acquire();
        });
        holder->start();
        return holder;
    };
    const QByteArray before = text(*b);
    QThread* holder = holdLock();
    QVERIFY(locked.tryAcquire(1, 10000));
    QHash<int, BufferInterface::ReadValue> values;
    QByteArray reply;
    QVERIFY(!b->snapshot(values));
    // Nothing changed since the last reply: it is handed out without the lock.
    QVERIFY(b->valuesJson(reply, PollMs));
    QCOMPARE(reply.constData(), before.constData());
    release.release();
    QVERIFY(holder->wait(10000));
    delete holder;
    QVERIFY(b->snapshot(values));
    QCOMPARE(values.value(50).val, 2000.0);

    // After a change the reply needs a new copy, which a held lock refuses.
    apply(*b, "1,50,7,2001,0");
    holder = holdLock();
    QVERIFY(locked.tryAcquire(1, 10000));
    QVERIFY(!b->valuesJson(reply, PollMs));
    release.release();
    QVERIFY(holder->wait(10000));
    delete holder;
    QCOMPARE(json(*b).value("50")[QLatin1String("valBase")].toDouble(), 7.0);
}

// The reply is kept between calls: after every change it must equal the reply of a buffer
// that never built one, and without a change the same bytes are handed out again.
void TestReadBuffer::replyFollowsEveryChange_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("one value") << QStringList{"1,10,230.5,1000,0"};
    QTest::newRow("value then time-out") << QStringList{"1,10,230.5,1000,0", "1,10,0,2000,3"};
    QTest::newRow("scaled unit across its prefixes")
        << QStringList{"1,11,999.9,1000,0", "1,11,1000,2000,0", "1,11,2500000,3000,0"};
    QTest::newRow("only the time moves") << QStringList{"1,10,5,1000,0", "1,10,5,2000,0"};
    QTest::newRow("the same sample again") << QStringList{"1,10,5,1000,0", "1,10,5,1000,0"};
    QTest::newRow("unknown address") << QStringList{"1,10,5,1000,0", "9,10,7,2000,0"};
    QTest::newRow("session break") << QStringList{"1,10,5,1000,0", "break 1,10"};
    QTest::newRow("each parameter in turn")
        << QStringList{"1,10,1,1000,0", "1,11,2,1000,0", "2,10,3,1000,0", "1,10,4,2000,0"};
}

void TestReadBuffer::replyFollowsEveryChange()
{
    QFETCH(QStringList, steps);
    const QStringList rows{"7,1,10,60,V", "8,1,11,0,W", "9,2,10,0,A"};
    auto live = buffer(rows);
    QCOMPARE(json(*live).size(), 3); // built and kept before the first change
    for (int i = 0; i < steps.size(); ++i) {
        apply(*live, steps[i]);
        auto fresh = buffer(rows);
        for (int j = 0; j <= i; ++j)
            apply(*fresh, steps[j]);
        const QByteArray reply = text(*live);
        QCOMPARE(reply, text(*fresh));
        const QByteArray again = text(*live);
        QCOMPARE(again, reply);
        QCOMPARE(again.constData(), reply.constData()); // shared, not built again
    }
}

// Several callers at once while two workers store their reads: each reply holds whole reads
// only (a caller may get the last reply while another builds the next), and once the workers
// are done the next caller sees their last read.
void TestReadBuffer::readersShareTheReplyWhileWorkersWrite()
{
    constexpr int perDevice = 50;
    constexpr int rounds = 500;
    QStringList rows;
    for (int device = 1; device <= 2; ++device) {
        for (int r = 1; r <= perDevice; ++r)
            rows << QStringLiteral("%1,%2,%3,0,W").arg(device * 100 + r).arg(device).arg(r);
    }
    auto b = buffer(rows);
    std::atomic<int> writing{2};
    std::atomic<int> failures{0};
    QList<QThread*> threads;
    for (int device = 1; device <= 2; ++device) {
        threads << QThread::create([&, device] {
            for (int round = 1; round <= rounds; ++round) {
                const TryLocker guard = b->lock();
                if (!guard) {
                    ++failures;
                    continue;
                }
                for (int r = 1; r <= perDevice; ++r)
                    b->updateValue(device, r,
                                   BufferInterface::ReadValue{double(round * 1000), round, 0});
            }
            --writing;
        });
    }
    auto wholeReads = [&](const QByteArray& reply, qint64 expectedTime) {
        const QJsonObject object = QJsonDocument::fromJson(reply).object();
        if (object.size() != 2 * perDevice)
            return false;
        for (int device = 1; device <= 2; ++device) {
            const QJsonValue first = object.value(QString::number(device * 100 + 1));
            for (int r = 1; r <= perDevice; ++r) {
                const QJsonValue v = object.value(QString::number(device * 100 + r));
                if (v[QLatin1String("time")] != first[QLatin1String("time")] ||
                    (expectedTime >= 0 && v[QLatin1String("time")].toInt() != expectedTime))
                    return false;
            }
        }
        return true;
    };
    for (int reader = 0; reader < 4; ++reader) {
        threads << QThread::create([&] {
            do {
                QByteArray reply;
                if (!b->valuesJson(reply, PollMs) || !wholeReads(reply, -1))
                    ++failures;
            } while (writing > 0);
        });
    }
    for (QThread* t : qAsConst(threads))
        t->start();
    for (QThread* t : qAsConst(threads)) {
        QVERIFY(t->wait(60000));
        delete t;
    }
    QCOMPARE(failures.load(), 0);
    QByteArray last;
    QVERIFY(b->valuesJson(last, PollMs));
    QVERIFY(wholeReads(last, rounds));
}

QTEST_GUILESS_MAIN(TestReadBuffer)
#include "tst_readbuffer.moc"
