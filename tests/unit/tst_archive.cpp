// The archive views' building blocks: the pivot reader checked against the pivot statements
// they replace (with and without the archive index), number texts, report groups and the CSV
// file's state under concurrent requests.
#include "DatabaseSchema.h"
#include "Logs.h"
#include "ReplyWriter.h"
#include "TestDatabase.h"
#include "polling/ArchiveFilter.h"
#include "polling/ArchiveGrid.h"
#include "polling/ArchiveManager.h"
#include "polling/ArchiveReader.h"
#include "polling/ArchiveReport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QThread>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The pivot as one statement: SUM per parameter and time of values and flags (the grid and
// the CSV file), or MIN of the valid values (the report).
QString pivotSql(const QStringList& ids, const QString& from, const QString& to, bool report)
{
    QString sql = QStringLiteral("SELECT dateTime,");
    QStringList filter;
    for (const QString& id : ids) {
        if (report) {
            sql += QStringLiteral(" MIN(CASE WHEN idParameters='%1' THEN value END) AS '%1',")
                       .arg(id);
        } else {
            sql += QStringLiteral(" SUM(CASE WHEN idParameters='%1' THEN value END) AS '%1', "
                                  "SUM(CASE WHEN idParameters='%1' THEN flag END) AS '%1_flag',")
                       .arg(id);
        }
        filter << QStringLiteral("idParameters=") + id;
    }
    sql.chop(1);
    sql += QStringLiteral(" FROM ArchiveData JOIN ConfiguredParameters ON ArchiveData.idParameter "
                          "= ConfiguredParameters.idParameters JOIN Devices ON "
                          "ConfiguredParameters.idDevice = Devices.idDevices WHERE (") +
           filter.join(QStringLiteral(" OR ")) + QLatin1Char(')');
    if (report)
        sql += QStringLiteral(" AND flag = 0");
    if (!from.isEmpty())
        sql += QStringLiteral(" AND dateTime >= '%1'").arg(from);
    if (!to.isEmpty())
        sql += QStringLiteral(" AND dateTime <= '%1'").arg(to);
    return sql + QStringLiteral(" GROUP BY dateTime ORDER BY dateTime");
}

QString text(const QVariant& v)
{
    return v.isNull() ? QStringLiteral("null") : v.toString();
}

QString number(double v)
{
    QByteArray out;
    ArchiveReader::appendNumber(out, v);
    return QString::fromLatin1(out);
}

