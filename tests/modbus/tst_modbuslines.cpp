#include "ModbusContext.h"
#include "ModbusPeer.h"
#include "PtyPair.h"
#include "QextPortInfo.h"
#include "RecordingBuffer.h"
#include "ScriptedRtuSlave.h"
#include "connections/ModbusSerialLine.h"
#include "connections/ModbusTCPLine.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr int Device = 7;
constexpr qint64 Tick = 1700000000123;
constexpr int NothingStored = -1;
constexpr int NotCounted = -1;

struct ExpectedValues
{
    int firstAddr = 0;
    int addrStep = 1;
    QVector<double> vals;
    QVector<int> flags;
};

t_iterationConfig plan(int unit, int function, int addr, int count, int regType = 4,
                       int regSize = 16, int valSize = 16, int decimal = 0)
{
    t_iterationConfig it;
    it.ModbusId = unit;
    it.ModbusReadFunction = qint16(function);
    it.regAddr = addr;
    it.valuesCnt = count;
    it.regType = regType;
    it.regSize = regSize;
    it.valSize = valSize;
    it.decimal = decimal;
    it.idDevice = Device;
    return it;
}

ExpectedValues values(int firstAddr, int addrStep, const QVector<double>& vals,
                      QVector<int> flags = {})
{
    if (flags.isEmpty())
        flags.fill(0, vals.size());
    return {firstAddr, addrStep, vals, flags};
}

QVector<double> ramp(double first, int count, double step = 1.0)
{
    QVector<double> out;
    for (int i = 0; i < count; ++i)
        out.append(first + i * step);
    return out;
}

quint16 halfOf(float f, bool high)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return quint16(high ? bits >> 16 : bits);
}

bool sameValue(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

// Every value of the plan stored once, in order, with the tick's time.
bool storedAsExpected(const RecordingBuffer& buffer, const ExpectedValues& expected, QString* why)
{
    if (buffer.updates.size() != expected.vals.size()) {
        *why = QStringLiteral("%1 values stored, %2 expected")
                   .arg(buffer.updates.size())
                   .arg(expected.vals.size());
        return false;
    }
    for (int k = 0; k < expected.vals.size(); ++k) {
        const RecordingBuffer::Update& u = buffer.updates[k];
        const int addr = expected.firstAddr + k * expected.addrStep;
        if (u.idDevice != Device || u.regAddr != addr || u.value.time != Tick ||
            !sameValue(u.value.val, expected.vals[k]) || u.value.flag != expected.flags[k]) {
            *why = QStringLiteral("value %1: device %2 address %3 time %4 value %5 flag %6; "
                                  "expected address %7 value "
                                  "%8 flag %9")
                       .arg(k)
                       .arg(u.idDevice)
                       .arg(u.regAddr)
                       .arg(u.value.time)
                       .arg(u.value.val, 0, 'g', 17)
                       .arg(u.value.flag)
                       .arg(addr)
                       .arg(expected.vals[k], 0, 'g', 17)
                       .arg(expected.flags[k]);
            return false;
        }
    }
    return true;
}

// Flag f at every value's address.
ExpectedValues failed(const t_iterationConfig& it, int flag)
{
    ExpectedValues e;
    e.firstAddr = it.regAddr;
    e.addrStep = ModbusLine::valueStep(it);
    if (flag != NothingStored) {
        e.vals.fill(0.0, it.valuesCnt);
        e.flags.fill(flag, it.valuesCnt);
    }
    return e;
}

} // namespace

Q_DECLARE_METATYPE(ExpectedValues)
Q_DECLARE_METATYPE(t_iterationConfig)

class tst_ModbusLines : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void read_data();
    void read();
    void failures_data();
    void failures();
    void readFromFaultyPeer_data();
    void readFromFaultyPeer();
    void requestsInWholeValues_data();
    void requestsInWholeValues();
    void timeoutIsTheConfiguredWait_data();
    void timeoutIsTheConfiguredWait();
    void busyLockStoresNothing_data();
    void busyLockStoresNothing();
    void lateReplyDoesNotCorruptNextRead_data();
    void lateReplyDoesNotCorruptNextRead();
    void lateSlaveBesideAHealthyOne_data();
    void lateSlaveBesideAHealthyOne();
    void answerAmongGarbledBytes_data();
    void answerAmongGarbledBytes();
    void identifySlave_data();
    void identifySlave();

    void refusedTcpConnection();
    void stopDuringTcpConnectSendsNothing();
    void choosePort_data();
    void choosePort();
    void choosePortThroughLinks_data();
    void choosePortThroughLinks();
    void serialLineThatCannotOpen_data();
    void serialLineThatCannotOpen();
    void serialPortByShortName();

