#include "ArchiveManager.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"
#include "polling/ArchiveFilter.h"
#include "polling/ArchiveGrid.h"
#include "polling/ArchiveReader.h"
#include "polling/ArchiveReport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QTimer>
#include <QtDebug>

namespace {

constexpr int sessionBreakFlag = ArchiveReader::SessionBreakFlag;

QByteArray queryError(const QString& details)
{
    return Logs::errorJson(QStringLiteral("Query error"), details);
}

// The details of a reply refused for its size: what it would hold and what makes it smaller.
QString tooManyValues(qint64 limit, const char* rows, const char* remedy)
{
    return QStringLiteral("the reply would hold more than %1 values (%2 x parameters): choose a "
                          "shorter time range, fewer parameters or %3")
        .arg(limit)
        .arg(QLatin1String(rows), QLatin1String(remedy));
}

int minutesStepOf(int minutesStep)
{
    return minutesStep >= 1 && minutesStep <= 60 ? minutesStep : 10;
}

} // namespace

ArchiveManager::ArchiveManager(QObject* parent) : ArchiveManager(CsvExpiryMs, parent) {}

ArchiveManager::ArchiveManager(int csvExpiryMs, QObject* parent)
    : QObject(parent),
      groupingTypes{QStringLiteral("minutes"), QStringLiteral("hours"), QStringLiteral("days"),
                    QStringLiteral("weeks")},
      csvExpiryMs(csvExpiryMs), csvExpiryTimer(new QTimer(this))
{
    csvExpiryTimer->setSingleShot(true);
    connect(csvExpiryTimer, &QTimer::timeout, this, &ArchiveManager::expireCsvFile);
}

// A waiting CSV file goes with the manager (and with the process in any case: it has no name
// on the disk).
ArchiveManager::~ArchiveManager() = default;

QByteArray ArchiveManager::getArchGeneralInfo_j()
{
    QSqlQuery summary(Database::connection());
    if (!Database::exec(summary,
                        QStringLiteral("SELECT MIN(dateTime) AS firstRecordData, MAX(dateTime) AS "
                                       "lastRecordData, COUNT(idArchiveData) AS "
                                       "allParamRecordsCnt, COUNT( distinct dateTime) AS "
                                       "recordsCnt FROM ArchiveData WHERE flag!=?"),
                        {sessionBreakFlag}))
        return queryError(summary.lastError().text());
    QSqlQuery parameters(Database::connection());
    if (!parameters.exec(QStringLiteral(
            "SELECT   DISTINCT (idParameters),   Devices.name AS devName,   idDevices,   CASE "
            "       WHEN nameId == ''        THEN            CASE                WHEN "
            "userDescription != ''               THEN userDescription               ELSE "
            "regAddr           END       ELSE           CASE                WHEN "
            "userDescription != ''                THEN (nameId || ' (' || userDescription || "
            "')')                ELSE nameId            END   END AS paramName,   unit FROM   "
            "ConfiguredParameters JOIN Devices ON ConfiguredParameters.idDevice = "
            "Devices.idDevices   WHERE archInterval > 0")))
        return queryError(parameters.lastError().text());

    summary.next();
    // Names, descriptions and units as stored, escaped; counts and ids as strings too.
    return (QStringLiteral("{\"generalInfo\":") + JsonText::rowObject(summary.record()) +
            QStringLiteral(",\"parametersGroup\":[") + JsonText::rowObjects(parameters) +
            QStringLiteral("]}"))
        .toUtf8();
}

QByteArray ArchiveManager::deleteArchivedData_j()
{
    // Nothing refers to archive rows, so the foreign-key checks have nothing to find; without
    // them SQLite drops the table's pages at once instead of deleting row by row (2 s instead of
    // 11 s for a year of 10 parameters), and the archive writer waits that much less.
    QSqlQuery q(Database::connection());
    q.exec(QStringLiteral("PRAGMA foreign_keys = OFF"));
    const bool deleted = q.exec(QStringLiteral("DELETE FROM ArchiveData"));
    const QString error = q.lastError().text();
    q.exec(QStringLiteral("PRAGMA foreign_keys = ON"));
    if (!deleted)
        return queryError(error);
    return QByteArrayLiteral("{\"success\":true}");
}