// Each row as "time|value|flag|value|flag..." ("null" for NULL).
QStringList readerRows(ArchiveReader& reader, bool report)
{
    QStringList rows;
    while (reader.next()) {
        QStringList cells{QString::fromUtf8(reader.dateTime())};
        for (int i = 0; i < reader.columns(); ++i) {
            if (report) {
                cells << (reader.hasValue(i) ? number(reader.valueMin(i)) : QStringLiteral("null"));
            } else {
                cells << (reader.hasValue(i) ? number(reader.valueSum(i)) : QStringLiteral("null"))
                      << (reader.hasFlag(i) ? QString::number(reader.flagSum(i))
                                            : QStringLiteral("null"));
            }
        }
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

QStringList statementRows(const QString& sql)
{
    QSqlQuery q(Database::connection());
    if (!q.exec(sql))
        qWarning() << q.lastError().text();
    QStringList rows;
    while (q.next()) {
        QStringList cells;
        for (int i = 0; i < q.record().count(); ++i)
            cells << text(q.value(i));
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

ArchiveFilter filterOf(const QStringList& ids, const QString& from, const QString& to)
{
    ArchiveFilter f;
    f.ids = ids;
    for (const QString& id : ids)
        f.idValues << id.toLongLong();
    f.from = from;
    f.to = to;
    return f;
}

// The filter of the current row of a reader test; the index goes when the row says so.
ArchiveFilter caseFilter()
{
    QFETCH(QStringList, ids);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, indexed);
    if (!indexed && !TestDatabase::exec(QStringLiteral("DROP INDEX %1")
                                            .arg(QLatin1String(DatabaseSchema::archiveIndexName))))
        qFatal("the archive index cannot be dropped");
    return filterOf(ids, from, to);
}

} // namespace

class TestArchive : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { db.reset(); }
    // Tests without the index drop it.
    void cleanup() { QVERIFY(TestDatabase::exec(DatabaseSchema::archiveIndex())); }

    void readerMatchesThePivotStatement_data();
    void readerMatchesThePivotStatement();
    void restIsCountedFromTheTimesAlone_data() { readerMatchesThePivotStatement_data(); }
    void restIsCountedFromTheTimesAlone();
    void numberTextsAreQVariantTexts_data();
    void numberTextsAreQVariantTexts();
    void numberTextsOfManyValues();
    void groupBounds_data();
    void groupBounds();
    void filterRefusals_data();
    void filterRefusals();
    void pageStopsAtItsEnd_data();
    void pageStopsAtItsEnd();
    void gridMatchesThePivotStatement_data();
    void gridMatchesThePivotStatement();
    void reportMatchesThePivotStatement_data();
    void reportMatchesThePivotStatement();
    void aFailureReplacesOnlyAReplyNotBegun();
    void aSlowCallerEndsTheGridAtItsDeadline();
    void aWholeReplyGoesOutAsItIs();
    void pageSizeIsBounded_data();
    void pageSizeIsBounded();

    void deletionKeepsForeignKeysOn();

private:
    std::unique_ptr<TestDatabase> db;
};

void TestArchive::initTestCase()
{
    db = std::make_unique<TestDatabase>();
    QVERIFY(TestDatabase::addDeviceWithParameters(4));
    // Rows that collide: few time stamps, several rows of one parameter at one time, NULL
    // values and flags, session breaks, flags that sum to 6.
    QRandomGenerator random(20240301);
    QSqlQuery q(Database::connection());
    q.exec("BEGIN");
    q.prepare("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (?, ?, ?, ?)");
    const QVariant values[] = {QVariant(), 230.5, 1.25, -0.1, 1e21, 0.0, 3.0};
    const QVariant flags[] = {0, 0, 0, 2, 3, 6, QVariant()};
    for (int i = 0; i < 6000; ++i) {
        q.addBindValue(int(random.bounded(1, 5)));
        q.addBindValue(random.bounded(4) == 0 ? values[random.bounded(7)]
                                              : QVariant(random.bounded(100000) / 100.0));
        q.addBindValue(flags[random.bounded(7)]);
        q.addBindValue(QDateTime(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC)
                           .addSecs(60 * qint64(random.bounded(2000)))
                           .toString("yyyy-MM-dd hh:mm:ss"));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    q.exec("COMMIT");
}

void TestArchive::readerMatchesThePivotStatement_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("indexed");
    const QString from = QStringLiteral("2024-03-01 10:00:00");
    const QString to = QStringLiteral("2024-03-02 04:00:00");
    for (bool indexed : {true, false}) {
        const char* tag = indexed ? "indexed" : "no index";
        QTest::addRow("%s, all parameters", tag) << QStringList{"1", "2", "3", "4"} << ""
                                                 << "" << indexed;
        QTest::addRow("%s, one parameter, both bounds", tag)
            << QStringList{"3"} << from << to << indexed;
        QTest::addRow("%s, repeated and unknown ids", tag)
            << QStringList{"2", "77", "2", "1"} << from << "" << indexed;
        QTest::addRow("%s, upper bound only", tag) << QStringList{"4", "1"} << "" << to << indexed;
        QTest::addRow("%s, unknown first id", tag) << QStringList{"77", "1"} << "" << "" << indexed;
        QTest::addRow("%s, empty times", tag)
            << QStringList{"1", "2"} << "2024-03-01 " << "2024-03-02 " << indexed;
    }
}

void TestArchive::readerMatchesThePivotStatement()
{
    const ArchiveFilter filter = caseFilter();
    for (bool report : {false, true}) {
        ArchiveReader reader(filter, report);
        QVERIFY2(reader.open(), qPrintable(reader.error()));
        const QStringList expected =
            statementRows(pivotSql(filter.ids, filter.from, filter.to, report));
        QVERIFY(!expected.isEmpty());
        QCOMPARE(readerRows(reader, report), expected);
        QVERIFY(reader.error().isEmpty());
    }
}

void TestArchive::restIsCountedFromTheTimesAlone()
{
    const ArchiveFilter filter = caseFilter();
    QVector<bool> breaks;
    {
        ArchiveReader all(filter, false);
        QVERIFY(all.open());
        while (all.next())
            breaks << all.isSessionBreak();
    }
    for (int read : {0, 1, 17, int(breaks.size()) - 1, int(breaks.size())}) {
        ArchiveReader reader(filter, false);
        QVERIFY(reader.open());
        for (int i = 0; i < read; ++i)
            QVERIFY(reader.next());
        qint64 rows = -1;
        qint64 breakRows = -1;
        QVERIFY2(reader.countRest(&rows, &breakRows), qPrintable(reader.error()));
        QCOMPARE(rows, qint64(breaks.size() - read));
        QCOMPARE(breakRows, qint64(breaks.mid(read).count(true)));
    }
}

void TestArchive::numberTextsAreQVariantTexts_data()
{
    QTest::addColumn<double>("value");
    const double values[] = {230.5,   230.0,  -0.1,       0.1 + 0.2, 1e5,       1e6,
                             1234567, 1.2e6,  12345678901.0, 1e16,  1e21,      0.0001,
                             1e-5,    1.2e-5, 123e-7,     -0.0,      5e-324,    1.7976931348623157e308,
                             9007199254740991.0, 9007199254740993.0, 4.35, 2.675, 1.0 / 3,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
    for (double v : values)
        QTest::addRow("%.17g", v) << v;
}

void TestArchive::numberTextsAreQVariantTexts()
{
    QFETCH(double, value);
    QCOMPARE(number(value), QVariant(value).toString());
}

void TestArchive::numberTextsOfManyValues()
{
    // Random bit patterns and random decimals of every size, as registers give them.
    QRandomGenerator random(7);
    int mismatches = 0;
    QString first;
    for (int i = 0; i < 400000; ++i) {
        double v;
        if (i % 2) {
            const quint64 bits = random.generate64();
            std::memcpy(&v, &bits, sizeof v);
        } else {
            v = double(qint64(random.bounded(2000000000)) - 1000000000) /
                std::pow(10.0, random.bounded(10)) * std::pow(10.0, random.bounded(40) - 20);
        }
        if (number(v) != QVariant(v).toString() && mismatches++ == 0)
            first = QStringLiteral("%1: %2 instead of %3")
                        .arg(v, 0, 'g', 17)
                        .arg(number(v), QVariant(v).toString());
    }
    QVERIFY2(mismatches == 0, qPrintable(first));
}

void TestArchive::groupBounds_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::newRow("hours, last second") << "hours" << 0 << "2024-03-01 10:59:59"
                                        << "2024-03-01 10:00:00" << "2024-03-01 11:00:00";
    QTest::newRow("hours, next hour") << "hours" << 0 << "2024-03-01 11:00:00"
                                      << "2024-03-01 11:00:00" << "2024-03-01 12:00:00";
    QTest::newRow("minutes 15") << "minutes" << 15 << "2024-03-01 10:37:20"
                                << "2024-03-01 10:30:00" << "2024-03-01 10:45:00";
    QTest::newRow("minutes 0 acts as 10") << "minutes" << 0 << "2024-03-01 10:37:20"
                                          << "2024-03-01 10:30:00" << "2024-03-01 10:40:00";
    QTest::newRow("minutes -5 acts as 10") << "minutes" << -5 << "2024-03-01 10:37:20"
                                           << "2024-03-01 10:30:00" << "2024-03-01 10:40:00";
    QTest::newRow("minutes 61 acts as 10") << "minutes" << 61 << "2024-03-01 10:37:20"
                                           << "2024-03-01 10:30:00" << "2024-03-01 10:40:00";
    QTest::newRow("minutes 60") << "minutes" << 60 << "2024-03-01 10:37:20"
                                << "2024-03-01 10:00:00" << "2024-03-01 11:00:00";
    QTest::newRow("minutes 7, minute 56 reaches into the next hour")
        << "minutes" << 7 << "2024-03-01 10:58:00" << "2024-03-01 10:56:00"
        << "2024-03-01 11:03:00";
    QTest::newRow("minutes 7 restart at minute 0")
        << "minutes" << 7 << "2024-03-01 11:02:00" << "2024-03-01 11:00:00"
        << "2024-03-01 11:07:00";
    QTest::newRow("days") << "days" << 0 << "2024-03-01 23:59:59" << "2024-03-01 00:00:00"
                          << "2024-03-01 23:59:59";
    QTest::newRow("weeks, Sunday evening") << "weeks" << 0 << "2024-03-10 23:00:00"
                                           << "2024-03-04 00:00:00" << "2024-03-10 23:59:59";
    QTest::newRow("weeks, Monday midnight") << "weeks" << 0 << "2024-03-11 00:00:00"
                                            << "2024-03-11 00:00:00" << "2024-03-17 23:59:59";
    QTest::newRow("weeks across a year") << "weeks" << 0 << "2025-01-01 12:00:00"
                                         << "2024-12-30 00:00:00" << "2025-01-05 23:59:59";
    QTest::newRow("unknown type") << "months" << 0 << "2024-03-01 10:00:00" << ""
                                  << "";
}

void TestArchive::groupBounds()
{
    QFETCH(QString, type);
    QFETCH(int, step);
    QFETCH(QString, time);
    QFETCH(QString, start);
    QFETCH(QString, end);
    const ArchiveManager archive(nullptr);
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    QDateTime t = QDateTime::fromString(time, format);
    t.setTimeSpec(Qt::UTC);
    const QDateTime s = archive.getGroupStart(t.toSecsSinceEpoch(), type, step);
    const QDateTime e = archive.getGroupEnd(s, type, step);
    QCOMPARE(s.toString(format), start);
    QCOMPARE(e.toString(format), end);
    if (s.isValid())
        QCOMPARE(s.timeSpec(), Qt::UTC);
}

void TestArchive::filterRefusals_data()
{
    QTest::addColumn<QVariantMap>("request");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray list = R"({"error":true,"message":"Parameters list error."})";
    const auto query = [](const char* details) {
        return QByteArray(R"({"error":true,"message":"Query error","details":")") + details +
               "\"}";
    };
    QTest::newRow("no list") << QVariantMap{} << list;
    QTest::newRow("script, not JSON") << QVariantMap{{"paramListStr", "[1,2+3]"}} << list;
    QTest::newRow("an object") << QVariantMap{{"paramListStr", R"({"0":1})"}} << list;
    QTest::newRow("empty list") << QVariantMap{{"paramListStr", "[]"}}
                                << query("paramListStr: [] is not a list of 1 to 1000 parameter ids");
    QTest::newRow("quote in an id") << QVariantMap{{"paramListStr", R"([1,"1' OR '1'='1"])"}}
                                    << query("paramListStr[1]: 1' OR '1'='1 is not an integer id");
    QTest::newRow("fraction") << QVariantMap{{"paramListStr", "[1.5]"}}
                              << query("paramListStr[0]: 1.5 is not an integer id");
    QTest::newRow("start date with a quote")
        << QVariantMap{{"paramListStr", "[1]"}, {"startDate", "2024-03-01'"}}
        << query("startDate: 2024-03-01' is not a date yyyy-MM-dd");
    QTest::newRow("end date without zeros")
        << QVariantMap{{"paramListStr", "[1]"}, {"endDate", "2024-3-1"}}
        << query("endDate: 2024-3-1 is not a date yyyy-MM-dd");
    QTest::newRow("impossible date")
        << QVariantMap{{"paramListStr", "[1]"}, {"startDate", "2024-02-30"}}
        << query("startDate: 2024-02-30 is not a date yyyy-MM-dd");
    QTest::newRow("time without seconds")
        << QVariantMap{{"paramListStr", "[1]"}, {"startDate", "2024-03-01"}, {"startTime", "10:00"}}
        << query("startTime: 10:00 is not a time hh:mm:ss");
    QTest::newRow("time of an absent date is not used")
        << QVariantMap{{"paramListStr", "[1]"}, {"endTime", "x"}} << QByteArray();
    QTest::newRow("string ids and empty time")
        << QVariantMap{{"paramListStr", R"(["1", 2])"}, {"endDate", "2024-03-01"}, {"endTime", ""}}
        << QByteArray();
}

void TestArchive::filterRefusals()
{
    QFETCH(QVariantMap, request);
    QFETCH(QByteArray, reply);
    ArchiveFilter filter;
    QCOMPARE(ArchiveFilter::readWithTimes(TestDatabase::params(request), &filter), reply);
}

void TestArchive::pageStopsAtItsEnd_data()
{
    QTest::addColumn<bool>("breakOnPage");
    QTest::addColumn<bool>("counted");
    for (bool breakOnPage : {true, false}) {
        for (bool counted : {false, true})
            QTest::addRow("%s, total %s", breakOnPage ? "a session break on the page" : "no break",
                          counted ? "counted" : "known")
                << breakOnPage << counted;
    }
}

void TestArchive::pageStopsAtItsEnd()
{
    QFETCH(bool, breakOnPage);
    QFETCH(bool, counted);
    const ArchiveFilter filter = filterOf({"1", "2"}, QString(), QString());
    QVector<QByteArray> times;
    QVector<bool> breaks;
    {
        ArchiveReader all(filter, false);
        QVERIFY(all.open());
        while (all.next()) {
            times << all.dateTime();
            breaks << all.isSessionBreak();
        }
    }
    // The rows of the page at an offset: session breaks before it take no position, those on
    // it take one each.
    constexpr qint64 size = 5;
    const auto pageRows = [&](qint64 offset) {
        QVector<int> rows;
        qint64 breaksOff = 0;
        for (int i = 0; i < times.size(); ++i) {
            const qint64 position = i - breaksOff;
            if (position >= offset && position < offset + size)
                rows << i;
            else if (breaks.at(i))
                ++breaksOff;
        }
        return rows;
    };
    qint64 offset = 100;
    QVector<int> rows = pageRows(offset);
    while (std::any_of(rows.cbegin(), rows.cend(), [&](int i) { return breaks.at(i); }) !=
           breakOnPage)
        rows = pageRows(++offset);
    QVERIFY(rows.last() + 1 < times.size());
    const int breaksOnPage = int(std::count_if(rows.cbegin(), rows.cend(),
                                               [&](int i) { return breaks.at(i); }));

    ArchiveReader reader(filter, false);
    QVERIFY(reader.open());
    ArchiveGrid::Paging paging;
    paging.enabled = true;
    paging.offset = offset;
    paging.size = size;
    paging.knownTotal = counted ? -1 : 12345;
    ReplyWriter out;
    QString error;
    QVERIFY(ArchiveGrid::page(reader, paging, out, &error));
    const QByteArray reply = out.take();
    const QJsonObject grid = QJsonDocument::fromJson(reply).object();
    QCOMPARE(grid.value("Rows").toArray().size(), int(size));
    QCOMPARE(grid.value("Rows").toArray().first().toObject().value("dateTime").toString(),
             QString::fromLatin1(times.at(rows.first())));
    QCOMPARE(grid.value("rowsCnt").toInt(), int(size) - breaksOnPage);
    if (counted) {
        QCOMPARE(grid.value("calculatedTotalRows").toInt(), int(breaks.count(false)));
    } else {
        // Nothing was read past the page's last row: the reader goes on with the next one.
        QCOMPARE(grid.value("calculatedTotalRows").toInt(), 12345);
        QVERIFY(reader.next());
        QCOMPARE(reader.dateTime(), times.at(rows.last() + 1));
    }
}

void TestArchive::gridMatchesThePivotStatement_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QVariantMap>("request");
    QTest::addColumn<bool>("streamed"); // larger than a reply held whole
    QStringList many;                   // repeated ids are columns of their own
    for (int i = 0; i < 40; ++i)
        many << QString::number(i % 4 + 1);
    const QVariantMap off{{"paggination", "0"}, {"pagesize", "20"}};
    QTest::newRow("paging off, held whole") << QStringList{"1", "2", "3", "4"} << off << false;
    QTest::newRow("paging off, in parts") << many << off << true;
    QTest::newRow("a page larger than every row, in parts")
        << many << QVariantMap{{"paggination", "1"}, {"pagesize", "100000"}} << true;
    QTest::newRow("a page, total counted") << many
                                           << QVariantMap{{"paggination", "1"},
                                                          {"pagesize", "150"},
                                                          {"pagenum", "3"},
                                                          {"calculatedTotalRows", "-1"}}
                                           << false;
    QTest::newRow("a page, total known") << QStringList{"2", "1"}
                                         << QVariantMap{{"paggination", "1"},
                                                        {"pagesize", "7"},
                                                        {"pagenum", "11"},
                                                        {"calculatedTotalRows", "42"}}
                                         << false;
    QTest::newRow("bounds, unknown first id") << QStringList{"77", "3"}
                                              << QVariantMap{{"startDate", "2024-03-01"},
                                                             {"startTime", "12:00:00"},
                                                             {"endDate", "2024-03-02"},
                                                             {"endTime", "01:00:00"}}
                                              << false;
}