private:
    void checkRead(bool faultyPeer);
    std::unique_ptr<ModbusLine> line(const QString& transport, bool faulty, int id = 1,
                                     int timeoutMs = 300);
    static std::unique_ptr<ModbusSerialLine> serialLine(const QString& device, int id,
                                                        int timeoutMs);
    ModbusPeer& faultPeer(const QString& transport)
    {
        return transport == QLatin1String("tcp") ? m_faultTcp : m_faultRtu;
    }
    QStringList requestsSeen(ModbusLine& line, const QString& transport, int mark,
                             int* connections = nullptr);

    // The pty pairs outlive the servers on them.
    PtyPair m_pymodbusPty;
    PtyPair m_faultPty;
    PtyPair m_scriptPty;
    ModbusPeer m_pymodbusTcp{ModbusPeer::Pymodbus};
    ModbusPeer m_pymodbusRtu{ModbusPeer::Pymodbus};
    ModbusPeer m_faultTcp{ModbusPeer::Faulty};
    ModbusPeer m_faultRtu{ModbusPeer::Faulty};
};

void tst_ModbusLines::initTestCase()
{
    QVERIFY(m_pymodbusTcp.startTcp());
    QVERIFY(m_faultTcp.startTcp());
    QVERIFY(m_pymodbusPty.start());
    QVERIFY(m_pymodbusRtu.startRtu(m_pymodbusPty.peerEnd()));
    QVERIFY(m_faultPty.start());
    QVERIFY(m_faultRtu.startRtu(m_faultPty.peerEnd()));
    QVERIFY(m_scriptPty.start());
}

std::unique_ptr<ModbusLine> tst_ModbusLines::line(const QString& transport, bool faulty, int id,
                                                  int timeoutMs)
{
    if (transport == QLatin1String("tcp")) {
        t_tcpConnection c;
        c.id = id;
        c.ip = QStringLiteral("127.0.0.1");
        c.portTCP = (faulty ? m_faultTcp : m_pymodbusTcp).port();
        c.timeout = timeoutMs;
        return std::make_unique<ModbusTCPLine>(c);
    }
    return serialLine((faulty ? m_faultPty : m_pymodbusPty).lineEnd(), id, timeoutMs);
}

std::unique_ptr<ModbusSerialLine> tst_ModbusLines::serialLine(const QString& device, int id,
                                                              int timeoutMs)
{
    t_serialConnection c;
    c.id = id;
    c.serialPort = device;
    c.baudRate = 9600;
    c.parity = 'N';
    c.stopBits = 1;
    c.timeout = timeoutMs;
    return std::make_unique<ModbusSerialLine>(c);
}

// The faulty peer's requests since mark. One more read on the same line makes sure the peer
// has logged everything before it; that read and its connections are left out.
QStringList tst_ModbusLines::requestsSeen(ModbusLine& line, const QString& transport, int mark,
                                          int* connections)
{
    RecordingBuffer sink;
    const t_iterationConfig sync = plan(1, 3, 7, 1);
    const int rc = line.readRegisters(&sync, &sink, Tick, 0);
    QStringList log = faultPeer(transport).log().mid(mark);
    if (rc != 0 || log.isEmpty() ||
        log.takeLast() != QLatin1String("REQ unit=1 fn=3 addr=7 count=1"))
        return {QStringLiteral("the read after it failed")};
    if (connections)
        *connections =
            log.filter(QStringLiteral("CONN")).size() - (transport == QLatin1String("tcp") ? 2 : 0);
    return log.filter(QStringLiteral("REQ"));
}

void tst_ModbusLines::read_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<t_iterationConfig>("it");
    QTest::addColumn<ExpectedValues>("expected");

    const auto u32 = [](int first, int count) {
        QVector<double> out;
        for (int k = 0; k < count; ++k)
            out.append(double(first + 2 * k) * 65536 + first + 2 * k + 1);
        return out;
    };
    const double marker = double(1e20f);

    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        QTest::addRow("holding %s", t)
            << transport << plan(1, 3, 100, 3) << values(100, 1, {100, 101, 102});
        QTest::addRow("input %s", t)
            << transport << plan(1, 4, 100, 3) << values(100, 1, {10100, 10101, 10102});
        QTest::addRow("single first word high %s", t)
            << transport << plan(1, 3, 1000, 1, 2, 16, 32) << values(1000, 2, {230.5});
        QTest::addRow("single first word low %s", t)
            << transport << plan(1, 4, 1002, 1, 3, 16, 32) << values(1002, 2, {230.5});
        QTest::addRow("signed 32-bit / 10 %s", t)
            << transport << plan(1, 3, 1004, 1, 5, 16, 32) << values(1004, 2, {-1.0});
        QTest::addRow("not-available marker %s", t)
            << transport << plan(1, 3, 1006, 1, 2, 16, 32) << values(1006, 2, {marker}, {2});
        QTest::addRow("two singles %s", t)
            << transport << plan(1, 3, 1000, 2, 2, 16, 32)
            << values(1000, 2, {230.5, -std::ldexp(double(0x4366), -149)});
        QTest::addRow("decimals %s", t)
            << transport << plan(1, 3, 1234, 1, 13, 16, 16, 1) << values(1234, 1, {double(123.4f)});
        QTest::addRow("200 values %s", t)
            << transport << plan(1, 3, 100, 200) << values(100, 1, ramp(100, 200));
        QTest::addRow("200 32-bit values %s", t)
            << transport << plan(1, 4, 100, 200, 0, 16, 32) << values(100, 2, u32(10100, 200));
    }
}

