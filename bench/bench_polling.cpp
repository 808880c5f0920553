// Prints the CPU time per read iteration of a polling run on one TCP channel against a local
// Modbus server (modbusIterDelay 0), beside a bare libmodbus loop doing the same wire sequence
// on the same server: per read a probe connection (opened and closed), then a context of its
// own that connects, reads and is closed, and the same pauses. CPU time is the calling
// thread's (the server runs on threads of its own); rounds alternate to share the noise.
#include "ConfigManager.h"
#include "Database.h"
#include "LocalModbusServer.h"
#include "SettingsManager.h"
#include "globals.h"
#include "polling/ChannelWorker.h"
#include "polling/ReadBuffer.h"
#include "polling/ReadIterations.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int iterationsPerCycle = 10;
constexpr int valuesPerIteration = 10;
constexpr int cyclesPerRound = 15;
constexpr int rounds = 7;

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A plain non-blocking connect with a time-out, then closed: the probe.
bool probe(int port, int timeoutMs)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        ok = ::poll(&p, 1, timeoutMs) == 1 &&
             ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    ::close(s);
    return ok;
}

struct Figures
{
    double cpuPerRead = 0; // s
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    LocalModbusServer server;
    QTemporaryDir dir;
    ConfigManager config(dir.path(), nullptr);
    config.clearDatabase_j();
    g_settingsManager->m_modbusPollInterval = 1000;
    g_settingsManager->m_modbusIterDelay = 0;
    const int pauseMs = g_settingsManager->m_modbusIterDelay + 20;

    QSqlQuery q(Database::connection());
    q.exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'bench')");
    auto plan = std::make_shared<ReadIterations>();
    for (int i = 0; i < iterationsPerCycle; ++i) {
        t_iterationConfig it;
        it.ModbusId = 1;
        it.regAddr = i * valuesPerIteration;
        it.valuesCnt = valuesPerIteration;
        it.regType = 4;
        it.idDevice = 1;
        plan->addIteration(it);
    }
    q.exec("WITH RECURSIVE r(a) AS (SELECT 0 UNION ALL SELECT a + 1 FROM r WHERE a < 99) "
           "SELECT a + 1, 1, a, 0, 'V' FROM r");
    auto buffer = std::make_shared<ReadBuffer>(q, nullptr);

    t_tcpConnection tcp;
    tcp.id = 1;
    tcp.ip = QStringLiteral("127.0.0.1");
    tcp.portTCP = quint16(server.port);
    tcp.timeout = 1000;
    ChannelWorker worker(tcp, plan, buffer);
    worker.process();

    // One cycle of each in turn, so that both meet the same load of a shared machine.
    uint16_t words[valuesPerIteration];
    int failures = 0;
    auto bareCycle = [&] {
        for (int i = 0; i < iterationsPerCycle; ++i) {
            if (i > 0)
                QThread::msleep(ulong(pauseMs));
            if (!probe(server.port, 1000)) {
                ++failures;
                continue;
            }
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", server.port);
            modbus_set_slave(ctx, 1);
            modbus_set_response_timeout(ctx, 1, 0);
            if (modbus_connect(ctx) != 0 ||
                modbus_read_registers(ctx, i * valuesPerIteration, valuesPerIteration, words) !=
                    valuesPerIteration)
                ++failures;
            modbus_close(ctx);
            modbus_free(ctx);
        }
    };
    const double reads = double(cyclesPerRound) * iterationsPerCycle;
    std::printf("one TCP channel, rounds of %d cycles of %d read iterations (%d registers each), "
                "modbusIterDelay 0 (pause %d ms), a polling cycle and a bare one in turn\n",
                cyclesPerRound, iterationsPerCycle, valuesPerIteration, pauseMs);
    std::printf("round  polling CPU/read  bare CPU/read  ratio  polling reads/s  bare reads/s\n");
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        Figures p;
        Figures b;
        double pollingWall = 0;
        double bareWall = 0;
        for (int c = 0; c < cyclesPerRound; ++c) {
            QElapsedTimer wall;
            wall.start();
            double cpu = threadCpuSeconds();
            worker.visualTimerExpired(QDateTime::currentMSecsSinceEpoch());
            p.cpuPerRead += threadCpuSeconds() - cpu;
            pollingWall += wall.nsecsElapsed() / 1e9;
            wall.restart();
            cpu = threadCpuSeconds();
            bareCycle();
            b.cpuPerRead += threadCpuSeconds() - cpu;
            bareWall += wall.nsecsElapsed() / 1e9;
        }
        p.cpuPerRead /= reads;
        b.cpuPerRead /= reads;
        ratios.push_back(p.cpuPerRead / b.cpuPerRead);
        std::printf("%5d  %13.1f us  %10.1f us  %5.2f  %15.1f  %12.1f\n", r + 1,
                    p.cpuPerRead * 1e6, b.cpuPerRead * 1e6, ratios.back(), reads / pollingWall,
                    reads / bareWall);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("CPU per read, polling / bare: median %.2f (range %.2f-%.2f); bare failures %d\n",
                ratios[ratios.size() / 2], ratios.front(), ratios.back(), failures);
    worker.stopChannel(QDateTime::currentMSecsSinceEpoch());
    return 0;
}
