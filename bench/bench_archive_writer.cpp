// Prints the archive writer's rows per second beside plain SQLite writing the same rows into
// the same table of the same database file (WAL, synchronous NORMAL, 200-row transactions, one
// prepared statement), measured in alternating rounds of the same run.
#include "BenchDatabase.h"
#include "Database.h"
#include "polling/ArchiveWriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sqlite3.h>
#include <vector>

namespace {

constexpr int parameters = 10000;
constexpr int ticks = 20; // one row per parameter and second
constexpr qint64 start = 1700000000000;
constexpr int rounds = 3;

void clearArchive()
{
    QSqlQuery q(Database::connection());
    q.exec("DELETE FROM ArchiveData");
    q.exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

qint64 rowCount()
{
    QSqlQuery q(Database::connection());
    q.exec("SELECT COUNT(*) FROM ArchiveData");
    q.next();
    return q.value(0).toLongLong();
}

// The same rows with sqlite3 alone: its own connection set up as the program's are.
double plainRowsPerSecond(const QString& path)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, Database::BusyTimeoutMs);
    sqlite3_exec(db, "PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; "
                     "PRAGMA synchronous = NORMAL;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO ArchiveData (idParameter, value, dateTime, flag) "
                       "VALUES (?, ?, ?, ?)",
                       -1, &insert, nullptr);
    QElapsedTimer timer;
    timer.start();
    int inTransaction = 0;
    for (int t = 0; t < ticks; ++t) {
        const time_t second = time_t(start / 1000 + t);
        tm local{};
        localtime_r(&second, &local);
        char text[32];
        const int n = int(strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));
        for (int p = 1; p <= parameters; ++p) {
            if (inTransaction == 0)
                sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            sqlite3_bind_int(insert, 1, p);
            sqlite3_bind_double(insert, 2, 230.0 + p % 17);
            sqlite3_bind_text(insert, 3, text, n, SQLITE_STATIC);
            sqlite3_bind_int(insert, 4, 0);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            if (++inTransaction == 200) {
                sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
                inTransaction = 0;
            }
        }
    }
    if (inTransaction > 0)
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    const double seconds = timer.nsecsElapsed() / 1e9;
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return double(parameters) * ticks / seconds;
}

// Rows handed over as a run produces them (one tick's rows after the other), timed until the
// last is written.
double writerRowsPerSecond()
{
    ArchiveWriter writer;
    QElapsedTimer timer;
    timer.start();
    for (int t = 0; t < ticks; ++t) {
        for (int p = 1; p <= parameters; ++p)
            writer.add({p, 230.0 + p % 17, start + t * 1000, 0});
    }
    writer.flush(600000);
    return double(parameters) * ticks / (timer.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    benchDatabase(dir.path(), parameters, 1);

    std::printf("%d rows a round (%d parameters x %d seconds) into ArchiveData of a database "
                "file in %s\n",
                parameters * ticks, parameters, ticks, qPrintable(dir.path()));
    std::printf("round  writer rows/s  plain SQLite rows/s  ratio\n");
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        clearArchive();
        const double plain = plainRowsPerSecond(Database::path());
        const bool plainComplete = rowCount() == qint64(parameters) * ticks;
        clearArchive();
        const double writer = writerRowsPerSecond();
        const bool writerComplete = rowCount() == qint64(parameters) * ticks;
        ratios.push_back(writer / plain);
        std::printf("%5d  %13.0f  %19.0f  %5.2f%s\n", r + 1, writer, plain, ratios.back(),
                    plainComplete && writerComplete ? "" : "  (rows missing!)");
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("writer / plain SQLite: median %.2f (range %.2f-%.2f)\n",
                ratios[ratios.size() / 2], ratios.front(), ratios.back());
    return 0;
}
