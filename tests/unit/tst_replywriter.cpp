#include "ReplyWriter.h"

#include <QtTest>

// What a caller of the writer got: the parts, whether the last one came, whether it was cut off.
struct Caller
{
    QByteArrayList parts;
    QList<QDeadlineTimer> deadlines;
    bool lastPart = false;
    bool aborted = false;

    ReplyWriter::Output output()
    {
        return [this](const QByteArray& part, bool last, const QDeadlineTimer& deadline) {
            parts << part;
            deadlines << deadline;
            lastPart = last;
            return true;
        };
    }
    ReplyWriter::Abort abort()
    {
        return [this] { aborted = true; };
    }
};

class TestReplyWriter : public QObject
{
    Q_OBJECT

private slots:
    void failureReplacesOrCutsOff_data();
    void failureReplacesOrCutsOff();
    void partsShareOneDeadline();
    void expiredDeadlineCutsOff();
};

void TestReplyWriter::failureReplacesOrCutsOff_data()
{
    QTest::addColumn<int>("written");
    QTest::newRow("nothing went out") << 100;
    QTest::newRow("a part went out") << ReplyWriter::HoldBytes + 100;
}

// How a handler fails: the error reply where it can, else the reply without its end.
void TestReplyWriter::failureReplacesOrCutsOff()
{
    QFETCH(int, written);
    const bool started = written >= ReplyWriter::HoldBytes;
    Caller caller;
    ReplyWriter out(caller.output(), caller.abort());
    out.append("[");
    out.append(QByteArray(written, 'x'));
    QCOMPARE(out.hasStarted(), started);
    const QByteArray error = R"({"error":true})";
    if (!out.replace(error))
        out.abort();
    out.finish();
    QCOMPARE(caller.aborted, started);
    QCOMPARE(caller.lastPart, !started);
    if (started)
        QCOMPARE(caller.parts.size(), 1);
    else
        QCOMPARE(caller.parts, QByteArrayList{error});
}

void TestReplyWriter::partsShareOneDeadline()
{
    Caller caller;
    ReplyWriter out(caller.output(), caller.abort());
    const QByteArray part(ReplyWriter::HoldBytes, 'x');
    out.append("[");
    out.append(part);
    out.append(part);
    out.finish();
    QCOMPARE(caller.parts.size(), 3);
    QVERIFY(caller.lastPart && !caller.aborted);
    // Counted from the first part, not renewed by later ones.
    const qint64 first = caller.deadlines.first().deadline();
    QVERIFY(!caller.deadlines.first().isForever());
    QVERIFY(caller.deadlines.first().remainingTime() <= ReplyWriter::DeadlineMs);
    for (const QDeadlineTimer& deadline : qAsConst(caller.deadlines))
        QCOMPARE(deadline.deadline(), first);
}

// A reply still being made when its deadline passes ends there, however fast the caller reads.
void TestReplyWriter::expiredDeadlineCutsOff()
{
    Caller caller;
    ReplyWriter out(caller.output(), caller.abort(), 50);
    out.append("[");
    out.append(QByteArray(ReplyWriter::HoldBytes, 'x'));
    QCOMPARE(caller.parts.size(), 1);
    QTRY_VERIFY(caller.deadlines.first().hasExpired());
    QVERIFY(out.isOpen());
    out.append(QByteArray(ReplyWriter::HoldBytes, 'y'));
    QVERIFY(!out.isOpen());
    QVERIFY(caller.aborted);
    out.finish();
    QCOMPARE(caller.parts.size(), 1);
    QVERIFY(!caller.lastPart);
}

QTEST_GUILESS_MAIN(TestReplyWriter)
#include "tst_replywriter.moc"