// The row's read succeeds on the peer and stores exactly the expected values.
void tst_ModbusLines::checkRead(bool faultyPeer)
{
    QFETCH(QString, transport);
    QFETCH(t_iterationConfig, it);
    QFETCH(ExpectedValues, expected);

    auto l = line(transport, faultyPeer);
    RecordingBuffer buffer;
    QCOMPARE(l->readRegisters(&it, &buffer, Tick, 0), 0);
    QString why;
    QVERIFY2(storedAsExpected(buffer, expected, &why), qPrintable(why));
}

void tst_ModbusLines::read()
{
    checkRead(false);
}

void tst_ModbusLines::failures_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<t_iterationConfig>("it");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("flag");
    QTest::addColumn<int>("requests");

    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        QTest::addRow("exception reply %s", t) << transport << plan(1, 3, 1000, 3) << 6 << 4 << 1;
        QTest::addRow("fewer registers %s", t) << transport << plan(1, 3, 2000, 5) << 1 << 4 << 1;
        QTest::addRow("fewer registers of 32-bit values %s", t)
            << transport << plan(1, 4, 2000, 3, 0, 16, 32) << 1 << 4 << 1;
        QTest::addRow("fewer registers in the second part %s", t)
            << transport << plan(1, 3, 1875, 130) << 1 << 4 << 2;
        // Over TCP another unit's answer is taken (see the library's tests); on a bus it is
        // none, and the asked slave is silent.
        if (transport == QLatin1String("rtu"))
            QTest::addRow("other unit answers %s", t)
                << transport << plan(1, 3, 6000, 2) << 5 << 3 << 1;
        QTest::addRow("no answer %s", t)
            << transport << plan(1, 4, 4000, 2, 0, 16, 32) << 5 << 3 << 1;
        QTest::addRow("answer cut short %s", t) << transport << plan(1, 3, 3000, 2) << 5 << 3 << 1;
        QTest::addRow("201 values %s", t)
            << transport << plan(1, 3, 10, 201) << 2 << NothingStored << 0;
        QTest::addRow("no values %s", t)
            << transport << plan(1, 3, 10, 0) << 2 << NothingStored << 0;
        QTest::addRow("negative count %s", t)
            << transport << plan(1, 3, 10, -4) << 2 << NothingStored << 0;
        QTest::addRow("past register 65535 %s", t)
            << transport << plan(1, 3, 65500, 100) << 6 << 4 << 0;
        QTest::addRow("negative address %s", t) << transport << plan(1, 4, -2, 2) << 6 << 4 << 0;
        QTest::addRow("slave address out of range %s", t)
            << transport << plan(300, 3, 10, 2) << 6 << 4 << 0;
    }
}

void tst_ModbusLines::failures()
{
    QFETCH(QString, transport);
    QFETCH(t_iterationConfig, it);
    QFETCH(int, code);
    QFETCH(int, flag);
    QFETCH(int, requests);

    auto l = line(transport, true, 1, 200);
    RecordingBuffer buffer;
    const int mark = faultPeer(transport).log().size();
    QCOMPARE(l->readRegisters(&it, &buffer, Tick, 0), code);
    QString why;
    QVERIFY2(storedAsExpected(buffer, failed(it, flag), &why), qPrintable(why));

    int connections = 0;
    QCOMPARE(requestsSeen(*l, transport, mark, &connections).size(), requests);
    // Every TCP read, even one refused for its size, opens a new probe and a new context.
    if (transport == QLatin1String("tcp"))
        QCOMPARE(connections, 2);
}

