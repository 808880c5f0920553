// Prints the archive views' times over one year of 10 parameters archived every 60 s (5.3
// million rows), with and without the archive index, each beside the same statement's time in
// plain SQLite on the same file; and what the index costs each archived row at insert.
//
// bench_archive [directory [repeats]]: the archives are built in the directory (kept there and
// reused by later runs) or in a temporary one.
#include "ConfigManager.h"
#include "Database.h"
#include "DatabaseSchema.h"
#include "polling/ArchiveManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sqlite3.h>
#include <vector>

namespace {

constexpr int parameters = 10;
constexpr int minutes = 525600; // one year at 60 s
const char* const yearStart = "2023-01-01";

struct Range
{
    double min = 0, median = 0, max = 0;
};

Range measure(int repeats, const std::function<void()>& run)
{
    std::vector<double> s;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer t;
        t.start();
        run();
        s.push_back(t.nsecsElapsed() / 1e9);
    }
    std::sort(s.begin(), s.end());
    return Range{s.front(), s[s.size() / 2], s.back()};
}

void print(const char* what, const Range& ours, const Range& anchor, const char* anchorName)
{
    std::printf("  %-44s %8.3f s (%.3f-%.3f)   %s %8.3f s (%.3f-%.3f)   ratio %.2f\n", what,
                ours.median, ours.min, ours.max, anchorName, anchor.median, anchor.min, anchor.max,
                ours.median / anchor.median);
}

sqlite3* openPlain(const QString& path)
{
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", nullptr, nullptr,
                 nullptr);
    return db;
}

// Steps a statement through at most maxRows rows in plain SQLite; the rows it gave.
qint64 stepPlain(const QString& path, const QByteArray& sql, qint64 maxRows = -1)
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

