#include "HttpRefusalLog.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QtTest>

// Refused connections on a clock of the test's own: told once, then counted, a line per
// interval at most, and every refusal in some line.
class TestHttpRefusalLog : public QObject
{
    Q_OBJECT

private slots:
    void aFloodIsToldOnceThenCounted();
    void linesStayBoundedOverALongFlood();
    void theAddressesRefusedMostAreNamed();
    void aQuietIntervalStartsAgain();

private:
    static qint64 countIn(const QString& line);
};

namespace {

const QHostAddress local(QStringLiteral("127.0.0.1"));
const QString threads = QStringLiteral("connection threads");
const QString perAddress = QStringLiteral("connections of this address");

} // namespace

qint64 TestHttpRefusalLog::countIn(const QString& line)
{
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^HttpListener: (\\d+) more connections answered 503"))
            .match(line);
    return m.hasMatch() ? m.captured(1).toLongLong() : 0;
}

void TestHttpRefusalLog::aFloodIsToldOnceThenCounted()
{
    HttpRefusalLog log(60000);
    const QString first = log.refused(local, threads, 0);
    QCOMPARE(first, QStringLiteral("HttpListener: all connection threads busy, answering 503 to "
                                   "127.0.0.1; further refusals are counted and told at most "
                                   "once every 60 s"));
    QCOMPARE(log.nextDueMs(), qint64(-1));
    for (int i = 1; i < 1000; ++i)
        QCOMPARE(log.refused(local, i % 2 ? threads : perAddress, i), QString());
    QCOMPARE(log.nextDueMs(), qint64(60000));
    QCOMPARE(log.due(59999), QString());
    const QString count = log.due(60000);
    QCOMPARE(count, QStringLiteral("HttpListener: 999 more connections answered 503 in the last "
                                   "60 s (all connection threads busy: 500, all connections of "
                                   "this address busy: 499); most from 127.0.0.1 (999)"));
    QCOMPARE(log.due(200000, true), QString());
}

void TestHttpRefusalLog::linesStayBoundedOverALongFlood()
{
    // 100 refusals a second for ten minutes, with the listener's timer looking every second.
    HttpRefusalLog log(60000);
    QStringList lines;
    qint64 refused = 0;
    for (qint64 now = 0; now < 600000; now += 10) {
        ++refused;
        const QString line = log.refused(local, threads, now);
        if (!line.isEmpty())
            lines << line;
        const QString count = now % 1000 == 0 ? log.due(now) : QString();
        if (!count.isEmpty())
            lines << count;
    }
    const QString last = log.due(600000, true);
    if (!last.isEmpty())
        lines << last;
    QVERIFY2(lines.size() <= 1 + 10 + 1, qPrintable(lines.join(QLatin1Char('\n'))));
    qint64 told = 1;
    for (const QString& line : lines)
        told += countIn(line);
    QCOMPARE(told, refused);
}

void TestHttpRefusalLog::theAddressesRefusedMostAreNamed()
{
    HttpRefusalLog log(1000);
    log.refused(local, threads, 0);
    for (int i = 0; i < 5; ++i)
        log.refused(QHostAddress(QStringLiteral("::1")), threads, 1);
    for (int i = 0; i < 3; ++i)
        log.refused(local, threads, 2);
    for (int i = 0; i < 300; ++i)
        log.refused(QHostAddress(QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250)), threads, 3);
    log.refused(QHostAddress(QStringLiteral("10.0.0.7")), threads, 4);
    const QString count = log.due(1000);
    QVERIFY2(count.contains(QStringLiteral("309 more connections")), qPrintable(count));
    // Past the bound of addresses counted by name the rest are counted together.
    QVERIFY2(count.endsWith(QStringLiteral("most from ::1 (5), 127.0.0.1 (3), 10.0.0.7 (2), and "
                                           "46 from other addresses")),
             qPrintable(count));
}

void TestHttpRefusalLog::aQuietIntervalStartsAgain()
{
    HttpRefusalLog log(1000);
    QVERIFY(!log.refused(local, threads, 0).isEmpty());
    QVERIFY(log.refused(local, threads, 10).isEmpty());
    // The timer came late: the next refusal brings the count.
    QVERIFY(countIn(log.refused(local, threads, 1500)) == 2);
    // Within the interval after that line it is counted again.
    QVERIFY(log.refused(local, threads, 2000).isEmpty());
    QCOMPARE(countIn(log.due(2500)), qint64(1));
    // After a whole interval without refusals the next is told at once.
    QVERIFY(log.refused(local, threads, 4000).startsWith(QStringLiteral("HttpListener: all")));
}

QTEST_GUILESS_MAIN(TestHttpRefusalLog)
#include "tst_httprefusallog.moc"