void tst_ModbusLines::readFromFaultyPeer_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<t_iterationConfig>("it");
    QTest::addColumn<ExpectedValues>("expected");

    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        // The peer's unit 32 has 32-bit registers, register a holding the single a + 0.5.
        QTest::addRow("32-bit registers %s", t)
            << transport << plan(32, 3, 100, 3, 3, 32, 32) << values(100, 1, {100.5, 101.5, 102.5});
        QTest::addRow("70 32-bit registers %s", t)
            << transport << plan(32, 3, 100, 70, 3, 32, 32) << values(100, 1, ramp(100.5, 70));
        QTest::addRow("200 32-bit registers %s", t)
            << transport << plan(32, 3, 0, 200, 3, 32, 32) << values(0, 1, ramp(0.5, 200));

        // Plans whose sizes disagree: the line reads and decodes only the words its request
        // delivered (ASan builds check the "only").
        QTest::addRow("16-bit values on 32-bit registers %s", t)
            << transport << plan(32, 3, 100, 3, 4, 32, 16)
            << values(100, 1,
                      {double(halfOf(100.5f, true)), double(halfOf(100.5f, false)),
                       double(halfOf(101.5f, true))});
        QTest::addRow("32-bit item of 16-bit values %s", t)
            << transport << plan(1, 3, 100, 3, 8, 16, 16)
            << values(100, 1, {100.0 * 65536 + 101, 0, 0}, {0, 4, 4});
        QTest::addRow("single from one word %s", t)
            << transport << plan(1, 4, 100, 1, 2, 16, 16) << values(100, 1, {0}, {4});
        QTest::addRow("32-bit registers with function 4 %s", t)
            << transport << plan(32, 4, 100, 2, 15, 32, 32)
            << values(100, 1, {100.0 * 65536 + 101, 0}, {0, 4});
        QTest::addRow("odd widths %s", t)
            << transport << plan(32, 3, 100, 2, 0, 17, -32)
            << values(100, 1, {double(halfOf(100.5f, true)), double(halfOf(100.5f, false))});
    }
}

void tst_ModbusLines::readFromFaultyPeer()
{
    checkRead(true);
}

void tst_ModbusLines::requestsInWholeValues_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<t_iterationConfig>("it");
    QTest::addColumn<QStringList>("requests"); // unit function first/registers
    QTest::addColumn<ExpectedValues>("expected");

    // The peer's register a holds a: single k is made of the words 100 + 2k (high), 101 + 2k.
    QVector<double> singles;
    for (int k = 0; k < 200; ++k) {
        const quint32 bits = quint32(100 + 2 * k) << 16 | quint32(101 + 2 * k);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        singles.append(double(f));
    }
    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        QTest::addRow("200 singles %s", t)
            << transport << plan(1, 3, 100, 200, 2, 16, 32)
            << QStringList{"1 3 100/124", "1 3 224/124", "1 3 348/124", "1 3 472/28"}
            << values(100, 2, singles);
        QTest::addRow("200 16-bit values %s", t)
            << transport << plan(1, 4, 100, 200) << QStringList{"1 4 100/125", "1 4 225/75"}
            << values(100, 1, ramp(100, 200));
        QTest::addRow("200 32-bit registers %s", t)
            << transport << plan(32, 3, 0, 200, 3, 32, 32)
            << QStringList{"32 3 0/62", "32 3 62/62", "32 3 124/62", "32 3 186/14"}
            << values(0, 1, ramp(0.5, 200));
    }
}

// A long plan goes out as requests that each begin and end on a whole value, and its values
// are those of one long read.
void tst_ModbusLines::requestsInWholeValues()
{
    QFETCH(QString, transport);
    QFETCH(t_iterationConfig, it);
    QFETCH(QStringList, requests);
    QFETCH(ExpectedValues, expected);

    auto l = line(transport, true);
    RecordingBuffer buffer;
    const int mark = faultPeer(transport).log().size();
    QCOMPARE(l->readRegisters(&it, &buffer, Tick, 0), 0);
    QString why;
    QVERIFY2(storedAsExpected(buffer, expected, &why), qPrintable(why));
    QStringList logged;
    for (const QString& r : requests) {
        const QStringList f = r.split(QLatin1Char(' '));
        logged.append(QStringLiteral("REQ unit=%1 fn=%2 addr=%3 count=%4")
                          .arg(f[0], f[1], f[2].section(QLatin1Char('/'), 0, 0),
                               f[2].section(QLatin1Char('/'), 1, 1)));
    }
    QCOMPARE(requestsSeen(*l, transport, mark), logged);
}

void tst_ModbusLines::timeoutIsTheConfiguredWait_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("timeoutMs");

    for (const char* t : {"tcp", "rtu"}) {
        QTest::addRow("silent 200 ms %s", t) << QString::fromLatin1(t) << 4000 << 200;
        // A µs part of more than a second: libmodbus alone would refuse it and keep 0.5 s.
        QTest::addRow("silent 1200 ms %s", t) << QString::fromLatin1(t) << 4000 << 1200;
        // A correct answer, one byte every 200 ms: a time-out as well, not a good value late.
        QTest::addRow("trickling 500 ms %s", t) << QString::fromLatin1(t) << 7200 << 500;
    }
}

