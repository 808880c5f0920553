#include "ModbusContext.h"
#include "ModbusLib.h"
#include "ModbusPeer.h"
#include "PtyPair.h"
#include "QextSerialEnumerator.h"

#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <vector>

namespace {

enum Form
{
    Holding,
    Input,
    Holding32
};
constexpr int AnyTimeout = -1; // expected errno: one that isTimeoutError() accepts
constexpr quint16 Canary = 0xDEAD;
// The fault peer sends its answer from this address on one byte every (address - base) ms.
constexpr int TrickleBase = 7000;

int readForm(modbus_t* ctx, int form, int addr, int nb, uint16_t* dest, int perValue = 1)
{
    switch (form) {
    case Input:
        return modbuslib::modbus_read_input_registers(ctx, addr, nb, dest, perValue);
    case Holding32:
        return modbuslib::modbus_read_registers_32(ctx, addr, nb, dest, perValue);
    default:
        return modbuslib::modbus_read_registers(ctx, addr, nb, dest, perValue);
    }
}

quint32 floatBits(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

QStringList requestsSince(const ModbusPeer& peer, int mark)
{
    return peer.log().mid(mark).filter(QStringLiteral("REQ"));
}

} // namespace

class tst_ModbusLib : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void timeoutBegin_data();
    void timeoutBegin();
    void timeoutErrors_data();
    void timeoutErrors();

    void readInParts_data();
    void readInParts();
    void readRefusedBeforeSending_data();
    void readRefusedBeforeSending();
    void readFailsWhenAPartFails();
    void read32_data();
    void read32();
    void readFaults_data();
    void readFaults();
    void wholeAnswerWithinTheTimeout_data();
    void wholeAnswerWithinTheTimeout();

    void reportSlaveId_data();
    void reportSlaveId();

    void connectRefusesHighDescriptor();
    void enumeratorListsPseudoTerminals();
    void enumeratorListsLinks();

private:
    ModbusContext context(const QString& transport, int slave, int timeoutMs = 300);

    PtyPair m_pty; // outlives the server on it
    ModbusPeer m_pymodbus{ModbusPeer::Pymodbus};
    ModbusPeer m_faultTcp{ModbusPeer::Faulty};
    ModbusPeer m_faultRtu{ModbusPeer::Faulty};
};

void tst_ModbusLib::initTestCase()
{
    QVERIFY(m_pymodbus.startTcp());
    QVERIFY(m_faultTcp.startTcp());
    QVERIFY(m_pty.start());
    QVERIFY(m_faultRtu.startRtu(m_pty.peerEnd()));
}

ModbusContext tst_ModbusLib::context(const QString& transport, int slave, int timeoutMs)
{
    if (transport == QLatin1String("tcp"))
        return tcpContext(m_faultTcp.port(), slave, timeoutMs);
    ModbusContext ctx = rtuContext(m_pty.lineEnd(), slave, timeoutMs);
    // What an earlier test left on the pty is not this test's answer.
    if (ctx)
        ::modbus_flush(ctx.get());
    return ctx;
}

void tst_ModbusLib::timeoutBegin_data()
{
    QTest::addColumn<long>("sec");
    QTest::addColumn<long>("usec");
    QTest::addColumn<int>("rc");
    QTest::addColumn<long>("readSec");
    QTest::addColumn<long>("readUsec");

    // Every row starts from 0.3 s; a refused value leaves it.
    QTest::newRow("whole and µs part") << 1L << 200000L << 0 << 1L << 200000L;
    QTest::newRow("just under a second") << 0L << 999999L << 0 << 0L << 999999L;
    QTest::newRow("µs part of a whole second") << 0L << 1000000L << 0 << 1L << 0L;
    QTest::newRow("1500 ms as µs") << 0L << 1500000L << 0 << 1L << 500000L;
    QTest::newRow("carried onto whole part") << 2L << 2500000L << 0 << 4L << 500000L;
    QTest::newRow("zero wait refused") << 0L << 0L << -1 << 0L << 300000L;
    QTest::newRow("negative µs refused") << 1L << -1000L << -1 << 0L << 300000L;
    QTest::newRow("negative whole part refused") << -1L << 1000L << -1 << 0L << 300000L;
}