QByteArray ArchiveManager::getGridData_j(t_GetArray& GET)
{
    ArchiveFilter filter;
    const QByteArray refusal = ArchiveFilter::readWithTimes(GET, &filter);
    if (!refusal.isEmpty())
        return refusal;
    ArchiveGrid::Paging paging;
    int pageSize = RequestParams::toInt(GET, "pagesize");
    paging.enabled = RequestParams::toInt(GET, "paggination") != 0;
    if (paging.enabled) {
        // A page's rows hold a value of every listed parameter each.
        const qint64 limit = ArchiveGrid::MaxValues / filter.ids.size();
        const QString range =
            RequestParams::rangeError(GET, "pagesize", 0, 0, int(limit), &pageSize);
        if (!range.isEmpty())
            return queryError(range + QStringLiteral(" (a page holds at most %1 values: rows x "
                                                     "parameters)")
                                          .arg(ArchiveGrid::MaxValues));
    }
    paging.offset = qint64(RequestParams::toInt(GET, "pagenum")) * pageSize;
    paging.size = pageSize;
    paging.knownTotal = RequestParams::toInt(GET, "calculatedTotalRows", -1);

    QElapsedTimer timer;
    timer.start();
    ArchiveReader reader(filter, false);
    if (!reader.open())
        return queryError(reader.error());
    qDebug() << "query time = " << timer.restart();
    bool tooLarge = false;
    const QByteArray reply = ArchiveGrid::page(reader, paging, &tooLarge);
    if (tooLarge)
        return queryError(tooManyValues(ArchiveGrid::MaxValues, "time stamps", "paging"));
    if (reply.isEmpty())
        return queryError(reader.error());
    qDebug() << "concat string time = " << timer.elapsed();
    return reply;
}

QByteArray ArchiveManager::generateCSVFile_j(t_GetArray& GET)
{
    std::unique_ptr<QTemporaryFile> expired;
    {
        QMutexLocker lock(&csvMutex);
        // A generation still writing its file is never replaced; a file waits for its
        // download until it expires.
        if (csvGenerating && (!csvFile || csvTimer.elapsed() < csvExpiryMs))
            return Logs::errorJson(QStringLiteral("Generating in progress"), QString());
        expired = std::move(csvFile);
        csvGenerating = true;
        csvTimer.start();
        ++csvGeneration;
    }
    expired.reset();

    ArchiveFilter filter;
    const QByteArray refusal = ArchiveFilter::readWithTimes(GET, &filter);
    if (!refusal.isEmpty()) {
        abandonCsvGeneration();
        return refusal;
    }
    ArchiveGrid::CsvFormat format;
    format.captions = GET.value("colNamesStr", QByteArray());
    format.separator = GET.value("colSep", QByteArrayLiteral(","));
    format.decimalComma = GET.value("decSep", QByteArrayLiteral(".")) != ".";

    ArchiveReader reader(filter, false);
    if (!reader.open()) {
        abandonCsvGeneration();
        return queryError(reader.error());
    }
    // Never given a name on the disk (O_TMPFILE where the file system has it): it cannot
    // outlive the process, however the process ends.
    auto file = std::make_unique<QTemporaryFile>();
    if (!file->open()) {
        abandonCsvGeneration();
        return Logs::errorJson(QStringLiteral("Unable to create file"), QString());
    }
    const bool written = ArchiveGrid::writeCsv(reader, format, *file) && file->flush();
    if (!written) {
        abandonCsvGeneration();
        if (!reader.error().isEmpty())
            return queryError(reader.error());
        // A full disk must not pass for a whole file.
        return Logs::errorJson(QStringLiteral("Unable to create file"), file->errorString());
    }
    // Deleted by whichever thread releases it; a file has no events to process.
    file->moveToThread(nullptr);

    {
        QMutexLocker lock(&csvMutex);
        csvFile = std::move(file);
        csvTimer.start(); // the file waits from now on
    }
    QMetaObject::invokeMethod(this, &ArchiveManager::scheduleCsvExpiry, Qt::QueuedConnection);
    return QByteArrayLiteral("{\"success\":true}");
}