void tst_ModbusLines::timeoutIsTheConfiguredWait()
{
    QFETCH(QString, transport);
    QFETCH(int, addr);
    QFETCH(int, timeoutMs);

    qint64 elapsed = 0;
    RecordingBuffer buffer;
    const t_iterationConfig it = plan(1, 3, addr, 10);
    {
        auto l = line(transport, true, 1, timeoutMs);
        QCOMPARE(l->connect(), 0);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(l->readRegisters(&it, &buffer, Tick, 0), 5);
        elapsed = timer.elapsed();
    }
    if (transport == QLatin1String("rtu"))
        QVERIFY(rtuPeerIdle(m_faultPty.lineEnd()));
    QVERIFY2(elapsed >= timeoutMs - 5 && elapsed <= timeoutMs + 100,
             qPrintable(QString::number(elapsed)));
    QString why;
    QVERIFY2(storedAsExpected(buffer, failed(it, 3), &why), qPrintable(why));
}

void tst_ModbusLines::busyLockStoresNothing_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("faulty");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("code");

    // The procedure is the lines' shared one; each row waits out two try-locks.
    QTest::newRow("good answer") << QStringLiteral("tcp") << false << 100 << 1;
    QTest::newRow("no answer") << QStringLiteral("tcp") << true << 4000 << 5;
}

void tst_ModbusLines::busyLockStoresNothing()
{
    QFETCH(QString, transport);
    QFETCH(bool, faulty);
    QFETCH(int, addr);
    QFETCH(int, code);

    auto l = line(transport, faulty, 1, 200);
    RecordingBuffer buffer;
    const t_iterationConfig it = plan(1, 3, addr, 4);
    buffer.holdLock();
    QCOMPARE(l->readRegisters(&it, &buffer, Tick, 0), code);
    buffer.releaseLock();
    QVERIFY(buffer.updates.isEmpty());
}

void tst_ModbusLines::lateReplyDoesNotCorruptNextRead_data()
{
    QTest::addColumn<QString>("transport");
    QTest::newRow("tcp") << QStringLiteral("tcp");
    QTest::newRow("rtu") << QStringLiteral("rtu");
}

// The late answer has the shape of the next one (same function, same count): read as its
// answer, it would pass for it. It comes half a time-out after the time-out, while the next
// request could already be on its way.
void tst_ModbusLines::lateReplyDoesNotCorruptNextRead()
{
    QFETCH(QString, transport);

    auto l = line(transport, true, 1, 200);
    RecordingBuffer late;
    const t_iterationConfig slow = plan(1, 3, 5300, 2);
    QCOMPARE(l->readRegisters(&slow, &late, Tick, 0), 5);

    RecordingBuffer next;
    const t_iterationConfig it = plan(1, 3, 10, 2);
    QCOMPARE(l->readRegisters(&it, &next, Tick, 0), 0);
    QString why;
    QVERIFY2(storedAsExpected(next, values(10, 1, {10, 11}), &why), qPrintable(why));
}

void tst_ModbusLines::lateSlaveBesideAHealthyOne_data()
{
    QTest::addColumn<t_iterationConfig>("late");

    // The peer serves one request after the other: with the line's 160 ms time-out, the late
    // answer comes 340 ms after its request, about when the next request goes out (after a
    // quiet time-out), and the healthy answer right behind it. Margins of that size hold on a
    // busy machine.
    QTest::newRow("another slave") << plan(2, 3, 5340, 2);
    QTest::newRow("the same slave, another function") << plan(1, 4, 5340, 2);
}

// On one serial line a slave answers after its time-out, beside a healthy one. The late frame
// is passed over and the healthy slave's reads succeed with their own values.
void tst_ModbusLines::lateSlaveBesideAHealthyOne()
{
    QFETCH(t_iterationConfig, late);
    constexpr int samples = 100;

    auto l = line(QStringLiteral("rtu"), true, 1, 160);
    const t_iterationConfig healthy = plan(1, 3, 10, 2);
    int good = 0;
    QStringList failures;
    for (int i = 0; i < samples; ++i) {
        RecordingBuffer lateValues;
        QCOMPARE(l->readRegisters(&late, &lateValues, Tick, 0), 5);
        RecordingBuffer stored;
        const int rc = l->readRegisters(&healthy, &stored, Tick, 0);
        QString why;
        if (rc == 0 && storedAsExpected(stored, values(10, 1, {10, 11}), &why))
            ++good;
        else
            failures << QStringLiteral("%1: %2 %3").arg(i).arg(rc).arg(why);
    }
    QVERIFY2(good >= samples * 99 / 100, qPrintable(failures.join(QLatin1String("; "))));
}

