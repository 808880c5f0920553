#pragma once

#include "RequestParams.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>

class QFile;
class QTemporaryFile;
class ReplyWriter;

// The archive side of the web API: overview, deletion, paged grid, CSV file and grouped report.
// Its web functions run on the HTTP connection threads, several at once; the CSV file that
// waits for its download is the only state they share.
class ArchiveManager : public QObject
{
    Q_OBJECT
    friend class TestArchiveCsv; // holds the CSV lock to show a generation that cannot take it
public:
    explicit ArchiveManager(QObject* parent = nullptr);
    // csvReplaceMs: how long a waiting CSV file is kept from a new generation. Leftover CSV
    // files of an earlier run are removed.
    ArchiveManager(int csvReplaceMs, QObject* parent);
    ~ArchiveManager() override;

    // "getArchGeneralInfo": no keys. {"generalInfo":{...},"parametersGroup":[{...},...]}, UTF-8.
    QByteArray getArchGeneralInfo_j();
    // "deleteArchivedData": no keys. {"success":true}.
    QByteArray deleteArchivedData_j();
    // "getArchGridData": startDate, endDate, startTime, endTime, pagenum, pagesize,
    // paggination, calculatedTotalRows, paramListStr.
    // {"Rows":[...], "ChartData":[...], "rowsCnt":n, "calculatedTotalRows":n}, Latin-1.
    QByteArray getGridData_j(t_GetArray& GET);
    // The same reply written to out as it is made, in bounded memory whatever its size.
    void getGridData_j(t_GetArray& GET, ReplyWriter& out);
    // "generateCSVFile": startDate, endDate, startTime, endTime, colNamesStr, colSep, decSep,
    // paramListStr. {"success":true}; the file waits for "downloadCSV.html".
    QByteArray generateCSVFile_j(t_GetArray& GET);
    // "getReportGridData": startDate, endDate, groupingType, groupingMinutesVal, paramListStr.
    // [{"timeRangeFrom":..,"timeRangeTo":..,"minDateTime_<id>":..,...},...], Latin-1.
    QByteArray getReportGridData_j(t_GetArray& GET);
    void getReportGridData_j(t_GetArray& GET, ReplyWriter& out);

    // The waiting CSV file, read through a handle of its own from its start, so that a release
    // by another request cannot cut the download short; no file when none waits.
    struct CsvDownload
    {
        std::unique_ptr<QFile> file;
        quint64 generation = 0;
    };
    CsvDownload openCsvFile();
    // Releases the file when its download has sent every byte but the end; a file generated
    // since then stays.
    void releaseCsvFile(quint64 generation);

    // The bounds of the report group holding a time (UTC seconds); an invalid start for a
    // grouping type outside groupingTypes, whose end is then the start itself.
    QDateTime getGroupStart(qint64 time, const QString& groupingType, int minutesStep) const;
    QDateTime getGroupEnd(const QDateTime& start, const QString& groupingType,
                          int minutesStep) const;

    static constexpr int CsvReplaceMs = 120000;

private:
    // The name a CSV file gets where the file system cannot create one without a name.
    static QString csvFileTemplate();
    static void removeLeftoverCsvFiles();
    // Ends a failed CSV generation: no file waits.
    void abandonCsvGeneration(quint64 generation);

    QStringList groupingTypes;
    std::unique_ptr<QTemporaryFile> csvFile;
    QElapsedTimer csvTimer;

    // Guards the CSV state above: only bookkeeping is done under it.
    QMutex csvMutex;
    quint64 csvGeneration = 0; // counts the generations, so that a download releases its own file
    // The generation writing its file or whose file waits, 0 for none; it alone clears it.
    std::atomic<quint64> csvOwner{0};
    const int csvReplaceMs;
};
