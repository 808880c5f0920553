#include "ArchiveManager.h"

#include "Database.h"
#include "JsonText.h"
#include "LeftoverFiles.h"
#include "Logs.h"
#include "ReplyWriter.h"
#include "TryLocker.h"
#include "polling/ArchiveFilter.h"
#include "polling/ArchiveGrid.h"
#include "polling/ArchiveReader.h"
#include "polling/ArchiveReport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QtDebug>

#include <limits>

namespace {

constexpr int sessionBreakFlag = ArchiveReader::SessionBreakFlag;
// The CSV state's lock covers bookkeeping alone.
constexpr int csvLockMs = 1000;

QByteArray queryError(const QString& details)
{
    return Logs::errorJson(QStringLiteral("Query error"), details);
}

// A failure after the reply was begun: the error reply takes its place while nothing went out;
// otherwise the reply is cut off without its end, which no caller takes for a whole one.
void failReply(ReplyWriter& out, const QByteArray& reply)
{
    if (out.replace(reply))
        return;
    qWarning("Archive reply cut short: %s", reply.constData());
    out.abort();
}

int minutesStepOf(int minutesStep)
{
    return minutesStep >= 1 && minutesStep <= 60 ? minutesStep : 10;
}

} // namespace

ArchiveManager::ArchiveManager(QObject* parent) : ArchiveManager(CsvReplaceMs, parent) {}

ArchiveManager::ArchiveManager(int csvReplaceMs, QObject* parent)
    : QObject(parent), groupingTypes{QStringLiteral("minutes"), QStringLiteral("hours"),
                                     QStringLiteral("days"), QStringLiteral("weeks")},
      csvReplaceMs(csvReplaceMs)
{
    removeLeftoverCsvFiles();
}

// A waiting CSV file goes with the manager.
ArchiveManager::~ArchiveManager() = default;

QString ArchiveManager::csvFileTemplate()
{
    return QDir::tempPath() + QLatin1Char('/') + QCoreApplication::applicationName() +
           QStringLiteral("_csv.XXXXXX");
}

void ArchiveManager::removeLeftoverCsvFiles()
{
    // Names made from the template alone: the temporary directory holds everyone's files.
    LeftoverFiles::removeFromTemplate(csvFileTemplate());
}

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
    ReplyWriter out;
    getGridData_j(GET, out);
    return out.take();
}

void ArchiveManager::getGridData_j(t_GetArray& GET, ReplyWriter& out)
{
    ArchiveFilter filter;
    const QByteArray refusal = ArchiveFilter::readWithTimes(GET, &filter);
    if (!refusal.isEmpty()) {
        out.append(refusal);
        return;
    }
    ArchiveGrid::Paging paging;
    int pageSize = RequestParams::toInt(GET, "pagesize");
    paging.enabled = RequestParams::toInt(GET, "paggination") != 0;
    if (paging.enabled) {
        // Any page is written in bounded memory: only what no page can be is refused.
        const QString range = RequestParams::rangeError(GET, "pagesize", 0, 0,
                                                        std::numeric_limits<int>::max(), &pageSize);
        if (!range.isEmpty()) {
            out.append(queryError(range));
            return;
        }
    }
    paging.offset = qint64(RequestParams::toInt(GET, "pagenum")) * pageSize;
    paging.size = pageSize;
    paging.knownTotal = RequestParams::toInt(GET, "calculatedTotalRows", -1);

    QElapsedTimer timer;
    timer.start();
    ArchiveReader reader(filter, false);
    if (!reader.open()) {
        out.append(queryError(reader.error()));
        return;
    }
    qDebug() << "query time = " << timer.restart();
    QString error;
    if (!ArchiveGrid::page(reader, paging, out, &error)) {
        failReply(out, queryError(error));
        return;
    }
    qDebug() << "concat string time = " << timer.elapsed();
}