void ArchiveManager::abandonCsvGeneration()
{
    QMutexLocker lock(&csvMutex);
    csvGenerating = false;
}

ArchiveManager::CsvDownload ArchiveManager::openCsvFile()
{
    QMutexLocker lock(&csvMutex);
    CsvDownload download;
    if (!csvFile)
        return download;
    // A new open file of its own, with its own position, through the descriptor's name.
    auto file = std::make_unique<QFile>(QStringLiteral("/proc/self/fd/%1").arg(csvFile->handle()));
    if (!file->open(QIODevice::ReadOnly))
        return download;
    download.file = std::move(file);
    download.generation = csvGeneration;
    return download;
}

void ArchiveManager::releaseCsvFile(quint64 generation)
{
    std::unique_ptr<QTemporaryFile> released;
    {
        QMutexLocker lock(&csvMutex);
        if (generation != csvGeneration)
            return;
        released = std::move(csvFile);
        csvGenerating = false;
    }
}

void ArchiveManager::scheduleCsvExpiry()
{
    QMutexLocker lock(&csvMutex);
    if (csvFile)
        csvExpiryTimer->start(int(qMax<qint64>(0, csvExpiryMs - csvTimer.elapsed())));
}

void ArchiveManager::expireCsvFile()
{
    std::unique_ptr<QTemporaryFile> expired;
    QMutexLocker lock(&csvMutex);
    if (!csvFile)
        return;
    const qint64 left = csvExpiryMs - csvTimer.elapsed();
    if (left > 0) {
        csvExpiryTimer->start(int(left)); // a newer file
        return;
    }
    expired = std::move(csvFile);
    csvGenerating = false;
    lock.unlock();
}

QByteArray ArchiveManager::getReportGridData_j(t_GetArray& GET)
{
    ArchiveFilter filter;
    const QByteArray refusal = ArchiveFilter::readDates(GET, &filter);
    if (!refusal.isEmpty())
        return refusal;
    const QString groupingType = RequestParams::text(GET, "groupingType");
    const int minutesStep = RequestParams::toInt(GET, "groupingMinutesVal");
    // Any other type would give no meaningful groups: refused like the other bad values.
    if (!groupingTypes.contains(groupingType))
        return queryError(RequestParams::notAllowed(QStringLiteral("groupingType"), groupingType,
                                                    groupingTypes.join(QStringLiteral(", "))));

    ArchiveReader reader(filter, true);
    if (!reader.open())
        return queryError(reader.error());
    bool tooLarge = false;
    const QByteArray reply =
        ArchiveReport::build(reader, *this, groupingType, minutesStep, &tooLarge);
    if (tooLarge)
        return queryError(tooManyValues(ArchiveReport::MaxValues, "groups", "longer groups"));
    if (reply.isEmpty())
        return queryError(reader.error());
    return reply;
}

QDateTime ArchiveManager::getGroupStart(qint64 time, const QString& groupingType,
                                        int minutesStep) const
{
    const QDateTime t = QDateTime::fromSecsSinceEpoch(time, Qt::UTC);
    const int h = t.time().hour();
    const int m = t.time().minute();
    const int s = t.time().second();
    switch (groupingTypes.indexOf(groupingType)) {
    case 0: // restarts at minute 0 of every hour, also when the step does not divide 60
        return t.addSecs(-((m % minutesStepOf(minutesStep)) * 60 + s));
    case 1:
        return t.addSecs(-(m * 60 + s));
    case 2:
        return t.addSecs(-(h * 3600 + m * 60 + s));
    case 3: // Monday 00:00:00
        return t.addSecs(-((t.date().dayOfWeek() - 1) * 86400 + h * 3600 + m * 60 + s));
    default:
        return QDateTime();
    }
}

QDateTime ArchiveManager::getGroupEnd(const QDateTime& start, const QString& groupingType,
                                      int minutesStep) const
{
    switch (groupingTypes.indexOf(groupingType)) {
    case 0:
        return start.addSecs(qint64(minutesStepOf(minutesStep)) * 60);
    case 1:
        return start.addSecs(3600);
    case 2: // 1 s before the next day, the time printed as the group's end
        return start.addSecs(86399);
    case 3:
        return start.addSecs(604799);
    default:
        return start;
    }
}