void tst_ModbusLines::answerAmongGarbledBytes_data()
{
    QTest::addColumn<QByteArrayList>("pieces"); // what the slave sends, in order
    QTest::addColumn<int>("pauseMs");           // between the pieces
    QTest::addColumn<int>("code");
    QTest::addColumn<ExpectedValues>("expected");

    // The answer to unit 1, function 3, registers 10 and 11 holding 100 and 1000. Its data
    // bytes 03 E8 read as a header announce 232 more bytes.
    const QByteArray answer = ScriptedRtuSlave::frame(QByteArray::fromHex("010304006403e8"));
    const ExpectedValues good = values(10, 1, {100, 1000});
    const ExpectedValues timedOut = values(10, 1, {0, 0}, {3, 3});
    const auto badCrc = [](QByteArray f) {
        f[f.size() - 1] = char(f.at(f.size() - 1) ^ 0x5A);
        return f;
    };
    const auto badData = [](QByteArray f) {
        f[4] = char(f.at(4) ^ 0x01);
        return f;
    };

    QTest::newRow("the answer") << QByteArrayList{answer} << 0 << 0 << good;
    QTest::newRow("a bad CRC copy, then the answer")
        << QByteArrayList{badCrc(answer) + answer} << 0 << 0 << good;
    QTest::newRow("noise 01 03 C8, then the answer")
        << QByteArrayList{QByteArray::fromHex("0103c8") + answer} << 0 << 0 << good;
    QTest::newRow("noise 01 03 C8, a pause, then the answer")
        << QByteArrayList{QByteArray::fromHex("0103c8"), answer} << 200 << 0 << good;
    // Noise of every length up to a header's worth: a false header of the longest frame, the
    // answer's own beginning (a slave that began again), the zero bytes of a line switching on.
    for (int n = 1; n <= 3; ++n) {
        QTest::addRow("%d bytes of a false header, then the answer", n)
            << QByteArrayList{QByteArray::fromHex("0103fa").left(n) + answer} << 0 << 0 << good;
        QTest::addRow("%d bytes of the answer, then the answer", n)
            << QByteArrayList{answer.left(n) + answer} << 0 << 0 << good;
        QTest::addRow("%d zero bytes, then the answer", n)
            << QByteArrayList{QByteArray(n, '\0') + answer} << 0 << 0 << good;
    }
    QTest::newRow("two bad frames, then the answer")
        << QByteArrayList{badData(answer) + badCrc(answer) + answer} << 0 << 0 << good;
    QTest::newRow("another slave's frame, then the answer")
        << QByteArrayList{ScriptedRtuSlave::frame(QByteArray::fromHex("0203020007")) + answer} << 0
        << 0 << good;
    QTest::newRow("split by pauses")
        << QByteArrayList{answer.left(2), answer.mid(2, 4), answer.mid(6)} << 150 << 0 << good;
    QByteArrayList bytes;
    for (const char b : answer)
        bytes.append(QByteArray(1, b));
    QTest::newRow("one byte at a time") << bytes << 40 << 0 << good;
    QTest::newRow("a bad frame, then an exception")
        << QByteArrayList{badCrc(answer) + ScriptedRtuSlave::frame(QByteArray::fromHex("018302"))}
        << 0 << 6 << values(10, 1, {0, 0}, {4, 4});
    // Nothing but a whole frame with a good CRC, from the slave asked, of the function asked,
    // is an answer.
    QTest::newRow("garbage only")
        << QByteArrayList{QByteArray::fromHex("ff0103fa00641f0be803")} << 0 << 5 << timedOut;
    QTest::newRow("a bad CRC copy only") << QByteArrayList{badCrc(answer)} << 0 << 5 << timedOut;
    QTest::newRow("the answer cut short")
        << QByteArrayList{answer.left(answer.size() - 1)} << 0 << 5 << timedOut;
    QTest::newRow("the same data as function 4")
        << QByteArrayList{ScriptedRtuSlave::frame(QByteArray::fromHex("010404006403e8"))} << 0 << 5
        << timedOut;
}

// A scripted slave answers on the bus: the answer is found wherever it begins, within the
// response time-out, and nothing else passes for it.
void tst_ModbusLines::answerAmongGarbledBytes()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, pauseMs);
    QFETCH(int, code);
    QFETCH(ExpectedValues, expected);
    constexpr int timeoutMs = 1000;

    ScriptedRtuSlave slave;
    QVERIFY(slave.start(m_scriptPty.peerEnd(), pieces, pauseMs));
    const auto l = serialLine(m_scriptPty.lineEnd(), 1, timeoutMs);
    QCOMPARE(l->connect(), 0);
    RecordingBuffer buffer;
    const t_iterationConfig it = plan(1, 3, 10, 2);
    QElapsedTimer timer;
    timer.start();
    const int rc = l->readRegisters(&it, &buffer, Tick, 0);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(slave.finish(), ScriptedRtuSlave::frame(QByteArray::fromHex("0103000a0002")));
    QCOMPARE(rc, code);
    QString why;
    QVERIFY2(storedAsExpected(buffer, expected, &why), qPrintable(why));
    // Never beyond the one deadline: a reader that starts it again takes at least twice as long,
    // which leaves a busy machine the rest.
    QVERIFY2(elapsed < 2 * timeoutMs, qPrintable(QString::number(elapsed)));
}