QString timeText(int minute)
{
    return QDateTime(QDate(2023, 1, 1), QTime(0, 0), Qt::UTC)
        .addSecs(qint64(minute) * 60)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

void exec(sqlite3* db, const char* sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        std::fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
}

// The archive without the index: the program's schema, one device, 10 archived parameters and
// a year of rows written in one transaction.
void build(const QString& dir, const QString& path)
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

QByteArray idList()
{
    QByteArray list = "[";
    for (int p = 1; p <= parameters; ++p)
        list += (p > 1 ? "," : "") + QByteArray::number(p);
    return list + "]";
}

// The grid's and the CSV file's pivot statement as the browser's request would make it.
QByteArray pivotSql()
{
    QByteArray sql = "SELECT   dateTime,";
    QByteArray filter;
    for (int p = 1; p <= parameters; ++p) {
        const QByteArray id = QByteArray::number(p);
        sql += " SUM(CASE WHEN idParameters='" + id + "' THEN value END) AS '" + id + "'," +
               " SUM(CASE WHEN idParameters='" + id + "' THEN flag END) AS '" + id + "_flag',";
        filter += "idParameters=" + id + " OR ";
    }
    sql.chop(1);
    sql += " ";
    filter.chop(3);
    return sql +
           "FROM   ArchiveData JOIN ConfiguredParameters ON ArchiveData.idParameter = "
           "ConfiguredParameters.idParameters   JOIN Devices ON ConfiguredParameters.idDevice = "
           "Devices.idDevices WHERE dateTime >= '2023-01-01 00:00:00' AND dateTime <= "
           "'2023-12-31 23:59:59' AND (" +
           filter + ") GROUP BY dateTime ORDER BY dateTime ";
}

QByteArray reportSql()
{
    QByteArray sql = "SELECT   strftime('%s', dateTime) AS dateTime, ";
    QByteArray filter = "(";
    for (int p = 1; p <= parameters; ++p) {
        const QByteArray id = QByteArray::number(p);
        sql += " MIN(CASE WHEN idParameters='" + id + "' THEN value END) AS '" + id + "',";
        filter += "idParameters=" + id + " OR ";
    }
    sql.chop(1);
    sql += " ";
    filter.chop(3);
    filter += ") AND flag = 0";
    return sql +
           "FROM   ArchiveData JOIN ConfiguredParameters ON ArchiveData.idParameter = "
           "ConfiguredParameters.idParameters   JOIN Devices ON ConfiguredParameters.idDevice = "
           "Devices.idDevices WHERE dateTime >= '2023-01-01' AND dateTime <= '2024-01-01' AND (" +
           filter + ") GROUP BY dateTime ORDER BY dateTime ";
}

t_GetArray gridRequest(const char* knownTotal)
{
    return t_GetArray{{"paramListStr", idList()},  {"startDate", yearStart},
                      {"startTime", "00:00:00"},   {"endDate", "2023-12-31"},
                      {"endTime", "23:59:59"},     {"pagenum", "0"},
                      {"pagesize", "20"},          {"paggination", "1"},
                      {"calculatedTotalRows", knownTotal}};
}

void check(const QByteArray& reply, const char* what)
{
    if (reply.startsWith("{\"error\""))
        std::fprintf(stderr, "%s failed: %s\n", what, reply.constData());
}

// The rows the views read, in plain SQLite: each parameter's rows from the index, or with no
// index one sorted statement; the floor under every view of the whole year.
qint64 readRows(const QString& path, bool indexed)
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
        const QByteArray sql = "SELECT dateTime, value, flag FROM ArchiveData WHERE idParameter = " +
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

void views(const QString& path, bool indexed, int repeats)
{
    Database::setPath(path);
    ArchiveManager archive(nullptr);

    const Range floor = measure(repeats, [&] { readRows(path, indexed); });
    std::printf("  %-44s %8.3f s (%.3f-%.3f)\n", "plain SQLite reading the same rows (floor)",
                floor.median, floor.min, floor.max);

    t_GetArray counted = gridRequest("-1");
    const Range ourCounted = measure(repeats, [&] { check(archive.getGridData_j(counted), "grid"); });
    const Range plainAll = measure(repeats, [&] { stepPlain(path, pivotSql()); });
    print("getArchGridData, first page, total counted", ourCounted, plainAll,
          "plain pivot, all rows");

    t_GetArray known = gridRequest(QByteArray::number(minutes).constData());
    const Range ourKnown = measure(repeats, [&] { check(archive.getGridData_j(known), "grid"); });
    const Range plainPage = measure(repeats, [&] { stepPlain(path, pivotSql(), 20); });
    print("getArchGridData, first page, total known", ourKnown, plainPage,
          "plain pivot, 20 rows ");

    t_GetArray report{{"paramListStr", idList()},
                      {"startDate", yearStart},
                      {"endDate", "2024-01-01"},
                      {"groupingType", "days"}};
    const Range ourReport =
        measure(repeats, [&] { check(archive.getReportGridData_j(report), "report"); });
    const Range plainReport = measure(repeats, [&] { stepPlain(path, reportSql()); });
    print("getReportGridData, days, 10 parameters, year", ourReport, plainReport,
          "plain report query   ");

    t_GetArray csv{{"paramListStr", idList()},
                   {"startDate", yearStart},
                   {"startTime", "00:00:00"},
                   {"endDate", "2023-12-31"},
                   {"endTime", "23:59:59"},
                   {"colNamesStr", "time;p1;p2;p3;p4;p5;p6;p7;p8;p9;p10"},
                   {"colSep", ";"},
                   {"decSep", ","}};
    qint64 bytes = 0;
    const Range ourCsv = measure(repeats, [&] {
        check(archive.generateCSVFile_j(csv), "csv");
        ArchiveManager::CsvDownload download = archive.openCsvFile();
        bytes = download.file ? download.file->size() : 0;
        archive.releaseCsvFile(download.generation);
    });
    print("generateCSVFile, year", ourCsv, plainAll, "plain pivot, all rows");
    print("generateCSVFile, year", ourCsv, floor, "plain read, same rows");
    print("getArchGridData, first page, total counted", ourCounted, floor, "plain read, same rows");
    std::printf("  %-44s %8.0f lines/s (%.0f-%.0f), %lld bytes; plain pivot %8.0f rows/s\n",
                "CSV lines", minutes / ourCsv.median, minutes / ourCsv.max, minutes / ourCsv.min,
                bytes, minutes / plainAll.median);
}

// Archive rows as a writer adds them: 50 per transaction through one prepared statement.
Range insertCost(const QString& path, int repeats, int firstMinute)
{
    constexpr int batches = 400;
    constexpr int rowsPerBatch = 50;
    int minute = firstMinute;
    const Range r = measure(repeats, [&] {
        sqlite3* db = openPlain(path);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                           "VALUES (?, ?, 0, ?)",
                           -1, &st, nullptr);
        for (int b = 0; b < batches; ++b) {
            exec(db, "BEGIN IMMEDIATE");
            for (int i = 0; i < rowsPerBatch; ++i) {
                const int p = i % parameters + 1;
                if (p == 1)
                    ++minute;
                const QByteArray time = timeText(minute).toLatin1();
                sqlite3_bind_int(st, 1, p);
                sqlite3_bind_double(st, 2, 230.5 + i);
                sqlite3_bind_text(st, 3, time.constData(), time.size(), SQLITE_TRANSIENT);
                sqlite3_step(st);
                sqlite3_reset(st);
            }
            exec(db, "COMMIT");
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
    });
    const double perRow = 1e6 / (batches * rowsPerBatch);
    return Range{r.min * perRow, r.median * perRow, r.max * perRow};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    QDir().mkpath(dir);
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

    std::printf("\nwith the index (median of %d, range):\n", repeats);
    views(indexedPath, true, repeats);
    std::printf("\nwithout the index:\n");
    views(barePath, false, repeats);

    // Rows of the next year, so that each run appends past the last one.
    const int next = minutes + int(QDateTime::currentSecsSinceEpoch() % 100000) * 100;
    const Range withIndex = insertCost(indexedPath, repeats, next);
    const Range without = insertCost(barePath, repeats, next);
    std::printf("\ninsert, 50 rows per transaction, over 5.3 million rows:\n");
    std::printf("  with index %.2f us/row (%.2f-%.2f), without %.2f us/row (%.2f-%.2f), ratio "
                "%.2f\n",
                withIndex.median, withIndex.min, withIndex.max, without.median, without.min,
                without.max, withIndex.median / without.median);
    return 0;
}
