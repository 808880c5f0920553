// Poll statistics: registration, merges and the statistics JSON.
#include "Stats.h"

#include <QtTest>

class TestStats : public QObject
{
    Q_OBJECT
private slots:
    void merges_data();
    void merges();
    void json();
    void resetKeepsTheRegistrations();
    void unregisteredMergesAreIgnored();
};

void TestStats::merges_data()
{
    QTest::addColumn<QList<QList<int>>>(
        "deltas"); // poolsCnt, validRespCnt, avgRespTime, lastRespTime
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("average halves the first figure, then follows")
        << QList<QList<int>>{{1, 1, 100, 100}, {1, 1, 50, 50}} << QList<int>{2, 2, 50, 50};
    QTest::newRow("average of 0 leaves it")
        << QList<QList<int>>{{3, 2, 80, 80}, {1, 0, 0, 0}} << QList<int>{4, 2, 40, 0};
    QTest::newRow("truncated toward zero")
        << QList<QList<int>>{{1, 1, 7, 7}, {1, 1, 2, 3}} << QList<int>{2, 2, 2, 3};
}

void TestStats::merges()
{
    QFETCH(QList<QList<int>>, deltas);
    QFETCH(QList<int>, expected);
    Stats s;
    s.addChannel("serial", 1);
    s.addDevice("serial", 1, 5);
    for (const QList<int>& d : deltas)
        s.updateDeviceStats("serial", 1, 5,
                            Stats::t_devStats{quint32(d[0]), quint32(d[1]), d[2], d[3]});
    QCOMPARE(s.getModbusStats_j(),
             QStringLiteral("[{\"chanId\":1,\"chanType\":\"serial\",\"deviceId\":5,\"poolsCnt\":%1,"
                            "\"validRespCnt\":%2,\"avgRespTime\":%3,\"lastRespTime\":%4}]")
                 .arg(expected[0])
                 .arg(expected[1])
                 .arg(expected[2])
                 .arg(expected[3])
                 .toLatin1());
}

void TestStats::json()
{
    Stats s;
    QCOMPARE(s.getModbusStats_j(), QByteArray("[]"));
    s.addChannel("tcp", 2);
    QCOMPARE(s.getModbusStats_j(), QByteArray("[]")); // a channel without devices shows nothing
    s.addDevice("tcp", 2, 7);
    s.addChannel("Serial", 3); // only "serial" exactly is a serial channel
    s.addDevice("Serial", 3, 8);
    s.addChannel("serial", 2);
    s.addDevice("serial", 2, 9);
    s.updateDeviceStats("tcp", 2, 7, Stats::t_devStats{4294967295u, 1, 10, 10});
    s.updateDeviceStats("tcp", 2, 7, Stats::t_devStats{2, 1, 10, 10});
    const QByteArray j = s.getModbusStats_j();
    QVERIFY(j.startsWith("[{\"chanId\":2,\"chanType\":\"serial\",\"deviceId\":9,\"poolsCnt\":0,"));
    QVERIFY(j.contains(
        "{\"chanId\":2,\"chanType\":\"tcp\",\"deviceId\":7,\"poolsCnt\":1,\"validRespCnt\":2,"
        "\"avgRespTime\":7,\"lastRespTime\":10}"));
    QVERIFY(j.contains("{\"chanId\":3,\"chanType\":\"tcp\",\"deviceId\":8,"));
    QVERIFY(j.endsWith("}]"));
    s.clear();
    QCOMPARE(s.getModbusStats_j(), QByteArray("[]"));
}

void TestStats::resetKeepsTheRegistrations()
{
    Stats s;
    s.addChannel("serial", 1);
    s.addDevice("serial", 1, 1);
    s.addDevice("serial", 1, 2);
    s.updateDeviceStats("serial", 1, 1, Stats::t_devStats{5, 4, 30, 20});
    s.resetAllStats();
    const QByteArray j = s.getModbusStats_j();
    QCOMPARE(j.count("\"poolsCnt\":0,\"validRespCnt\":0,\"avgRespTime\":0,\"lastRespTime\":0"), 2);
}

void TestStats::unregisteredMergesAreIgnored()
{
    Stats s;
    s.updateDeviceStats("serial", 1, 1, Stats::t_devStats{1, 1, 1, 1});
    s.addChannel("serial", 1);
    s.updateDeviceStats("serial", 1, 1, Stats::t_devStats{1, 1, 1, 1});
    s.addDevice("tcp", 1, 1); // channel 1 is not a TCP channel
    QCOMPARE(s.getModbusStats_j(), QByteArray("[]"));
}

QTEST_GUILESS_MAIN(TestStats)
#include "tst_stats.moc"