void TestArchive::gridMatchesThePivotStatement()
{
    QFETCH(QStringList, ids);
    QFETCH(QVariantMap, request);
    QFETCH(bool, streamed);
    request.insert("paramListStr",
                   QLatin1Char('[') + ids.join(QLatin1Char(',')) + QLatin1Char(']'));
    const t_GetArray get = TestDatabase::params(request);
    const bool paging = RequestParams::toInt(get, "paggination") != 0;
    const qint64 size = RequestParams::toInt(get, "pagesize");
    const qint64 offset = RequestParams::toInt(get, "pagenum") * size;
    const qint64 knownTotal = RequestParams::toInt(get, "calculatedTotalRows", -1);
    const QString from = request.contains("startDate")
                             ? request.value("startDate").toString() + QLatin1Char(' ') +
                                   request.value("startTime").toString()
                             : QString();
    const QString to = request.contains("endDate")
                           ? request.value("endDate").toString() + QLatin1Char(' ') +
                                 request.value("endTime").toString()
                           : QString();

    // The grid as the pivot statement's rows give it, read to their end.
    QSqlQuery q(Database::connection());
    QVERIFY2(q.exec(pivotSql(ids, from, to, false)), qPrintable(q.lastError().text()));
    QByteArray rows = "{\"Rows\":[";
    QByteArray chart;
    qint64 index = 0, breaksOff = 0, othersOff = 0, emitted = 0, onPage = 0;
    while (q.next()) {
        const QSqlRecord record = q.record();
        const bool isBreak = q.value(2).toInt() == ArchiveReader::SessionBreakFlag;
        const qint64 position = index - breaksOff;
        if (!paging || (offset <= position && position < offset + size)) {
            rows += onPage++ ? ",{" : "{";
            for (int c = 0; c < record.count(); ++c)
                rows += '"' + record.fieldName(c).toLatin1() + "\":\"" +
                        q.value(c).toString().toLatin1() + "\",";
            rows[rows.size() - 1] = '}';
            if (!isBreak) {
                chart += emitted++ ? ",{" : "{";
                chart += "\"dateTime\":\"" + q.value(0).toString().toLatin1() + "\",";
                for (int i = 0; i < ids.size(); ++i) {
                    const int flag = q.value(2 + 2 * i).toInt();
                    const QByteArray cell = flag == 0   ? q.value(1 + 2 * i).toString().toLatin1()
                                            : flag == 2 ? QByteArray("---")
                                                        : QByteArray("???");
                    chart += '"' + ids.at(i).toLatin1() + "\":\"" + cell + "\",";
                }
                chart[chart.size() - 1] = '}';
            }
        } else if (isBreak) {
            ++breaksOff;
        } else {
            ++othersOff;
        }
        ++index;
    }
    const QByteArray expected =
        rows + "], \"ChartData\":[" + chart + "], \"rowsCnt\":" + QByteArray::number(emitted) +
        ", \"calculatedTotalRows\":" +
        QByteArray::number(knownTotal == -1 ? emitted + othersOff : knownTotal) + '}';

    QByteArray received;
    int parts = 0;
    int largestPart = 0;
    bool ended = false;
    ReplyWriter out([&](const QByteArray& part, bool lastPart, const QDeadlineTimer&) {
        if (ended)
            qFatal("a part after the last one");
        received += part;
        ++parts;
        largestPart = qMax(largestPart, part.size());
        ended = lastPart;
        return true;
    });
    ArchiveManager archive(nullptr);
    t_GetArray call = get;
    archive.getGridData_j(call, out);
    out.finish();
    QVERIFY(ended);
    QCOMPARE(received.size(), expected.size());
    QCOMPARE(received, expected);
    // A large reply goes out in parts as it is made, none much above what is held.
    QCOMPARE(parts > 1, streamed);
    QVERIFY(largestPart <= 2 * ReplyWriter::HoldBytes || !streamed);
    // The whole reply in memory is the same.
    QCOMPARE(archive.getGridData_j(call), expected);
}

