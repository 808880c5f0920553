#pragma once

#include "RequestParams.h"

#include <QFileInfo>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QObject>
#include <QStringList>

class QNetworkReply;
class QSettings;
class QUrl;

// Brings the web root's files up to date from the update service: forwards the browser's update
// check, downloads the named modules' files into a download area of its own and, when every file
// has arrived, moves them into the web root.
//
// The web functions run on connection threads; the object, its network managers and the
// download steps belong to the main thread. The run state is shared under m_stateMutex; the
// download area is touched only under m_areaMutex. Transfers are bounded in size and time.
class Updates : public QObject
{
    Q_OBJECT
public:
    Updates(QSettings* settings, QObject* parent);

    // "check4Updates": key "json"; the service's reply or {"error":"..."}.
    QByteArray check4Updates(t_GetArray& GET);
    // "startUpdating": key "modulesList"; {"ok":"Update started"} or {"error":"..."}.
    QByteArray startUpdating(t_GetArray& GET);
    // "getUpdateStatus": {"ok":"In progress"} during a run, else the last run's end.
    QByteArray getUpdateStatus();

    // The path below the download area of a downloaded file, from its address: the part from
    // the first "root" or "modules" segment on. Empty when the address is not http(s), has no
    // such segment, or holds one that could leave the area ("." or "..", a backslash, a NUL or
    // a slash, also percent-encoded).
    static QString localPath(const QUrl& address);

public slots:
    void fileListDownloadFinished(QNetworkReply* reply);
    void fileDownloadFinished(QNetworkReply* reply);

private:
    // Before anything is served: the web root holds every old file or every new one.
    void settleInterruptedInstall();
    void beginRun(quint64 run, const QStringList& modules);
    void downloadNextModule();
    void downloadNextFile();
    bool saveDownloadedFile(const QString& relativePath, const QByteArray& content);
    void get(QNetworkAccessManager& manager, const QUrl& address, qint64 maxBytes);
    // The reply's body within its bounds, counted against the run's.
    QByteArray takeBody(QNetworkReply* reply);
    // Releases the reply; true when it belongs to the current run.
    bool takeReply(QNetworkReply* reply);
    bool isRunCurrent();
    void endRun(const QByteArray& runStatus);

    bool clearDownloadArea();
    bool makeDownloadArea();
    static bool removeDir(const QString& path);

    QString updateServer;
    QNetworkAccessManager fileListManager;
    QNetworkAccessManager fileManager;
    QFileInfo rootDir;
    QFileInfo tmpDir;
    // Main thread only.
    QStringList modulesList;
    QStringList filesList;
    QNetworkReply* m_pending = nullptr;
    quint64 m_activeRun = 0; // the run whose steps this thread is taking
    qint64 m_runBytes = 0;   // received by the current run

    QMutex m_stateMutex;
    int inProgress = 0;
    QByteArray status;
    quint64 m_run = 0; // the current run; replies of earlier runs are dropped

    QMutex m_areaMutex;
};
