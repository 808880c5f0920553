#include "updates.h"

#include "BoundedReply.h"
#include "ConfigKeys.h"
#include "ScriptArray.h"
#include "TryLocker.h"
#include "UpdateInstaller.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

namespace {

const QByteArray parameterError = "{\"error\":\"Parameter error!\"}";
const QByteArray diskError = "{\"error\":\"Unable to write to disk!\"}";
const QByteArray replyError = "{\"error\":\"Reply error!\"}";
const QByteArray connectError = "{\"error\":\"Unable to connect with server!\"}";

constexpr int checkTimeoutMs = 10000;
// A service that stops sending ends the run instead of leaving it in progress for ever.
constexpr int transferTimeoutMs = 30000;
// A service that keeps sending slowly ends it too: each list or file has this long to arrive.
constexpr int transferDeadlineMs = 60000;
// Waits for the other thread's file work in the download area (a clear, a save or the copy).
constexpr int areaLockMs = 10000;
constexpr qint64 maxCheckReplyBytes = 1 << 20;
constexpr qint64 maxFileListBytes = 1 << 20;
constexpr qint64 maxFileBytes = qint64(32) << 20;
// Everything one run receives, lists and files together.
constexpr qint64 maxRunBytes = qint64(128) << 20;

// The file inside the download area that marks it as the updater's own: nothing else is ever
// emptied. Hidden, so the copy into the web root passes it over.
const char* const areaMarker = ".korvalen-download-area";
const char* const runProperty = "updateRun";

// Addresses pass through Latin-1 (other characters become "?") and tolerant parsing.
QUrl addressUrl(const QString& address)
{
    return QUrl(QString::fromLatin1(address.toLatin1()), QUrl::TolerantMode);
}

bool isRefused(QNetworkReply* reply)
{
    const BoundedReply* bounded = BoundedReply::of(reply);
    return !bounded || bounded->isRefused();
}

bool isSuccessStatus(const QNetworkReply* reply)
{
    const int code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return code >= 200 && code <= 299;
}

} // namespace

Updates::Updates(QSettings* settings, QObject* parent) : QObject(parent)
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString path =
        ConfigKeys::group(QStringLiteral("docroot")).text(settings, QStringLiteral("path"));
    rootDir = QFileInfo(QDir::isRelativePath(path) ? appDir + QLatin1Char('/') + path : path);
    // Inside the program's own directory, whatever the web root: beside a web root "." a sibling
    // "tmp" would lie outside it.
    tmpDir = QFileInfo(appDir + QStringLiteral("/tmp"));

    settings->endGroup();
    settings->beginGroup(QStringLiteral("updates"));
    updateServer =
        ConfigKeys::group(QStringLiteral("updates")).text(settings, QStringLiteral("updateServer"));

    settleInterruptedInstall();

    status = "{}";
    connect(&fileListManager, &QNetworkAccessManager::finished, this,
            &Updates::fileListDownloadFinished);
    connect(&fileManager, &QNetworkAccessManager::finished, this, &Updates::fileDownloadFinished);
}

void Updates::settleInterruptedInstall()
{
    const QString root = rootDir.absoluteFilePath();
    switch (UpdateInstaller::recover(root)) {
    case UpdateInstaller::Recovery::NothingToDo:
        break;
    case UpdateInstaller::Recovery::Completed:
        qInfo("An update of the web root that was interrupted has been completed");
        break;
    case UpdateInstaller::Recovery::RolledBack:
        qInfo("An update of the web root that was interrupted has been undone");
        break;
    case UpdateInstaller::Recovery::Failed:
        qWarning("An update of the web root that was interrupted could not be settled: %s left "
                 "as it is",
                 qPrintable(root));
        break;
    }
}