void TestArchive::reportMatchesThePivotStatement_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QString>("groupingType");
    QTest::addColumn<int>("minutesStep");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QStringList many;
    for (int i = 0; i < 40; ++i)
        many << QString::number(i % 4 + 1);
    QTest::newRow("every minute, in parts") << many << "minutes" << 1 << ""
                                            << "";
    QTest::newRow("7 minutes, repeated and unknown ids")
        << QStringList{"2", "77", "2", "1"} << "minutes" << 7 << ""
        << "";
    QTest::newRow("hours, bounds") << QStringList{"3", "4"} << "hours" << 0 << "2024-03-01"
                                   << "2024-03-02";
    QTest::newRow("days") << QStringList{"1", "2", "3", "4"} << "days" << 0 << ""
                          << "";
    QTest::newRow("weeks") << QStringList{"4"} << "weeks" << 0 << ""
                           << "";
    QTest::newRow("no row") << QStringList{"77", "1"} << "hours" << 0 << "2030-01-01"
                            << "";
}

void TestArchive::reportMatchesThePivotStatement()
{
    QFETCH(QStringList, ids);
    QFETCH(QString, groupingType);
    QFETCH(int, minutesStep);
    QFETCH(QString, from);
    QFETCH(QString, to);
    ArchiveManager archive(nullptr);

    // The report folded from the pivot statement's rows, printed through QDateTime and QString.
    const auto timeText = [](const QDateTime& t) {
        return t.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
    };
    struct Figures
    {
        bool none = true;
        double min = 0, max = 0, sum = 0;
        int count = 0;
        QDateTime minTime, maxTime;
    };
    QVector<Figures> figures(ids.size());
    QStringList groups;
    QDateTime start;
    QDateTime end;
    bool open = false;
    const bool lastSecondIncluded = groupingType == "days" || groupingType == "weeks";
    const auto write = [&] {
        QString g = QStringLiteral("{\"timeRangeFrom\":\"%1\",\"timeRangeTo\":\"%2\",")
                        .arg(timeText(start), timeText(end));
        QStringList members;
        for (int i = 0; i < ids.size(); ++i) {
            const Figures& f = figures.at(i);
            const QString& id = ids.at(i);
            if (f.none) {
                members << QStringLiteral("\"minDateTime_%1\":\"---\",\"minValue_%1\":\"---\","
                                          "\"maxDateTime_%1\":\"---\",\"maxValue_%1\":\"---\","
                                          "\"avg_%1\":\"---\"")
                               .arg(id);
            } else {
                members << QStringLiteral("\"minDateTime_%1\":\"%2\",\"minValue_%1\":%3,"
                                          "\"maxDateTime_%1\":\"%4\",\"maxValue_%1\":%5,"
                                          "\"avg_%1\":%6")
                               .arg(id, timeText(f.minTime), QString::number(f.min, 'g', 6),
                                    timeText(f.maxTime), QString::number(f.max, 'g', 6),
                                    QString::number(f.sum / f.count, 'g', 6));
            }
        }
        groups << g + members.join(QLatin1Char(',')) + QLatin1Char('}');
    };
    QSqlQuery q(Database::connection());
    QVERIFY2(q.exec(pivotSql(ids, from, to, true)), qPrintable(q.lastError().text()));
    while (q.next()) {
        QDateTime time = QDateTime::fromString(q.value(0).toString(), "yyyy-MM-dd hh:mm:ss");
        time.setTimeSpec(Qt::UTC);
        if (open && time >= end.addSecs(lastSecondIncluded ? 1 : 0)) {
            write();
            open = false;
        }
        if (!open) {
            start = archive.getGroupStart(time.toSecsSinceEpoch(), groupingType, minutesStep);
            end = archive.getGroupEnd(start, groupingType, minutesStep);
            figures.fill(Figures());
            open = true;
        }
        for (int i = 0; i < ids.size(); ++i) {
            if (q.value(1 + i).isNull())
                continue;
            const double v = q.value(1 + i).toDouble();
            Figures& f = figures[i];
            if (f.none) {
                f = Figures{false, v, v, v, 1, time, time};
                continue;
            }
            if (v < f.min) {
                f.min = v;
                f.minTime = time;
            }
            if (v > f.max) {
                f.max = v;
                f.maxTime = time;
            }
            f.sum += v;
            ++f.count;
        }
    }
    if (!open) {
        start = end = QDateTime();
        figures.fill(Figures());
    }
    write();
    const QByteArray expected =
        (QLatin1Char('[') + groups.join(QLatin1Char(',')) + QLatin1Char(']')).toLatin1();

    QByteArray received;
    int parts = 0;
    ReplyWriter out([&](const QByteArray& part, bool, const QDeadlineTimer&) {
        received += part;
        ++parts;
        return true;
    });
    t_GetArray get = TestDatabase::params(
        {{"paramListStr", QLatin1Char('[') + ids.join(QLatin1Char(',')) + QLatin1Char(']')},
         {"groupingType", groupingType},
         {"groupingMinutesVal", QString::number(minutesStep)},
         {"startDate", from},
         {"endDate", to}});
    archive.getReportGridData_j(get, out);
    out.finish();
    QCOMPARE(received.size(), expected.size());
    QCOMPARE(received, expected);
    QCOMPARE(parts > 1, expected.size() > ReplyWriter::HoldBytes);
}