void tst_ModbusLines::identifySlave_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("faulty");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("slaveId");
    QTest::addColumn<int>("requests");

    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        const bool tcp = transport == QLatin1String("tcp");
        QTest::addRow("pymodbus %s", t) << transport << false << 1 << 0 << 17 << NotCounted;
        QTest::addRow("three bytes %s", t) << transport << true << 17 << 0 << 17 << 1;
        QTest::addRow("id and status %s", t) << transport << true << 9 << 0 << 9 << 1;
        QTest::addRow("no answer %s", t) << transport << true << 44 << 5 << -1 << 1;
        // TCP asks once more on a new connection; the serial line never retries.
        QTest::addRow("always empty %s", t) << transport << true << 40 << 1 << -1 << (tcp ? 2 : 1);
        QTest::addRow("empty at first %s", t)
            << transport << true << 41 << (tcp ? 0 : 1) << (tcp ? 41 : -1) << (tcp ? 2 : 1);
    }
}

void tst_ModbusLines::identifySlave()
{
    QFETCH(QString, transport);
    QFETCH(bool, faulty);
    QFETCH(int, unit);
    QFETCH(int, code);
    QFETCH(int, slaveId);
    QFETCH(int, requests);

    auto l = line(transport, faulty, unit, 200);
    const int mark = faulty ? faultPeer(transport).log().size() : 0;
    int id = -1;
    QCOMPARE(l->identifySlave(id, 0), code);
    QCOMPARE(id, slaveId);
    if (requests != NotCounted)
        QCOMPARE(requestsSeen(*l, transport, mark).size(), requests);
}

void tst_ModbusLines::refusedTcpConnection()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    t_tcpConnection c;
    c.ip = QStringLiteral("127.0.0.1");
    c.portTCP = closed.serverPort();
    c.timeout = 1000;
    closed.close();

    ModbusTCPLine l(c);
    RecordingBuffer buffer;
    const t_iterationConfig it = plan(1, 3, 10, 2);
    QCOMPARE(l.readRegisters(&it, &buffer, Tick, 0), 4);
    QVERIFY(buffer.updates.isEmpty());
    int id = -1;
    QCOMPARE(l.identifySlave(id, 0), 4);
    QCOMPARE(id, -1);
}

// The stop comes while the line opens its connection (here: before it): the connect
// succeeds, and no request follows it, which would hold the stop for a whole time-out.
void tst_ModbusLines::stopDuringTcpConnectSendsNothing()
{
    constexpr int timeoutMs = 1000;
    auto l = line(QStringLiteral("tcp"), true, 1, timeoutMs);
    auto stop = std::make_shared<std::atomic<bool>>(true);
    l->setStopFlag(stop);
    const int mark = m_faultTcp.log().size();
    RecordingBuffer buffer;
    const t_iterationConfig silent = plan(1, 3, 4000, 2);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(l->readRegisters(&silent, &buffer, Tick, 0), int(ModbusLine::Stopped));
    QVERIFY2(timer.elapsed() < timeoutMs / 2, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(buffer.updates.isEmpty());
    *stop = false;
    QCOMPARE(requestsSeen(*l, QStringLiteral("tcp"), mark), QStringList());
}

void tst_ModbusLines::choosePort_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("chosen");

    const QStringList usb{QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0")};
    QTest::newRow("full path") << usb << "/dev/ttyUSB0"
                               << "/dev/ttyUSB0";
    QTest::newRow("device name") << usb << "ttyUSB0"
                                 << "/dev/ttyUSB0";
    QTest::newRow("first containing wins") << QStringList{"COM10", "COM1"} << "COM1"
                                           << "COM10";
    QTest::newRow("case-sensitive") << usb << "TTYUSB0" << QString();
    QTest::newRow("none present") << usb << "ttyACM0" << QString();
    QTest::newRow("no ports") << QStringList() << "ttyS0" << QString();
    QTest::newRow("empty name") << usb << QString() << QString();
    QTest::newRow("LPT listed") << QStringList{"LPT1"} << "LPT1" << QString();
    QTest::newRow("LPT as a device path") << QStringList{"/dev/LPT1"} << "LPT1" << QString();
    QTest::newRow("LPT configured, another name listed")
        << QStringList{"/dev/xLPT1"} << "LPT1" << QString();
    QTest::newRow("chosen port is LPT") << QStringList{"LPT10"} << "PT1" << QString();
}

void tst_ModbusLines::choosePort()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, configured);
    QFETCH(QString, chosen);

    QList<QextPortInfo> present;
    for (const QString& name : qAsConst(ports))
        present.append({name, QString()});
    QCOMPARE(ModbusSerialLine::choosePort(present, configured), chosen);
}