QByteArray Updates::check4Updates(t_GetArray& GET)
{
    if (!GET.contains("json"))
        return parameterError;

    // This connection thread's own manager; the reply goes with it.
    QNetworkAccessManager manager;
    QNetworkRequest request(addressUrl(updateServer));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    QNetworkReply* reply = manager.post(request, QByteArrayLiteral("json=") + GET.value("json"));
    auto* body = new BoundedReply(reply, maxCheckReplyBytes);

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(checkTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    if (!reply->isFinished()) {
        reply->abort();
        return connectError;
    }
    if (body->isRefused())
        return connectError;
    if (reply->error() != QNetworkReply::NoError) {
        qDebug("error no: %d", int(reply->error()));
        return connectError;
    }
    if (!isSuccessStatus(reply))
        return connectError;
    const QByteArray answer = body->takeBody();
    return body->isRefused() ? connectError : answer;
}

QByteArray Updates::startUpdating(t_GetArray& GET)
{
    if (!GET.contains("modulesList"))
        return parameterError;
    {
        QMutexLocker state(&m_stateMutex);
        inProgress = 0;
    }

    const ScriptArray array(QUrl::fromPercentEncoding(GET.value("modulesList")).toUtf8());
    if (!array.isArray() || array.count() == 0)
        return parameterError;
    QStringList modules;
    for (int i = 0; i < array.count(); ++i)
        modules.append(array.elementText(i));

    TryLocker area(&m_areaMutex, areaLockMs);
    quint64 run = 0;
    {
        // From here on the steps of an earlier run find themselves outdated and stop.
        QMutexLocker state(&m_stateMutex);
        run = ++m_run;
    }
    if (!area || !clearDownloadArea())
        return diskError;
    {
        QMutexLocker state(&m_stateMutex);
        inProgress = 1;
    }
    area.unlock();

    // Queued: the network managers and the download steps belong to the main thread.
    QMetaObject::invokeMethod(
        this, [this, run, modules] { beginRun(run, modules); }, Qt::QueuedConnection);
    return QByteArrayLiteral("{\"ok\":\"Update started\"}");
}

QByteArray Updates::getUpdateStatus()
{
    QMutexLocker state(&m_stateMutex);
    return inProgress ? QByteArrayLiteral("{\"ok\":\"In progress\"}") : status;
}

void Updates::beginRun(quint64 run, const QStringList& modules)
{
    {
        QMutexLocker state(&m_stateMutex);
        if (run != m_run)
            return;
    }
    m_activeRun = run;
    if (QNetworkReply* earlier = m_pending) {
        m_pending = nullptr;
        earlier->abort(); // its finished() finds it outdated
    }
    modulesList = modules;
    filesList.clear();
    m_runBytes = 0;
    downloadNextModule();
}

void Updates::downloadNextModule()
{
    if (!modulesList.isEmpty()) {
        QString address = updateServer;
        if (!address.endsWith(QLatin1Char('/')))
            address += QLatin1Char('/');
        address += QStringLiteral("fileList?moduleName=") + modulesList.first();
        get(fileListManager, addressUrl(address), maxFileListBytes);
        return;
    }

    // Every file of every module has arrived: only now does the web root change.
    TryLocker area(&m_areaMutex, areaLockMs);
    if (!isRunCurrent())
        return;
    if (!area ||
        !UpdateInstaller(tmpDir.absoluteFilePath(), rootDir.absoluteFilePath()).install()) {
        endRun(diskError);
        return;
    }
    clearDownloadArea();
    endRun(QByteArrayLiteral("{\"ok\":\"Completed correctly.\"}"));
}

void Updates::downloadNextFile()
{
    if (filesList.isEmpty()) {
        modulesList.removeFirst();
        downloadNextModule();
        return;
    }
    const QUrl address = addressUrl(filesList.first());
    if (localPath(address).isEmpty()) {
        endRun(replyError);
        return;
    }
    get(fileManager, address, maxFileBytes);
}

void Updates::get(QNetworkAccessManager& manager, const QUrl& address, qint64 maxBytes)
{
    QNetworkRequest request(address);
    request.setTransferTimeout(transferTimeoutMs);
    QNetworkReply* reply = manager.get(request);
    reply->setProperty(runProperty, m_activeRun);
    new BoundedReply(reply, qMin(maxBytes, maxRunBytes - m_runBytes), transferDeadlineMs);
    m_pending = reply;
}

QByteArray Updates::takeBody(QNetworkReply* reply)
{
    BoundedReply* bounded = BoundedReply::of(reply);
    const QByteArray body = bounded ? bounded->takeBody() : QByteArray();
    m_runBytes += body.size();
    return body;
}

bool Updates::takeReply(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply == m_pending)
        m_pending = nullptr;
    QMutexLocker state(&m_stateMutex);
    return reply->property(runProperty).toULongLong() == m_run;
}