void TestArchive::aFailureReplacesOnlyAReplyNotBegun()
{
    ReplyWriter held([](const QByteArray&, bool, const QDeadlineTimer&) { return true; });
    held.append("{\"Rows\":[");
    QVERIFY(held.replace("error"));
    QByteArray sent;
    ReplyWriter begun([&](const QByteArray& part, bool, const QDeadlineTimer&) {
        sent += part;
        return true;
    });
    begun.append("{");
    begun.append(QByteArray(ReplyWriter::HoldBytes, 'x'));
    QVERIFY(begun.hasStarted());
    QVERIFY(!begun.replace("error"));
    begun.finish();
    QCOMPARE(sent, "{" + QByteArray(ReplyWriter::HoldBytes, 'x'));
}

// The reader's transaction lasts no longer than the reply may take: a caller that takes each
// part only when the deadline has passed gets no more, and no end.
void TestArchive::aSlowCallerEndsTheGridAtItsDeadline()
{
    QStringList many;
    for (int i = 0; i < 40; ++i)
        many << QString::number(i % 4 + 1);
    int parts = 0;
    bool ended = false;
    bool aborted = false;
    ReplyWriter out(
        [&](const QByteArray&, bool lastPart, const QDeadlineTimer& deadline) {
            ++parts;
            ended = lastPart;
            while (!deadline.hasExpired())
                QThread::msleep(5);
            return true;
        },
        [&] { aborted = true; }, 50);
    ArchiveManager archive(nullptr);
    t_GetArray get = TestDatabase::params(
        {{"paramListStr", QLatin1Char('[') + many.join(QLatin1Char(',')) + QLatin1Char(']')}});
    archive.getGridData_j(get, out);
    out.finish();
    QVERIFY(aborted);
    QVERIFY(!ended);
    QCOMPARE(parts, 1);
}