QByteArray ArchiveManager::generateCSVFile_j(t_GetArray& GET)
{
    std::unique_ptr<QTemporaryFile> replaced;
    quint64 generation = 0;
    {
        TryLocker lock(&csvMutex, csvLockMs);
        // A generation still writing its file is never replaced; a file waits for its download
        // and is replaced only by a generation that comes long enough after it.
        if (!lock || (csvOwner != 0 && (!csvFile || csvTimer.elapsed() < csvReplaceMs)))
            return Logs::errorJson(QStringLiteral("Generating in progress"), QString());
        replaced = std::move(csvFile);
        csvTimer.start();
        generation = ++csvGeneration;
        csvOwner = generation;
    }
    replaced.reset();

    ArchiveFilter filter;
    const QByteArray refusal = ArchiveFilter::readWithTimes(GET, &filter);
    if (!refusal.isEmpty()) {
        abandonCsvGeneration(generation);
        return refusal;
    }
    ArchiveGrid::CsvFormat format;
    format.captions = GET.value("colNamesStr", QByteArray());
    format.separator = GET.value("colSep", QByteArrayLiteral(","));
    format.decimalComma = GET.value("decSep", QByteArrayLiteral(".")) != ".";

    ArchiveReader reader(filter, false);
    if (!reader.open()) {
        abandonCsvGeneration(generation);
        return queryError(reader.error());
    }
    // Without a name on the disk where the file system allows (O_TMPFILE): nothing is left
    // behind then, however the process ends. A named one is locked while this process lives,
    // so that only a leftover is removed at start-up.
    auto file = std::make_unique<QTemporaryFile>(csvFileTemplate());
    if (!file->open() || !LeftoverFiles::lock(file->handle())) {
        abandonCsvGeneration(generation);
        return Logs::errorJson(QStringLiteral("Unable to create file"), QString());
    }
    const bool written = ArchiveGrid::writeCsv(reader, format, *file) && file->flush();
    if (!written) {
        abandonCsvGeneration(generation);
        if (!reader.error().isEmpty())
            return queryError(reader.error());
        // A full disk must not pass for a whole file.
        return Logs::errorJson(QStringLiteral("Unable to create file"), file->errorString());
    }
    // Deleted by whichever thread releases it; a file has no events to process.
    file->moveToThread(nullptr);

    TryLocker lock(&csvMutex, csvLockMs);
    if (!lock) {
        abandonCsvGeneration(generation);
        return Logs::errorJson(QStringLiteral("Unable to create file"), QString());
    }
    csvFile = std::move(file);
    csvTimer.start(); // the file waits from now on
    return QByteArrayLiteral("{\"success\":true}");
}

void ArchiveManager::abandonCsvGeneration(quint64 generation)
{
    // Without the lock, which may be out of reach just now: a generation left marked as under
    // way would refuse every later one.
    quint64 owner = generation;
    csvOwner.compare_exchange_strong(owner, 0);
}

ArchiveManager::CsvDownload ArchiveManager::openCsvFile()
{
    TryLocker lock(&csvMutex, csvLockMs);
    CsvDownload download;
    if (!lock || !csvFile)
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
    TryLocker lock(&csvMutex, csvLockMs);
    if (!lock || generation != csvGeneration)
        return;
    released = std::move(csvFile);
    csvOwner = 0;
    lock.unlock(); // the file is closed outside the lock
}

QByteArray ArchiveManager::getReportGridData_j(t_GetArray& GET)
{
    ReplyWriter out;
    getReportGridData_j(GET, out);
    return out.take();
}

void ArchiveManager::getReportGridData_j(t_GetArray& GET, ReplyWriter& out)
{
    ArchiveFilter filter;
    const QByteArray refusal = ArchiveFilter::readDates(GET, &filter);
    if (!refusal.isEmpty()) {
        out.append(refusal);
        return;
    }
    const QString groupingType = RequestParams::text(GET, "groupingType");
    const int minutesStep = RequestParams::toInt(GET, "groupingMinutesVal");
    // Any other type would give no meaningful groups: refused like the other bad values.
    if (!groupingTypes.contains(groupingType)) {
        out.append(
            queryError(RequestParams::notAllowed(QStringLiteral("groupingType"), groupingType,
                                                 groupingTypes.join(QStringLiteral(", ")))));
        return;
    }

    ArchiveReader reader(filter, true);
    if (!reader.open()) {
        out.append(queryError(reader.error()));
        return;
    }
    if (!ArchiveReport::build(reader, *this, groupingType, minutesStep, out))
        failReply(out, queryError(reader.error()));
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