void tst_ModbusLib::timeoutBegin()
{
    QFETCH(long, sec);
    QFETCH(long, usec);
    QFETCH(int, rc);
    QFETCH(long, readSec);
    QFETCH(long, readUsec);

    ModbusContext ctx(::modbus_new_tcp("127.0.0.1", 502));
    const timeval start = {0, 300000};
    QCOMPARE(modbuslib::modbus_set_timeout_begin(ctx.get(), &start), 0);
    const timeval tv = {sec, usec};
    QCOMPARE(modbuslib::modbus_set_timeout_begin(ctx.get(), &tv), rc);
    if (rc == -1)
        QCOMPARE(errno, EINVAL);
    timeval read = {};
    QCOMPARE(modbuslib::modbus_get_timeout_begin(ctx.get(), &read), 0);
    QCOMPARE(long(read.tv_sec), readSec);
    QCOMPARE(long(read.tv_usec), readUsec);
}

void tst_ModbusLib::timeoutErrors_data()
{
    QTest::addColumn<int>("err");
    QTest::addColumn<bool>("timeout");

    QTest::newRow("ETIMEDOUT") << int(ETIMEDOUT) << true;
    QTest::newRow("EIO") << int(EIO) << true;
    QTest::newRow("ECONNRESET") << int(ECONNRESET) << false;
    QTest::newRow("EBADF") << int(EBADF) << false;
    QTest::newRow("EMBBADDATA") << int(EMBBADDATA) << false;
    QTest::newRow("EMBXILADD") << int(EMBXILADD) << false;
    QTest::newRow("Windows socket time-out number") << 10060 << false;
    QTest::newRow("none") << 0 << false;
}

void tst_ModbusLib::timeoutErrors()
{
    QFETCH(int, err);
    QFETCH(bool, timeout);
    QCOMPARE(modbuslib::isTimeoutError(err), timeout);
}

void tst_ModbusLib::readInParts_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("nb");
    QTest::addColumn<int>("firstValue"); // register a holds firstValue + (a - addr)
    QTest::addColumn<int>("perValue");   // registers per value: no request splits one

    QTest::newRow("one register") << int(Holding) << 100 << 1 << 100 << 1;
    QTest::newRow("one whole response") << int(Holding) << 100 << 125 << 100 << 1;
    QTest::newRow("one more than a response") << int(Holding) << 100 << 126 << 100 << 1;
    QTest::newRow("two whole responses") << int(Holding) << 100 << 250 << 100 << 1;
    QTest::newRow("400 holding registers") << int(Holding) << 100 << 400 << 100 << 1;
    QTest::newRow("400 input registers") << int(Input) << 100 << 400 << 10100 << 1;
    QTest::newRow("ending at the last register") << int(Input) << 1749 << 251 << 11749 << 1;
    QTest::newRow("400 holding registers in pairs") << int(Holding) << 100 << 400 << 100 << 2;
    QTest::newRow("400 input registers in pairs") << int(Input) << 100 << 400 << 10100 << 2;
}

// Each part must ask for the next addresses: a repeated or shifted part shows in the values.
void tst_ModbusLib::readInParts()
{
    QFETCH(int, form);
    QFETCH(int, addr);
    QFETCH(int, nb);
    QFETCH(int, firstValue);
    QFETCH(int, perValue);

    ModbusContext ctx = tcpContext(m_pymodbus.port(), 1);
    QVERIFY(ctx);
    std::vector<uint16_t> dest(size_t(nb) + 4, Canary);
    QCOMPARE(readForm(ctx.get(), form, addr, nb, dest.data(), perValue), nb);
    for (int i = 0; i < nb; ++i)
        QCOMPARE(dest[size_t(i)], uint16_t(firstValue + i));
    for (size_t i = size_t(nb); i < dest.size(); ++i)
        QCOMPARE(dest[i], Canary);
}

void tst_ModbusLib::readRefusedBeforeSending_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("nb");

    QTest::newRow("no registers") << int(Holding) << 10 << 0;
    QTest::newRow("negative count") << int(Input) << 10 << -3;
    QTest::newRow("negative address") << int(Holding) << -1 << 2;
    QTest::newRow("past register 65535") << int(Holding) << 65500 << 100;
    QTest::newRow("address above 65535") << int(Input) << 70000 << 1;
    QTest::newRow("32-bit past register 65535") << int(Holding32) << 65535 << 2;
}

