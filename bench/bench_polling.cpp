// Prints the read iterations per second of a polling run on one TCP channel against a local
// Modbus server (modbusIterDelay 0), the same for a plain libmodbus loop doing the same
// connect-read-close sequence with the same pauses, and their ratio.
#include "ConfigManager.h"
#include "Database.h"
#include "SettingsManager.h"
#include "globals.h"
#include "polling/ChannelWorker.h"
#include "polling/ReadBuffer.h"
#include "polling/ReadIterations.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int iterationsPerCycle = 10;
constexpr int valuesPerIteration = 10;
constexpr int cycles = 30;

// A libmodbus server on an ephemeral port that serves one connection after the other.
class LocalServer
{
public:
    LocalServer()
    {
        m_ctx = modbus_new_tcp("127.0.0.1", 0);
        m_mapping = modbus_mapping_new(0, 0, 1000, 1000);
        for (int i = 0; i < 1000; ++i)
            m_mapping->tab_registers[i] = uint16_t(i);
        m_listen = modbus_tcp_listen(m_ctx, 4);
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~LocalServer()
    {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
        modbus_mapping_free(m_mapping);
        modbus_free(m_ctx);
    }
    int port = 0;

private:
    void serve()
    {
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!m_stop) {
            int s = m_listen;
            if (modbus_tcp_accept(m_ctx, &s) < 0)
                break;
            for (;;) {
                const int rc = modbus_receive(m_ctx, query);
                if (rc < 0)
                    break;
                if (rc > 0)
                    modbus_reply(m_ctx, query, rc, m_mapping);
            }
            ::close(modbus_get_socket(m_ctx));
        }
    }
    modbus_t* m_ctx;
    modbus_mapping_t* m_mapping;
    int m_listen;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    LocalServer server;
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
    QElapsedTimer timer;
    timer.start();
    for (int c = 0; c < cycles; ++c)
        worker.visualTimerExpired(QDateTime::currentMSecsSinceEpoch());
    const double pollingSeconds = timer.nsecsElapsed() / 1e9;
    worker.stopChannel(QDateTime::currentMSecsSinceEpoch());

    // The plain loop: a new context per request, the same pause between the requests of a cycle.
    uint16_t words[valuesPerIteration];
    int failures = 0;
    timer.restart();
    for (int c = 0; c < cycles; ++c) {
        for (int i = 0; i < iterationsPerCycle; ++i) {
            if (i > 0)
                QThread::msleep(ulong(pauseMs));
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", server.port);
            modbus_set_slave(ctx, 1);
            modbus_set_response_timeout(ctx, 1, 0);
            if (modbus_connect(ctx) != 0 ||
                modbus_read_registers(ctx, i * valuesPerIteration, valuesPerIteration, words) != valuesPerIteration)
                ++failures;
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
    const double plainSeconds = timer.nsecsElapsed() / 1e9;

    const double total = double(cycles) * iterationsPerCycle;
    const double pollingRate = total / pollingSeconds;
    const double plainRate = total / plainSeconds;
    std::printf("one TCP channel, %d cycles of %d read iterations (%d registers each), modbusIterDelay 0 "
                "(pause %d ms)\n",
                cycles, iterationsPerCycle, valuesPerIteration, pauseMs);
    std::printf("polling run:        %.1f iterations/s\n", pollingRate);
    std::printf("plain libmodbus:    %.1f iterations/s (%d failed)\n", plainRate, failures);
    std::printf("ratio polling/plain: %.3f\n", pollingRate / plainRate);
    return 0;
}
