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

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {
constexpr int dbLockMs = 2000;
constexpr qint16 fullRights = 255;
} // namespace

FileEndpoints::FileEndpoints(Environment environment) : m_env(std::move(environment))
{
    // A copy as big as the database with its journal, left by a program killed while making it.
    LeftoverFiles::removeFromTemplate(snapshotTemplate(), LeftoverFiles::databaseCompanions());
    QDir().rmdir(snapshotDirectory());
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

QString FileEndpoints::snapshotDirectory() const
{
    // A directory of the program's own: users keep their backups beside the database under
    // names like the copy's ("db_backup_monday.sqlite"), and those are never taken for one.
    return QFileInfo(m_env.configManager->databasePath()).absolutePath() +
           QStringLiteral("/.korvalen-snapshot");
}

QString FileEndpoints::snapshotTemplate() const
{
    // "db_backup_" keeps the name among those that the web root never serves.
    return snapshotDirectory() + QStringLiteral("/db_backup_XXXXXX.sqlite");
}

bool FileEndpoints::snapshotDatabase(QFile* file)
{
    const bool copied = snapshotInto(file);
    QDir().rmdir(snapshotDirectory()); // only when empty: a leftover of another run stays
    return copied;
}

bool FileEndpoints::snapshotInto(QFile* file)
{
    // A consistent copy made by SQLite, not the raw file that other threads go on writing.
    // Nothing here opens the database file itself: closing any descriptor of it would drop
    // every lock SQLite holds on it, and another process could then delete its WAL.
    QTemporaryFile snapshot(snapshotTemplate());
    // Under the database lock no other download removes the directory; another program's
    // start may, just once.
    bool opened = false;
    for (int attempt = 0; attempt < 2 && !opened; ++attempt)
        opened = QDir().mkpath(snapshotDirectory()) && snapshot.open();
    // Locked while it has a name, so that only a leftover is removed at start-up.
    QString error;
    if (opened && LeftoverFiles::lock(snapshot.handle()) &&
        Database::snapshot(snapshot.fileName(), &error)) {
        file->setFileName(snapshot.fileName());
        // The open handle keeps the bytes: no copy is left behind, even when the program dies
        // during a slow download.
        if (file->open(QIODevice::ReadOnly)) {
            snapshot.remove();
            return true;
        }
        error = file->errorString();
    }
    qDebug() << "Database snapshot failed:" << error;
    // A journal that SQLite could not remove goes with the copy.
    if (opened) {
        const QString name = snapshot.fileName();
        snapshot.remove();
        for (const QString& suffix : LeftoverFiles::databaseCompanions())
            QFile::remove(name + suffix);
    }
    return false;
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