// Names are relative to a directory of stand-ins for device files:
//   ttyA, ttyA1, ttyB             files
//   by-id/usb-A -> ../ttyA        relative, as udev makes them
//   mine -> by-id/usb-A           a link to a link
//   ttyB-link -> ttyB
//   lost -> unplugged             dangling
//   other -> ttyC                 a file that is not a listed port
void tst_ModbusLines::choosePortThroughLinks_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("chosen");

    const QStringList kernel{"ttyB", "ttyA"};
    QTest::newRow("stable name") << kernel << "by-id/usb-A"
                                 << "ttyA";
    QTest::newRow("link to a link") << kernel << "mine"
                                    << "ttyA";
    QTest::newRow("stable name listed too: the kernel name comes first")
        << QStringList{"ttyB", "ttyA", "by-id/usb-A"} << "by-id/usb-A"
        << "ttyA";
    // The substring rule would take the first name containing the link's path.
    QTest::newRow("link before substring") << QStringList{"ttyB-link-2", "ttyB"} << "ttyB-link"
                                           << "ttyB";
    QTest::newRow("dangling link") << kernel << "lost" << QString();
    QTest::newRow("link to an unlisted file") << kernel << "other" << QString();
    // A kernel name is no link: the first name containing it still wins.
    QTest::newRow("kernel name keeps first match") << QStringList{"ttyA1", "ttyA"} << "ttyA"
                                                   << "ttyA1";
}

void tst_ModbusLines::choosePortThroughLinks()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, configured);
    QFETCH(QString, chosen);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString d = QFileInfo(dir.path()).canonicalFilePath();
    for (const char* name : {"ttyA", "ttyA1", "ttyB", "ttyC"}) {
        QFile f(d + "/" + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(d).mkdir("by-id"));
    QVERIFY(QFile::link("../ttyA", d + "/by-id/usb-A"));
    QVERIFY(QFile::link("by-id/usb-A", d + "/mine"));
    QVERIFY(QFile::link("ttyB", d + "/ttyB-link"));
    QVERIFY(QFile::link("unplugged", d + "/lost"));
    QVERIFY(QFile::link("ttyC", d + "/other"));

    QList<QextPortInfo> present;
    for (const QString& name : qAsConst(ports))
        present.append({d + "/" + name, QString()});
    QCOMPARE(ModbusSerialLine::choosePort(present, d + "/" + configured),
             chosen.isEmpty() ? QString() : d + "/" + chosen);
}

void tst_ModbusLines::serialLineThatCannotOpen_data()
{
    QTest::addColumn<QString>("port");

    QTest::newRow("missing") << "ttyKORVALEN_NONE";
    QTest::newRow("LPT") << "LPT1";
    QTest::newRow("empty") << QString();
}

void tst_ModbusLines::serialLineThatCannotOpen()
{
    QFETCH(QString, port);

    t_serialConnection c;
    c.serialPort = port;
    c.timeout = 200;
    ModbusSerialLine l(c);
    QCOMPARE(l.connect(), 3);
    RecordingBuffer buffer;
    const t_iterationConfig it = plan(1, 3, 10, 2);
    QCOMPARE(l.readRegisters(&it, &buffer, Tick, 0), 3);
    QVERIFY(buffer.updates.isEmpty());
    int id = -1;
    QCOMPARE(l.identifySlave(id, 0), 3);
    QCOMPARE(id, -1);
}

// Found among the enumerated ports by substring, as a configured "ttyUSB0" finds /dev/ttyUSB0.
void tst_ModbusLines::serialPortByShortName()
{
    t_serialConnection c;
    c.serialPort = m_pymodbusPty.lineEnd().mid(int(strlen("/dev/")));
    c.timeout = 300;
    ModbusSerialLine l(c);
    RecordingBuffer buffer;
    const t_iterationConfig it = plan(1, 3, 100, 2);
    QCOMPARE(l.readRegisters(&it, &buffer, Tick, 0), 0);
    QString why;
    QVERIFY2(storedAsExpected(buffer, values(100, 1, {100, 101}), &why), qPrintable(why));
}

QTEST_GUILESS_MAIN(tst_ModbusLines)
#include "tst_modbuslines.moc"