// A reply made whole (the live values, of any size) is neither copied nor cut into parts.
void TestArchive::aWholeReplyGoesOutAsItIs()
{
    const QByteArray reply(4 * ReplyWriter::HoldBytes, 'v');
    QList<QPair<const char*, bool>> parts;
    ReplyWriter out([&](const QByteArray& part, bool lastPart, const QDeadlineTimer&) {
        parts.append({part.constData(), lastPart});
        return true;
    });
    out.append(reply);
    out.finish();
    QCOMPARE(parts.size(), 1);
    QCOMPARE(parts[0].first, reply.constData());
    QVERIFY(parts[0].second);
}

void TestArchive::pageSizeIsBounded_data()
{
    QTest::addColumn<QString>("pagesize");
    QTest::addColumn<QString>("paggination");
    QTest::addColumn<QString>("refusal");
    const auto refused = [](const QString& size) {
        return QStringLiteral("pagesize: %1 is not within 0 to %2")
            .arg(size)
            .arg(std::numeric_limits<int>::max());
    };
    // Any page is written in bounded memory.
    QTest::newRow("a page of every row") << "1000000"
                                         << "1" << QString();
    QTest::newRow("the largest integer")
        << QString::number(std::numeric_limits<int>::max()) << "1" << QString();
    QTest::newRow("negative") << "-1"
                              << "1" << refused("-1");
    QTest::newRow("too long for any integer") << "99999999999"
                                              << "1" << refused("99999999999");
    QTest::newRow("not a number reads 0") << "x"
                                          << "1" << QString();
    QTest::newRow("paging off: not used") << "99999999999"
                                          << "0" << QString();
}

