#pragma once

#include "RequestParams.h"

#include <functional>

class ArchiveManager;
class ConfigManager;
class HttpRequest;
class HttpResponse;
class QFile;
class QIODevice;
class QMutex;
class QTemporaryFile;
class SystemFun;

// The file endpoints of the web server: downloads of posted content, of the configuration and
// the database, of the CSV file, and the two uploads.
class FileEndpoints
{
public:
    struct Environment
    {
        QMutex* dbMutex = nullptr;
        ConfigManager* configManager = nullptr;
        ArchiveManager* archiveManager = nullptr;
        SystemFun* systemFun = nullptr;
        std::function<bool()> visualMode;
    };

    // Removes the database copies, with their journals, that an earlier run left behind.
    explicit FileEndpoints(Environment environment);

    // "saveFile.html": filename, fileContent, formToken; PDF for ".pdf" names.
    void saveFile(HttpRequest& request, HttpResponse& response, const t_GetArray& GET);
    // "exportConfig.html": withArchive 0 for the configuration as SQL, else the database file.
    void exportConfig(HttpResponse& response, const t_GetArray& GET);
    // "downloadCSV.html": the file made by "generateCSVFile", released afterwards.
    void downloadCsv(HttpResponse& response);
    // "importConfig.html": the upload "uploadedfile", a ".sql" or ".sqlite" file.
    void importConfig(HttpRequest& request, HttpResponse& response, const t_GetArray& GET,
                      qint16 privilege);
    // "loadFile.html": the upload "uploadedfile" sent back as plain text.
    void loadFile(HttpRequest& request, HttpResponse& response, qint16 privilege);

    static constexpr qint64 ChunkSize = 524288;

private:
    // The upload of the field "uploadedfile" of a caller with full rights; otherwise the
    // refusal or the 400 is answered and null returned.
    static QTemporaryFile* acceptedUpload(HttpRequest& request, HttpResponse& response,
                                          qint16 privilege);
    static void answerEmpty(HttpResponse& response, int status, const char* description);
    // Sends the file from its start; beforeLastPart runs when every byte went out but the end.
    static void stream(QIODevice& file, HttpResponse& response,
                       const std::function<void()>& beforeLastPart = {});
    QString snapshotDirectory() const;
    QString snapshotTemplate() const;
    // A private copy of the database, opened for reading in *file, its name already removed.
    bool snapshotDatabase(QFile* file);
    bool snapshotInto(QFile* file);

    Environment m_env;
};