void tst_ModbusLib::readRefusedBeforeSending()
{
    QFETCH(int, form);
    QFETCH(int, addr);
    QFETCH(int, nb);

    ModbusContext ctx = context(QStringLiteral("tcp"), 1);
    QVERIFY(ctx);
    const int mark = m_faultTcp.log().size();
    uint16_t dest[8] = {};
    QCOMPARE(readForm(ctx.get(), form, addr, nb, dest), -1);
    QCOMPARE(errno, int(EMBMDATA));
    // A request that follows on the same connection is the first the peer sees.
    QCOMPARE(modbuslib::modbus_read_registers(ctx.get(), 7, 1, dest), 1);
    QCOMPARE(requestsSince(m_faultTcp, mark),
             QStringList{QStringLiteral("REQ unit=1 fn=3 addr=7 count=1")});
}

void tst_ModbusLib::readFailsWhenAPartFails()
{
    ModbusContext ctx = context(QStringLiteral("tcp"), 1);
    QVERIFY(ctx);
    const int mark = m_faultTcp.log().size();
    std::vector<uint16_t> dest(300);
    // The second part starts at 1000, where the peer answers with an exception.
    QCOMPARE(modbuslib::modbus_read_registers(ctx.get(), 875, 300, dest.data()), -1);
    QCOMPARE(errno, int(EMBXILADD));
    QCOMPARE(requestsSince(m_faultTcp, mark),
             (QStringList{QStringLiteral("REQ unit=1 fn=3 addr=875 count=125"),
                          QStringLiteral("REQ unit=1 fn=3 addr=1000 count=125")}));
}

void tst_ModbusLib::read32_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("nb");

    for (const char* transport : {"tcp", "rtu"}) {
        QTest::addRow("three registers %s", transport)
            << QString::fromLatin1(transport) << 100 << 3;
        QTest::addRow("one whole response %s", transport)
            << QString::fromLatin1(transport) << 100 << 62;
        QTest::addRow("one more than a response %s", transport)
            << QString::fromLatin1(transport) << 100 << 63;
        QTest::addRow("200 registers %s", transport) << QString::fromLatin1(transport) << 7 << 200;
    }
}

// Register a of the peer's 32-bit device holds the single a + 0.5; its first two bytes on
// the wire are the high half.
void tst_ModbusLib::read32()
{
    QFETCH(QString, transport);
    QFETCH(int, addr);
    QFETCH(int, nb);

    ModbusContext ctx = context(transport, 32);
    QVERIFY(ctx);
    std::vector<uint16_t> dest(2 * size_t(nb) + 4, Canary);
    QCOMPARE(modbuslib::modbus_read_registers_32(ctx.get(), addr, nb, dest.data()), nb);
    for (int k = 0; k < nb; ++k) {
        const quint32 bits = floatBits(float(addr + k) + 0.5f);
        QCOMPARE(dest[2 * size_t(k)], uint16_t(bits >> 16));
        QCOMPARE(dest[2 * size_t(k) + 1], uint16_t(bits));
    }
    for (size_t i = 2 * size_t(nb); i < dest.size(); ++i)
        QCOMPARE(dest[i], Canary);
}

void tst_ModbusLib::readFaults_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("nb");
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("err");

    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        QTest::addRow("exception %s", t)
            << transport << int(Holding) << 1 << 1000 << 2 << -1 << int(EMBXILADD);
        QTest::addRow("exception input %s", t)
            << transport << int(Input) << 1 << 1000 << 2 << -1 << int(EMBXILADD);
        QTest::addRow("exception 32 %s", t)
            << transport << int(Holding32) << 32 << 1000 << 2 << -1 << int(EMBXILADD);
        QTest::addRow("fewer registers %s", t)
            << transport << int(Holding) << 1 << 2000 << 5 << 4 << 0;
        QTest::addRow("fewer registers 32 %s", t)
            << transport << int(Holding32) << 32 << 2000 << 5 << 4 << 0;
        QTest::addRow("fewer in a later part %s", t)
            << transport << int(Holding) << 1 << 1875 << 130 << 129 << 0;
        // Taken over TCP, where devices may answer with another unit id; on a bus another
        // slave's frame is passed over, and the asked one stays silent.
        const bool tcp = transport == QLatin1String("tcp");
        QTest::addRow("other unit answers %s", t) << transport << int(Holding) << 1 << 6000 << 2
                                                  << (tcp ? 2 : -1) << (tcp ? 0 : AnyTimeout);
        QTest::addRow("other unit answers 32 %s", t)
            << transport << int(Holding32) << 32 << 6000 << 2 << (tcp ? 2 : -1)
            << (tcp ? 0 : AnyTimeout);
        QTest::addRow("16-bit answer to 32-bit read %s", t)
            << transport << int(Holding32) << 1 << 10 << 3 << -1 << int(EMBBADDATA);
        QTest::addRow("silence %s", t)
            << transport << int(Holding) << 1 << 4000 << 2 << -1 << AnyTimeout;
        QTest::addRow("silence 32 %s", t)
            << transport << int(Holding32) << 32 << 4000 << 2 << -1 << AnyTimeout;
        QTest::addRow("cut short %s", t)
            << transport << int(Input) << 1 << 3000 << 4 << -1 << AnyTimeout;
    }
}

