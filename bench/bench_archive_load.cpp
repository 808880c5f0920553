// A polling run that archives about 80 000 parameters a second: 16 TCP channels against local
// Modbus servers, each reading 25 requests of 200 values per 1000 ms tick (modbusIterDelay 0),
// every parameter archived each second. Prints the good reads per second with archiving beside
// the same run without it (archInterval 0), and whether every row the run offered to the
// archive was written by the end of the stop, and whether every second between a parameter's
// first and last row has its row.
//
//     bench_archive_load [seconds measured, default 10]
#include "ConfigManager.h"
#include "Database.h"
#include "LocalModbusServer.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "globals.h"
#include "polling/Poller.h"
#include "polling/ReadBuffer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariant>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int channels = 16;
constexpr int requestsPerChannel = 25;
constexpr int valuesPerRequest = 200;

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

quint64 goodReads()
{
    const TryLocker guard = g_stats->lock(5000);
    const QByteArray json = g_stats->getModbusStats_j();
    quint64 total = 0;
    int from = 0;
    while ((from = json.indexOf("\"validRespCnt\":", from)) >= 0) {
        from += 15;
        total += json.mid(from, json.indexOf(',', from) - from).toULongLong();
    }
    return total;
}

qint64 scalar(const char* sql)
{
    QSqlQuery q(Database::connection());
    q.exec(QLatin1String(sql));
    q.next();
    return q.value(0).toLongLong();
}

struct Run
{
    double readsPerSecond = 0;
    qint64 offered = 0;
    qint64 written = 0;
    qint64 sessionBreaks = 0;
    qint64 periods = 0; // seconds from each parameter's first row to its last
    double stopSeconds = 0;
};

Run run(Poller& poller, int seconds)
{
    Run r;
    poller.startPolling();
    const std::shared_ptr<ReadBuffer> buffer = poller.buffer();
    wait(3000); // every channel in its stride
    const quint64 before = goodReads();
    QElapsedTimer window;
    window.start();
    wait(seconds * 1000);
    r.readsPerSecond = (goodReads() - before) / (window.nsecsElapsed() / 1e9);
    QElapsedTimer stop;
    stop.start();
    poller.stopPolling();
    r.stopSeconds = stop.nsecsElapsed() / 1e9;
    const TryLocker guard = buffer->lock();
    r.offered = buffer->archivedCount();
    r.written = scalar("SELECT COUNT(*) FROM ArchiveData WHERE flag <> 6");
    r.sessionBreaks = scalar("SELECT COUNT(*) FROM ArchiveData WHERE flag = 6");
    r.periods = scalar("SELECT TOTAL(span) FROM (SELECT MAX(strftime('%s', dateTime)) - "
                       "MIN(strftime('%s', dateTime)) + 1 AS span FROM ArchiveData WHERE flag <> 6 "
                       "GROUP BY idParameter)");
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<std::unique_ptr<LocalModbusServer>> servers;
    QTemporaryDir dir;
    ConfigManager config(dir.path(), nullptr);
    config.clearDatabase_j();
    g_settingsManager->m_modbusPollInterval = 1000;
    g_settingsManager->m_modbusIterDelay = 0;

    QSqlQuery q(Database::connection());
    q.exec("BEGIN");
    int parameter = 0;
    for (int c = 1; c <= channels; ++c) {
        servers.push_back(std::make_unique<LocalModbusServer>());
        q.prepare("INSERT INTO TCPConnections (idTCPConnections, name, ip, portTCP, timeout) "
                  "VALUES (?, 'bench', '127.0.0.1', ?, 1000)");
        q.addBindValue(c);
        q.addBindValue(servers.back()->port);
        q.exec();
        q.prepare("INSERT INTO Devices (idDevices, name, ModbusId, connectionType, "
                  "idOfConnection, isActive) VALUES (?, 'bench', 1, 'tcp', ?, 1)");
        q.addBindValue(c);
        q.addBindValue(c);
        q.exec();
        for (int i = 0; i < requestsPerChannel; ++i) {
            q.prepare("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, "
                      "valSize, idDevice, ModbusReadFunction) VALUES (?, ?, 4, 16, 16, ?, 3)");
            q.addBindValue(i * valuesPerRequest);
            q.addBindValue(valuesPerRequest);
            q.addBindValue(c);
            q.exec();
        }
        q.prepare("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, "
                  "archInterval, unit) VALUES (?, ?, ?, 1, 'V')");
        for (int a = 0; a < requestsPerChannel * valuesPerRequest; ++a) {
            q.addBindValue(++parameter);
            q.addBindValue(c);
            q.addBindValue(a);
            q.exec();
        }
    }
    q.exec("COMMIT");

    Poller poller(nullptr, nullptr);
    std::printf("%d parameters on %d TCP channels (%d requests of %d values a 1000 ms tick), "
                "%d s measured per run\n",
                parameter, channels, requestsPerChannel, valuesPerRequest, seconds);
    q.exec("UPDATE ConfiguredParameters SET archInterval = 0");
    const Run plain = run(poller, seconds);
    q.exec("UPDATE ConfiguredParameters SET archInterval = 1");
    const Run archived = run(poller, seconds);
    std::printf("without archiving: %.1f good reads/s (%.0f parameters/s), stop %.2f s\n",
                plain.readsPerSecond, plain.readsPerSecond * valuesPerRequest, plain.stopSeconds);
    std::printf("with archiving:    %.1f good reads/s (%.0f parameters/s), stop %.2f s\n",
                archived.readsPerSecond, archived.readsPerSecond * valuesPerRequest,
                archived.stopSeconds);
    std::printf("polling reads/s, archiving / not: %.3f\n",
                archived.readsPerSecond / plain.readsPerSecond);
    std::printf("archive rows offered %lld, written %lld (%.4f), session breaks %lld of %d\n",
                static_cast<long long>(archived.offered), static_cast<long long>(archived.written),
                archived.offered ? double(archived.written) / double(archived.offered) : 0.0,
                static_cast<long long>(archived.sessionBreaks), parameter);
    std::printf("archive periods with a row %lld of %lld between each parameter's first and "
                "last row (%.4f)\n",
                static_cast<long long>(archived.written), static_cast<long long>(archived.periods),
                archived.periods ? double(archived.written) / double(archived.periods) : 0.0);
    return 0;
}
