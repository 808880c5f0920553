// Prints the archive views' times over one year of 10 parameters archived every 60 s (5.3
// million rows), with and without the archive index, each beside the same statement's time in
// plain SQLite on the same file; and what the index costs each archived row at insert.
//
// bench_archive [directory [repeats]]: the archives are built in the directory (kept there and
// reused by later runs) or in a temporary one.
#include "ConfigManager.h"
#include "Database.h"
#include "DatabaseSchema.h"
#include "YearArchive.h"
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

using namespace YearArchive;

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
    const YearArchive::Paths paths = YearArchive::prepare(dir);
    const QString& barePath = paths.bare;
    const QString& indexedPath = paths.indexed;

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