void tst_ModbusLib::readFaults()
{
    QFETCH(QString, transport);
    QFETCH(int, form);
    QFETCH(int, unit);
    QFETCH(int, addr);
    QFETCH(int, nb);
    QFETCH(int, rc);
    QFETCH(int, err);

    ModbusContext ctx = context(transport, unit, 200);
    QVERIFY(ctx);
    const size_t words = size_t(nb) * (form == Holding32 ? 2 : 1);
    std::vector<uint16_t> dest(words + 4, Canary);
    errno = 0;
    const int result = readForm(ctx.get(), form, addr, nb, dest.data());
    const int error = errno;
    QCOMPARE(result, rc);
    if (err == AnyTimeout)
        QVERIFY2(modbuslib::isTimeoutError(error), std::strerror(error));
    else if (rc == -1)
        QCOMPARE(error, err);
    for (size_t i = words; i < dest.size(); ++i)
        QCOMPARE(dest[i], Canary);
}

void tst_ModbusLib::wholeAnswerWithinTheTimeout_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("msPerByte");
    QTest::addColumn<int>("rc");

    for (const char* t : {"tcp", "rtu"}) {
        const QString transport = QString::fromLatin1(t);
        // Every byte well within the old per-byte wait, the whole answer not within 500 ms.
        QTest::addRow("byte every 200 ms %s", t) << transport << int(Holding) << 1 << 200 << -1;
        QTest::addRow("byte every 200 ms input %s", t) << transport << int(Input) << 1 << 200 << -1;
        QTest::addRow("byte every 200 ms 32 %s", t)
            << transport << int(Holding32) << 32 << 200 << -1;
        QTest::addRow("byte every 450 ms %s", t) << transport << int(Holding) << 1 << 450 << -1;
        // Slow bytes that still make the whole answer in time are an answer.
        QTest::addRow("byte every 20 ms %s", t) << transport << int(Holding) << 1 << 20 << 2;
    }
}

// From the request to the answer's last byte: the response time-out, whatever the peer sends.
void tst_ModbusLib::wholeAnswerWithinTheTimeout()
{
    QFETCH(QString, transport);
    QFETCH(int, form);
    QFETCH(int, unit);
    QFETCH(int, msPerByte);
    QFETCH(int, rc);
    constexpr int timeoutMs = 500;

    int result = 0;
    int error = 0;
    qint64 elapsed = 0;
    {
        ModbusContext ctx = context(transport, unit, timeoutMs);
        QVERIFY(ctx);
        std::vector<uint16_t> dest(8, Canary);
        QElapsedTimer timer;
        timer.start();
        result = readForm(ctx.get(), form, TrickleBase + msPerByte, 2, dest.data());
        error = errno;
        elapsed = timer.elapsed();
        if (rc > 0) {
            QCOMPARE(dest[0], uint16_t(TrickleBase + msPerByte));
            QCOMPARE(dest[2], Canary);
        }
    }
    if (transport == QLatin1String("rtu"))
        QVERIFY(rtuPeerIdle(m_pty.lineEnd()));
    QCOMPARE(result, rc);
    if (rc == -1) {
        QVERIFY2(modbuslib::isTimeoutError(error), std::strerror(error));
        QVERIFY2(elapsed >= timeoutMs - 5, qPrintable(QString::number(elapsed)));
    }
    QVERIFY2(elapsed <= timeoutMs + 100, qPrintable(QString::number(elapsed)));
}