void Updates::fileListDownloadFinished(QNetworkReply* reply)
{
    if (!takeReply(reply))
        return;
    // Too big or too slow: our refusal, not a network error of the service.
    if (isRefused(reply)) {
        endRun(replyError);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        endRun(QByteArrayLiteral("{\"error\":\"Reply error!\",\"errorNo\":") +
               QByteArray::number(int(reply->error())) + '}');
        return;
    }
    // The list is read as JSON: nothing the service sends is run.
    const ScriptArray list(takeBody(reply));
    if (!isSuccessStatus(reply) || isRefused(reply) || !list.isArray()) {
        endRun(replyError);
        return;
    }
    filesList.clear();
    for (int i = 0; i < list.count(); ++i)
        filesList.append(list.elementText(i));
    downloadNextFile();
}

void Updates::fileDownloadFinished(QNetworkReply* reply)
{
    if (!takeReply(reply))
        return;
    const QString path = localPath(reply->url());
    const QByteArray content = takeBody(reply);
    if (isRefused(reply) || reply->error() != QNetworkReply::NoError || !isSuccessStatus(reply) ||
        path.isEmpty()) {
        endRun(replyError);
        return;
    }
    if (!saveDownloadedFile(path, content))
        return;
    filesList.removeFirst();
    downloadNextFile();
}

bool Updates::saveDownloadedFile(const QString& relativePath, const QByteArray& content)
{
    TryLocker area(&m_areaMutex, areaLockMs);
    if (!isRunCurrent())
        return false;
    const QString fullPath = tmpDir.absoluteFilePath() +
                             (relativePath.startsWith(QLatin1Char('/')) ? QString()
                                                                        : QStringLiteral("/")) +
                             relativePath;
    QFile file(fullPath);
    if (!area || !makeDownloadArea() || !QDir().mkpath(QFileInfo(fullPath).absolutePath()) ||
        !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size()) {
        endRun(diskError);
        return false;
    }
    file.close();
    return true;
}

bool Updates::isRunCurrent()
{
    QMutexLocker state(&m_stateMutex);
    return m_activeRun == m_run;
}

void Updates::endRun(const QByteArray& runStatus)
{
    modulesList.clear();
    filesList.clear();
    QMutexLocker state(&m_stateMutex);
    if (m_activeRun != m_run)
        return;
    inProgress = 0;
    status = runStatus;
}

QString Updates::localPath(const QUrl& address)
{
    const QString scheme = address.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QString();
    const QStringList parts = address.toString().split(QLatin1Char('/'));
    int first = 0;
    while (first < parts.size() && parts.at(first) != QLatin1String("root") &&
           parts.at(first) != QLatin1String("modules"))
        ++first;
    if (first == parts.size())
        return QString();

    QString path;
    for (int i = first; i < parts.size(); ++i) {
        const QString& part = parts.at(i);
        const QString decoded = QUrl::fromPercentEncoding(part.toUtf8());
        for (const QString& text : {part, decoded})
            if (text == QLatin1String(".") || text == QLatin1String("..") ||
                text.contains(QLatin1Char('\\')) || text.contains(QChar(0)))
                return QString();
        // An encoded slash would make a name that reads as a path.
        if (decoded.contains(QLatin1Char('/')))
            return QString();
        path += QLatin1Char('/') + part;
    }
    return path;
}

bool Updates::clearDownloadArea()
{
    const QString area = tmpDir.absoluteFilePath();
    const QFileInfo info(area);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isDir() || !QFileInfo::exists(area + QLatin1Char('/') + QLatin1String(areaMarker)))
        return false;
    return removeDir(area);
}

bool Updates::makeDownloadArea()
{
    const QString area = tmpDir.absoluteFilePath();
    const QString marker = area + QLatin1Char('/') + QLatin1String(areaMarker);
    const QFileInfo info(area);
    if (info.exists() || info.isSymLink())
        return info.isDir() && !info.isSymLink() && QFileInfo::exists(marker);
    QFile markerFile(marker);
    return QDir().mkdir(area) && markerFile.open(QIODevice::WriteOnly);
}

bool Updates::removeDir(const QString& path)
{
    QDir dir(path);
    if (!dir.exists())
        return true;
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::DirsFirst);
    for (const QFileInfo& entry : entries) {
        // A link is removed, never followed.
        const bool removed = entry.isDir() && !entry.isSymLink()
                                 ? removeDir(entry.absoluteFilePath())
                                 : QFile::remove(entry.absoluteFilePath());
        if (!removed)
            return false;
    }
    return dir.rmdir(path);
}
