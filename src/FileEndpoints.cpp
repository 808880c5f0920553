#include "FileEndpoints.h"

#include "ApiDispatcher.h"
#include "ConfigManager.h"
#include "Database.h"
#include "HttpCookie.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "LeftoverFiles.h"
#include "Logs.h"
#include "SystemFun.h"
#include "TryLocker.h"
#include "polling/ArchiveManager.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {
constexpr int dbLockMs = 2000;
constexpr qint16 fullRights = 255;
} // namespace

FileEndpoints::FileEndpoints(Environment environment) : m_env(std::move(environment))
{
    // A copy as big as the database, left by a program killed while making it.
    LeftoverFiles::remove(snapshotTemplate());
}

void FileEndpoints::answerEmpty(HttpResponse& response, int status, const char* description)
{
    response.setStatus(status, description);
    response.write(QByteArray(), true);
}

void FileEndpoints::stream(QIODevice& file, HttpResponse& response,
                           const std::function<void()>& beforeLastPart)
{
    file.seek(0);
    for (QByteArray chunk = file.read(ChunkSize); !chunk.isEmpty() && response.isConnected();
         chunk = file.read(ChunkSize))
        response.write_sync(chunk, false);
    if (beforeLastPart)
        beforeLastPart();
    response.write_sync(QByteArray(), true);
}

QTemporaryFile* FileEndpoints::acceptedUpload(HttpRequest& request, HttpResponse& response,
                                              qint16 privilege)
{
    if (privilege != fullRights) {
        response.setStatus(200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.write(ApiDispatcher::privilegeRefusal(), false);
        return nullptr;
    }
    QTemporaryFile* upload = request.getUploadedFile("uploadedfile");
    if (!upload)
        answerEmpty(response, 400, "Bad Request");
    return upload;
}

void FileEndpoints::saveFile(HttpRequest& request, HttpResponse& response, const t_GetArray& GET)
{
    if (!GET.contains("filename") || !GET.contains("fileContent")) {
        answerEmpty(response, 400, "Bad Request");
        return;
    }
    const QByteArray fileName = GET.value("filename");
    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=\"" + fileName + "\"");
    if (fileName.contains(".pdf")) {
        response.setHeader("Content-type", "application/pdf");
        response.write(m_env.systemFun->html2Pdf(QString::fromUtf8(GET.value("fileContent"))),
                       true);
        return;
    }
    if (fileName.contains(".csv")) {
        response.setHeader("Content-type", "text/csv");
    } else {
        const QByteArray contentType = request.getHeader("Content-type");
        if (!contentType.isEmpty())
            response.setHeader("Content-type", contentType);
    }
    // A token that is no cookie name ("sessionid=X") would set another cookie: none is set.
    if (HttpCookie::isValidName(GET.value("formToken")))
        response.setCookie(HttpCookie(GET.value("formToken"), "1", 0, "/"));
    response.write(GET.value("fileContent"), true);
}

void FileEndpoints::exportConfig(HttpResponse& response, const t_GetArray& GET)
{
    // The lock covers making the text or the copy, not sending it: a slow reader must not keep
    // every configuration call waiting.
    const bool database = RequestParams::toInt(GET, "withArchive") != 0;
    QByteArray text;
    QFile file;
    {
        TryLocker lock(m_env.dbMutex, dbLockMs);
        if (!lock) {
            answerEmpty(response, 500, "Internal error");
            return;
        }
        if (!database)
            text = m_env.configManager->exportConfig();
        else if (!snapshotDatabase(&file)) {
            answerEmpty(response, 500, "Internal error");
            return;
        }
    }
    response.setStatus(200, "OK");
    if (!database) {
        response.setHeader("Content-Disposition", "attachment; filename=Korvalen_cfg.sql");
        response.setHeader("Content-type", "application/octet-stream");
        response.write(text, true);
        return;
    }
    response.setHeader("Content-Disposition", "attachment; filename=db_backup.sqlite");
    response.setHeader("Content-type", "application/octet-stream");
    stream(file, response);
}

QString FileEndpoints::snapshotTemplate() const
{
    return QFileInfo(m_env.configManager->databasePath()).absolutePath() +
           QStringLiteral("/db_backup_XXXXXX.sqlite");
}

bool FileEndpoints::snapshotDatabase(QFile* file)
{
    // A consistent copy made by SQLite, not the raw file that other threads go on writing.
    // Nothing here opens the database file itself: closing any descriptor of it would drop
    // every lock SQLite holds on it, and another process could then delete its WAL.
    // Locked while it has a name, so that only a leftover is removed at start-up.
    QTemporaryFile snapshot(snapshotTemplate());
    QString error;
    if (!snapshot.open() || !LeftoverFiles::lock(snapshot.handle()) ||
        !Database::snapshot(snapshot.fileName(), &error)) {
        qDebug() << "Database snapshot failed:" << error;
        return false;
    }
    file->setFileName(snapshot.fileName());
    if (!file->open(QIODevice::ReadOnly))
        return false;
    // The open handle keeps the bytes: no copy is left behind, even when the program dies
    // during a slow download.
    snapshot.remove();
    return true;
}

void FileEndpoints::downloadCsv(HttpResponse& response)
{
    const ArchiveManager::CsvDownload download = m_env.archiveManager->openCsvFile();
    if (!download.file) {
        answerEmpty(response, 500, "Internal error");
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=data.csv");
    response.setHeader("Content-type", "application/octet-stream");
    // Released before the download ends: whoever has the whole file may ask for the next one.
    stream(*download.file, response,
           [&] { m_env.archiveManager->releaseCsvFile(download.generation); });
}

void FileEndpoints::importConfig(HttpRequest& request, HttpResponse& response,
                                 const t_GetArray& GET, qint16 privilege)
{
    QTemporaryFile* upload = acceptedUpload(request, response, privilege);
    if (!upload)
        return;
    const QString name = RequestParams::text(GET, "uploadedfile");
    QByteArray reply;
    if (!name.endsWith(QLatin1String(".sql")) && !name.endsWith(QLatin1String(".sqlite"))) {
        reply = Logs::errorJson(QStringLiteral("Invalid file"), QString());
    } else if (m_env.visualMode()) {
        // The polling run's buffers refer to the configuration it started with.
        reply = Logs::errorJson(QStringLiteral("App is in visual mode"), QString());
    } else {
        TryLocker lock(m_env.dbMutex, dbLockMs);
        if (!lock) {
            reply = Logs::errorJson(QStringLiteral("Database mutex locked"), QString());
        } else if (name.endsWith(QLatin1String(".sql"))) {
            upload->seek(0);
            reply = m_env.configManager->importConfig_j(upload);
        } else {
            reply = m_env.configManager->importDatabase_j(*upload);
        }
    }
    response.setStatus(200, "OK");
    response.write(reply, true);
}

void FileEndpoints::loadFile(HttpRequest& request, HttpResponse& response, qint16 privilege)
{
    QTemporaryFile* upload = acceptedUpload(request, response, privilege);
    if (!upload)
        return;
    response.setStatus(200, "OK");
    response.setHeader("Content-type", "text/plain");
    stream(*upload, response);
}