void TestArchive::pageSizeIsBounded()
{
    QFETCH(QString, pagesize);
    QFETCH(QString, paggination);
    QFETCH(QString, refusal);
    ArchiveManager archive(nullptr);
    t_GetArray get = TestDatabase::params({{"paramListStr", "[1,2,3,4,1,2,3,4,1,2]"},
                                           {"paggination", paggination},
                                           {"pagesize", pagesize},
                                           {"calculatedTotalRows", "7"}});
    const QByteArray reply = archive.getGridData_j(get);
    if (refusal.isEmpty())
        QVERIFY2(reply.startsWith("{\"Rows\":["), reply.constData());
    else
        QCOMPARE(reply, Logs::errorJson(QStringLiteral("Query error"), refusal));
}

void TestArchive::deletionKeepsForeignKeysOn()
{
    {
        TestDatabase other; // a database of its own: the shared archive stays
        QVERIFY(TestDatabase::exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'm')"));
        QVERIFY(TestDatabase::exec("INSERT INTO ConfiguredParameters (idParameters, idDevice) "
                                   "VALUES (1, 1)"));
        QVERIFY(TestDatabase::exec("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                                   "VALUES (1, 1, 6, '2024-03-01 10:00:00')"));
        ArchiveManager archive(nullptr);
        QCOMPARE(archive.deleteArchivedData_j(), QByteArray("{\"success\":true}"));
        QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM ArchiveData"), QString("0"));
        QCOMPARE(TestDatabase::value("PRAGMA foreign_keys"), QString("1"));
        QVERIFY(!TestDatabase::exec("INSERT INTO ArchiveData (idParameter) VALUES (99)"));
    }
    Database::setPath(db->manager->databasePath());
}

QTEST_GUILESS_MAIN(TestArchive)
#include "tst_archive.moc"
