#pragma once

// One year of 10 parameters archived every 60 s (5.3 million rows), with and without the archive
// index, and how plain SQLite reads its rows: what the archive benchmarks measure against.
#include "ConfigManager.h"
#include "Database.h"
#include "DatabaseSchema.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>
#include <sqlite3.h>

namespace YearArchive {

inline constexpr int parameters = 10;
inline constexpr int minutes = 525600; // one year at 60 s
inline const char* const yearStart = "2023-01-01";

inline sqlite3* openPlain(const QString& path)
{
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", nullptr, nullptr,
                 nullptr);
    return db;
}

// Steps a statement through at most maxRows rows in plain SQLite; the rows it gave.
inline qint64 stepPlain(const QString& path, const QByteArray& sql, qint64 maxRows = -1)
{
    sqlite3* db = openPlain(path);
    sqlite3_stmt* st = nullptr;
    qint64 rows = 0;
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr) != SQLITE_OK)
        std::fprintf(stderr, "%s\n", sqlite3_errmsg(db));
    while ((maxRows < 0 || rows < maxRows) && sqlite3_step(st) == SQLITE_ROW)
        ++rows;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

inline QString timeText(int minute)
{
    return QDateTime(QDate(2023, 1, 1), QTime(0, 0), Qt::UTC)
        .addSecs(qint64(minute) * 60)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

inline void exec(sqlite3* db, const char* sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        std::fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
}

// The archive without the index: the program's schema, one device, 10 archived parameters and
// a year of rows written in one transaction.
inline void build(const QString& dir, const QString& path)
{
    {
        ConfigManager config(dir, nullptr);
        config.clearDatabase_j();
    }
    Database::closeThreadConnection();
    sqlite3* db = openPlain(path);
    exec(db, "DROP INDEX IF EXISTS ArchiveData_idParameter_dateTime");
    exec(db, "BEGIN");
    exec(db, "INSERT INTO Devices (idDevices, name) VALUES (1, 'bench')");
    for (int p = 1; p <= parameters; ++p) {
        const QByteArray sql = "INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, "
                               "archInterval, unit) VALUES (" +
                               QByteArray::number(p) + ", 1, " + QByteArray::number(p) +
                               ", 60, 'V')";
        exec(db, sql.constData());
    }
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                       "VALUES (?, ?, ?, ?)",
                       -1, &st, nullptr);
    for (int m = 0; m < minutes; ++m) {
        const QByteArray time = timeText(m).toLatin1();
        for (int p = 1; p <= parameters; ++p) {
            sqlite3_bind_int(st, 1, p);
            sqlite3_bind_double(st, 2, 230.0 + ((m * 7 + p) % 200) / 10.0);
            sqlite3_bind_int(st, 3, (m + p) % 1000 == 0 ? 3 : 0);
            sqlite3_bind_text(st, 4, time.constData(), time.size(), SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
    }
    sqlite3_finalize(st);
    exec(db, "COMMIT");
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
}

// The rows the views read, in plain SQLite: each parameter's rows from the index, or with no
// index one sorted statement; the floor under every view of the whole year.
inline qint64 readRows(const QString& path, bool indexed)
{
    const QByteArray bounds = " AND dateTime >= '2023-01-01 00:00:00' AND dateTime <= "
                              "'2023-12-31 23:59:59' ORDER BY dateTime";
    if (!indexed)
        return stepPlain(path, "SELECT dateTime, value, flag, idParameter FROM ArchiveData "
                               "WHERE idParameter IN (1,2,3,4,5,6,7,8,9,10)" +
                                   bounds);
    sqlite3* db = openPlain(path);
    exec(db, "BEGIN");
    qint64 rows = 0;
    for (int p = 1; p <= parameters; ++p) {
        const QByteArray sql =
            "SELECT dateTime, value, flag FROM ArchiveData WHERE idParameter = " +
            QByteArray::number(p) + bounds;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            sqlite3_column_text(st, 0);
            sqlite3_column_double(st, 1);
            sqlite3_column_int64(st, 2);
            ++rows;
        }
        sqlite3_finalize(st);
    }
    exec(db, "COMMIT");
    sqlite3_close(db);
    return rows;
}

struct Paths
{
    QString bare;    // without the archive index
    QString indexed; // with it
};

// The two archives in the directory, built there unless a former run left them.
inline Paths prepare(const QString& dir)
{
    const QString bare = dir + QStringLiteral("/bare");
    const QString indexed = dir + QStringLiteral("/indexed");
    QDir().mkpath(bare);
    QDir().mkpath(indexed);
    const QString barePath = bare + QStringLiteral("/db.sqlite");
    const QString indexedPath = indexed + QStringLiteral("/db.sqlite");

    if (!QFile::exists(indexedPath)) {
        QElapsedTimer t;
        t.start();
        build(bare, barePath);
        std::printf("archive of %d rows built in %.1f s\n", parameters * minutes,
                    t.nsecsElapsed() / 1e9);
        QFile::copy(barePath, indexedPath);
        t.restart();
        sqlite3* db = openPlain(indexedPath);
        exec(db, DatabaseSchema::archiveIndex().toLatin1().constData());
        exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(db);
        std::printf("index built over the archive in %.1f s (what the upgrade takes)\n",
                    t.nsecsElapsed() / 1e9);
    }
    std::printf("file sizes: without index %.0f MB, with index %.0f MB\n",
                QFile(barePath).size() / 1048576.0, QFile(indexedPath).size() / 1048576.0);
    return Paths{barePath, indexedPath};
}

} // namespace YearArchive
