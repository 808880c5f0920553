// A caller that finds the reply stale while another caller builds the next one (and waits, as
// a build does, for a lock a poll worker may hold).
#include "ReplyCache.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

class TestReplyCache : public QObject
{
    Q_OBJECT
private slots:
    void callerBesideABuild_data();
    void callerBesideABuild();
};

void TestReplyCache::callerBesideABuild_data()
{
    QTest::addColumn<bool>("older");     // a reply of older data was built before
    QTest::addColumn<bool>("buildEnds"); // the other caller's build ends before the time-out
    QTest::addColumn<int>("lockMs");
    QTest::addColumn<QByteArray>("expected"); // empty: no reply
    QTest::newRow("older reply, at once") << true << false << 200 << QByteArray("old");
    QTest::newRow("no reply yet, waits for the build") << false << true << 10000 << QByteArray("new");
    QTest::newRow("no reply yet, the wait times out") << false << false << 200 << QByteArray();
}

void TestReplyCache::callerBesideABuild()
{
    QFETCH(bool, older);
    QFETCH(bool, buildEnds);
    QFETCH(int, lockMs);
    QFETCH(QByteArray, expected);
    ReplyCache cache(lockMs);
    QByteArray out;
    if (older) {
        QVERIFY(cache.reply(
            1,
            [](QByteArray& reply, quint64& version) {
                reply = "old";
                version = 1;
                return true;
            },
            out));
    }
    QSemaphore building;
    QSemaphore release;
    QThread* builder = QThread::create([&] {
        QByteArray reply;
        cache.reply(
            2,
            [&](QByteArray& r, quint64& version) {
                building.release();
                if (!release.tryAcquire(1, 30000))
                    return false;
                r = "new";
                version = 2;
                return true;
            },
            reply);
    });
    builder->start();
    QVERIFY(building.tryAcquire(1, 10000));
    if (buildEnds)
        release.release();
    bool builtAgain = false;
    const bool got = cache.reply(
        2,
        [&](QByteArray&, quint64&) {
            builtAgain = true;
            return false;
        },
        out);
    if (!buildEnds)
        release.release();
    QVERIFY(builder->wait(30000));
    delete builder;
    QVERIFY(!builtAgain);
    QCOMPARE(got, !expected.isEmpty());
    if (got)
        QCOMPARE(out, expected);
}

QTEST_GUILESS_MAIN(TestReplyCache)
#include "tst_replycache.moc"
