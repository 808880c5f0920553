// Prints how many samples per second pass ReadBuffer::updateValue with archiving on, and how
// many archive rows per second reach a database file.
#include "ConfigManager.h"
#include "Database.h"
#include "SettingsManager.h"
#include "globals.h"
#include "polling/ArchiveBuffer.h"
#include "polling/ReadBuffer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    constexpr int parameters = 10000;
    constexpr int ticks = 20;
    constexpr int valuesPerIteration = 100; // one Modbus request's worth of values per lock

    QTemporaryDir dir;
    ConfigManager config(dir.path(), nullptr);
    config.clearDatabase_j();
    g_settingsManager->m_modbusPollInterval = 1000;

    QSqlQuery q(Database::connection());
    q.exec("BEGIN");
    q.exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'bench')");
    q.prepare(
        "INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, archInterval, unit) "
        "VALUES (?, 1, ?, 1, 'V')");
    for (int p = 1; p <= parameters; ++p) {
        q.addBindValue(p);
        q.addBindValue(p);
        q.exec();
    }
    q.exec("COMMIT");
    q.exec("SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters");
    ReadBuffer buffer(q, nullptr);

    // One tick a second of simulated time, each value due for the archive.
    const qint64 start = 1700000000000;
    QElapsedTimer timer;
    timer.start();
    for (int t = 0; t < ticks; ++t) {
        const qint64 ts = start + t * 1000 + 100;
        for (int p = 1; p <= parameters; p += valuesPerIteration) {
            buffer.tryLock();
            for (int k = p; k < p + valuesPerIteration && k <= parameters; ++k)
                buffer.updateValue(1, k, BufferInterface::ReadValue{230.0 + k % 17, ts, 0});
            buffer.unlock();
        }
    }
    buffer.flushArchive();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 samples = qint64(parameters) * ticks;

    QSqlQuery count(Database::connection());
    count.exec("SELECT COUNT(*) FROM ArchiveData");
    count.next();
    const qint64 rows = count.value(0).toLongLong();

    // The archive writes alone: rows offered in batches as the buffer makes them.
    count.exec("DELETE FROM ArchiveData");
    QSqlQuery params(Database::connection());
    params.exec(
        "SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters");
    ArchiveBuffer archive(params, nullptr);
    QElapsedTimer writeTimer;
    writeTimer.start();
    for (int t = 0; t < ticks; ++t) {
        const qint64 ts = start + t * 1000 + 100;
        for (int p = 1; p <= parameters; ++p)
            archive.addValue(p, BufferInterface::ReadValue{1.0 + p, ts, 0});
    }
    archive.flushBuffer();
    const double writeSeconds = writeTimer.nsecsElapsed() / 1e9;
    count.exec("SELECT COUNT(*) FROM ArchiveData");
    count.next();
    const qint64 written = count.value(0).toLongLong();

    std::printf("parameters: %d, archive interval 1 s, %d ticks\n", parameters, ticks);
    std::printf("samples through ReadBuffer::updateValue (archiving on): %.0f samples/s (%lld "
                "samples, %lld rows, %.2f s)\n",
                samples / seconds, static_cast<long long>(samples), static_cast<long long>(rows),
                seconds);
    std::printf("archive rows written to the database file: %.0f rows/s (%lld rows, %.2f s)\n",
                written / writeSeconds, static_cast<long long>(written), writeSeconds);
    return 0;
}
