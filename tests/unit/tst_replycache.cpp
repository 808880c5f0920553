// A caller that finds the reply stale while another caller builds the next one (and waits, as
// a build does, for a lock a poll worker may hold). Ages run on a fake clock.
#include "ReplyCache.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>

class TestReplyCache : public QObject
{
    Q_OBJECT
private slots:
    void callerBesideABuild_data();
    void callerBesideABuild();
};

void TestReplyCache::callerBesideABuild_data()
{
    QTest::addColumn<int>("lastAge"); // ms since the last reply (version 1) was built; -1: none
    QTest::addColumn<int>("pollMs");  // the poll interval at the second call
    QTest::addColumn<int>("current"); // the version the second caller asks for; the build copies 2
    QTest::addColumn<QString>(
        "build"); // the other caller's build: "held" past the second call, "ends", "fails"
    QTest::addColumn<int>("lockMs");
    QTest::addColumn<QByteArray>("expected"); // "own": the second caller built it; empty: no reply

    QTest::newRow("young reply at once") << 999 << 1000 << 2 << "held" << 200 << QByteArray("old");
    QTest::newRow("one interval old: waits for the build")
        << 1000 << 1000 << 2 << "ends" << 10000 << QByteArray("new");
    QTest::newRow("old reply, the build outlasts the time-out")
        << 6000 << 1000 << 2 << "held" << 200 << QByteArray();
    QTest::newRow("a longer interval keeps it young")
        << 1500 << 2000 << 2 << "held" << 200 << QByteArray("old");
    QTest::newRow("a shorter interval makes it old")
        << 1500 << 1000 << 2 << "ends" << 10000 << QByteArray("new");
    QTest::newRow("unchanged data: the last reply at any age")
        << 6000 << 1000 << 1 << "held" << 200 << QByteArray("old");
    QTest::newRow("the build waited for fails: builds its own")
        << 6000 << 1000 << 2 << "fails" << 10000 << QByteArray("own");
    QTest::newRow("changed after the build copied: builds its own")
        << 6000 << 1000 << 3 << "ends" << 10000 << QByteArray("own");
    QTest::newRow("no reply yet, waits for the build")
        << -1 << 1000 << 2 << "ends" << 10000 << QByteArray("new");
    QTest::newRow("no reply yet, the wait times out")
        << -1 << 1000 << 2 << "held" << 200 << QByteArray();
}

void TestReplyCache::callerBesideABuild()
{
    QFETCH(int, lastAge);
    QFETCH(int, pollMs);
    QFETCH(int, current);
    QFETCH(QString, build);
    QFETCH(int, lockMs);
    QFETCH(QByteArray, expected);

    std::atomic<qint64> now{0};
    std::atomic<bool> armed{false};
    QSemaphore calling; // the second caller has begun its call
    ReplyCache cache(lockMs, [&] {
        if (QThread::currentThread() == thread() && armed.exchange(false))
            calling.release();
        return now.load();
    });
    QByteArray out;
    if (lastAge >= 0) {
        QVERIFY(cache.reply(
            1, pollMs,
            [](int, QByteArray& reply, quint64& version) {
                reply = "old";
                version = 1;
                return true;
            },
            out));
    }
    const qint64 callAt = qMax(lastAge, 1);
    now = callAt - 1; // the other caller's build begins just before the second call

    QSemaphore building;
    QSemaphore release;
    QThread* builder = QThread::create([&] {
        QByteArray reply;
        cache.reply(
            2, pollMs,
            [&](int, QByteArray& r, quint64& version) {
                building.release();
                if (!release.tryAcquire(1, 30000) || build == QLatin1String("fails"))
                    return false;
                r = "new";
                version = 2;
                return true;
            },
            reply);
    });
    builder->start();
    QVERIFY(building.tryAcquire(1, 10000));
    // Ends the other build once the second call has begun, so that the second caller finds it
    // running and has to wait for it.
    QThread* releaser = QThread::create([&] {
        if (build != QLatin1String("held") && calling.tryAcquire(1, 30000))
            release.release();
    });
    releaser->start();

    now = callAt;
    armed = true;
    bool builtOwn = false;
    const bool got = cache.reply(
        quint64(current), pollMs,
        [&](int, QByteArray& r, quint64& version) {
            builtOwn = true;
            r = "own";
            version = 3;
            return true;
        },
        out);
    if (build == QLatin1String("held"))
        release.release();
    QVERIFY(releaser->wait(30000));
    QVERIFY(builder->wait(30000));
    delete releaser;
    delete builder;
    QCOMPARE(builtOwn, expected == "own");
    QCOMPARE(got, !expected.isEmpty());
    if (got)
        QCOMPARE(out, expected);
}

QTEST_GUILESS_MAIN(TestReplyCache)
#include "tst_replycache.moc"
