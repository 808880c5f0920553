// Failed logins per address: the block, its window and its bounds, on a clock of the test's own.
#include "LoginThrottle.h"

#include <QtTest>

namespace {
constexpr qint64 minute = 60 * 1000;
const QString a = QStringLiteral("127.0.0.1");
const QString b = QStringLiteral("127.0.0.2");
} // namespace

class TestLoginThrottle : public QObject
{
    Q_OBJECT
private slots:
    void init() { now = 0; }
    void fifthFailureBlocksForTheWindow();
    void failuresOutsideTheWindowDoNotCount();
    void successForgetsFailures();
    void attemptsUnderWayCount();
    void tableIsBounded();

private:
    // One whole login: whether it was let through to the password check.
    bool attempt(LoginThrottle& t, const QString& address, bool right,
                 bool* blockStarted = nullptr);
    qint64 now = 0;
};

bool TestLoginThrottle::attempt(LoginThrottle& t, const QString& address, bool right,
                                bool* blockStarted)
{
    if (!t.begin(address))
        return false;
    bool started = false;
    if (right)
        t.succeeded(address);
    else
        started = t.failed(address);
    if (blockStarted)
        *blockStarted = started;
    return true;
}

void TestLoginThrottle::fifthFailureBlocksForTheWindow()
{
    LoginThrottle t([this] { return now; });
    bool started = false;
    for (int i = 1; i <= 5; ++i) {
        QVERIFY(attempt(t, a, false, &started));
        QCOMPARE(started, i == 5); // reported once
        now += minute;
    }
    // Blocked: even the right password is not checked; another address is not touched.
    QVERIFY(!attempt(t, a, true));
    QVERIFY(attempt(t, b, true));
    now += 14 * minute - 1; // 15 minutes after the fifth failure, less 1 ms
    QVERIFY(!attempt(t, a, true));
    now += 1;
    QVERIFY(attempt(t, a, true));
}

void TestLoginThrottle::failuresOutsideTheWindowDoNotCount()
{
    LoginThrottle t([this] { return now; });
    for (int i = 0; i < 4; ++i)
        QVERIFY(attempt(t, a, false));
    now += 15 * minute; // the first four fall out of the window
    for (int i = 0; i < 4; ++i)
        QVERIFY(attempt(t, a, false));
    QVERIFY(attempt(t, a, true));
}

void TestLoginThrottle::successForgetsFailures()
{
    LoginThrottle t([this] { return now; });
    for (int i = 0; i < 4; ++i)
        QVERIFY(attempt(t, a, false));
    QVERIFY(attempt(t, a, true));
    for (int i = 0; i < 4; ++i)
        QVERIFY(attempt(t, a, false));
    QVERIFY(attempt(t, a, true));
}

void TestLoginThrottle::attemptsUnderWayCount()
{
    // Parallel connections cannot try more passwords than the limit.
    LoginThrottle t([this] { return now; });
    for (int i = 0; i < LoginThrottle::maxFailures; ++i)
        QVERIFY(t.begin(a));
    QVERIFY(!t.begin(a));
    for (int i = 0; i < LoginThrottle::maxFailures; ++i)
        t.failed(a);
    QVERIFY(!t.begin(a));
}

void TestLoginThrottle::tableIsBounded()
{
    LoginThrottle t([this] { return now; });
    for (int i = 0; i < LoginThrottle::maxAddresses; ++i)
        QVERIFY(attempt(t, QString::number(i), false));
    // Full of recent failures: a new address is let through untracked, never locked out.
    QVERIFY(attempt(t, a, false));
    now += 15 * minute; // now every entry is stale and gives way
    for (int i = 0; i < 5; ++i)
        QVERIFY(attempt(t, a, false));
    QVERIFY(!attempt(t, a, true));
}

QTEST_GUILESS_MAIN(TestLoginThrottle)
#include "tst_loginthrottle.moc"