void tst_ModbusLib::reportSlaveId_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("first");

    for (const char* t : {"tcp", "rtu"}) {
        QTest::addRow("three bytes %s", t) << QString::fromLatin1(t) << 17 << 3 << 17;
        QTest::addRow("id and status %s", t) << QString::fromLatin1(t) << 9 << 2 << 9;
        QTest::addRow("empty answer %s", t) << QString::fromLatin1(t) << 40 << 0 << 0;
    }
}

void tst_ModbusLib::reportSlaveId()
{
    QFETCH(QString, transport);
    QFETCH(int, unit);
    QFETCH(int, rc);
    QFETCH(int, first);

    ModbusContext ctx = context(transport, unit);
    QVERIFY(ctx);
    modbuslib::SlaveIdBuffer dest = {};
    QCOMPARE(modbuslib::modbus_report_slave_id(ctx.get(), dest), rc);
    QCOMPARE(int(dest[0]), first);
}

// libmodbus's select() cannot watch a descriptor of FD_SETSIZE or above; using one would
// write past the fd_set.
void tst_ModbusLib::connectRefusesHighDescriptor()
{
    rlimit saved = {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < rlim_t(FD_SETSIZE) + 16)
        QSKIP("the descriptor limit does not reach FD_SETSIZE");
    rlimit raised = saved;
    raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, rlim_t(FD_SETSIZE) + 16);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &raised), 0);

    std::vector<int> fillers;
    forever
    {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        if (fd >= FD_SETSIZE) {
            ::close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    ModbusContext ctx(::modbus_new_tcp("127.0.0.1", m_faultTcp.port()));
    const int rc = modbuslib::modbus_connect(ctx.get());
    const int err = errno;
    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    QCOMPARE(rc, -1);
    QCOMPARE(err, EMFILE);
    // With low descriptors again the same context connects.
    QCOMPARE(modbuslib::modbus_connect(ctx.get()), 0);
}

void tst_ModbusLib::enumeratorListsPseudoTerminals()
{
    const QList<QextPortInfo> ports = QextSerialEnumerator::getPorts();
    QStringList names;
    for (const QextPortInfo& port : ports)
        names.append(port.portName);
    QVERIFY2(names.contains(m_pty.peerEnd()) && names.contains(m_pty.lineEnd()),
             qPrintable(names.join(' ')));
    for (const QString& name : qAsConst(names))
        QVERIFY2(name.startsWith(QLatin1String("/dev/")), qPrintable(name));

    // Numeric order, so that /dev/pts/1 comes before /dev/pts/10 for a configured "/dev/pts/1".
    int previous = -1;
    for (const QString& name : qAsConst(names)) {
        if (!name.startsWith(QLatin1String("/dev/pts/")))
            continue;
        const int n = name.mid(9).toInt();
        QVERIFY2(n > previous, qPrintable(names.join(' ')));
        previous = n;
    }
}

// As udev keeps /dev/serial/by-id: only links that lead somewhere, by full path.
void tst_ModbusLib::enumeratorListsLinks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString d = dir.path();
    QVERIFY(QFile::link(m_pty.lineEnd(), d + "/usb-Maker_Adapter-if00-port0"));
    QVERIFY(QFile::link("usb-Maker_Adapter-if00-port0", d + "/a-relative-link"));
    QVERIFY(QFile::link(d + "/unplugged", d + "/dangling"));
    QFile plain(d + "/plain");
    QVERIFY(plain.open(QIODevice::WriteOnly));
    QVERIFY(QDir(d).mkdir("subdir"));

    QStringList listed;
    for (const QextPortInfo& port : QextSerialEnumerator::linksIn(d))
        listed.append(port.portName + " -> " + port.friendName);
    QCOMPARE(listed, QStringList({d + "/a-relative-link -> " + m_pty.lineEnd(),
                                  d + "/usb-Maker_Adapter-if00-port0 -> " + m_pty.lineEnd()}));
    QVERIFY(QextSerialEnumerator::linksIn(d + "/missing").isEmpty());
}

QTEST_GUILESS_MAIN(tst_ModbusLib)
#include "tst_modbuslib.moc"
