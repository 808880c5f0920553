#pragma once

#include "HttpRequestHandler.h"
#include "RequestParams.h"

#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QStringList>

#include <memory>
#include <optional>

class AlarmsManager;
class ApiDispatcher;
class ArchiveManager;
class ConfigManager;
class ConnectionManager;
class DeviceManager;
class FileEndpoints;
class HttpSessionStore;
class LoginThrottle;
class ModbusEngine;
class Poller;
class QSettings;
class QTimer;
class StaticFileController;
class SystemFun;
class Updates;

// The one request handler of the HTTP server and the owner of the web API's managers.
// service() runs on the listener's connection threads, several at once; it keeps no request
// state in members.
class MyHttpRequestHandler : public HttpRequestHandler
{
    Q_OBJECT
public:
    MyHttpRequestHandler(StaticFileController* staticFiles, HttpSessionStore* sessionStore,
                         QSettings* docrootSettings, QObject* parent);
    ~MyHttpRequestHandler() override;

    void service(HttpRequest& request, HttpResponse& response) override;
    // Before a body is read: refuses requests of other sites' pages, and with logins on keeps
    // callers who are not logged in from storing uploads or making the server hold large bodies.
    int checkHeader(const HttpRequest& request, HttpBodyPolicy* body) override;

    // The body a caller who is not logged in may send while logins are on: a login form fits.
    static constexpr qint64 anonymousBodyLimit = 64 * 1024;

    Poller* polling() const { return poller; }
    // Reverse proxies whose X-Forwarded-For names the client: the listener's list. Set before
    // the first request is served.
    void setTrustedProxies(const QList<QHostAddress>& proxies) { trustedProxies = proxies; }

signals:
    void restartAppAsAdmin();
    void startPolling();
    void stopPolling();

private slots:
    void checkFlags();

private:
    void registerWebApi();
    void route(HttpRequest& request, HttpResponse& response, t_GetArray& GET, qint16 privilege);
    // "ajax.html": the web API's reply, written as it is made.
    void answerApi(HttpResponse& response, t_GetArray& GET, qint16 privilege);
    qint16 login(const HttpRequest& request, const t_GetArray& GET);
    // The body of the 403 for a request that acts with the caller's rights, made by a page of a
    // name that is not this program's (a line naming the host) or by another site's page
    // (empty); none when it may go on.
    std::optional<QByteArray> refusal(const HttpRequest& request, const t_GetArray& GET) const;
    // Logs out every session of this user but the one of keepId.
    void endSessionsOf(const std::optional<QString>& user, const QByteArray& keepId = QByteArray());

    StaticFileController* staticFiles;
    HttpSessionStore* sessionStore;
    ModbusEngine* modbusEngine;
    QSettings* settings;
    Updates* updates;
    ConnectionManager* connectionManager;
    DeviceManager* deviceManager;
    ArchiveManager* archiveManager;
    AlarmsManager* alarmsManager;
    Poller* poller;
    ConfigManager* configManager;
    SystemFun* systemFun;
    QMutex dbMutex;
    QMutex modbusMutex;
    bool startRequested = false;
    bool stopRequested = false;
    QMutex flagsMutex;
    QTimer* flagsTimer;
    std::unique_ptr<ApiDispatcher> api;
    std::unique_ptr<FileEndpoints> files;
    std::unique_ptr<LoginThrottle> loginThrottle;
    // Names of this program besides IP addresses and "localhost" (see RequestOrigin::isOwnHost).
    QStringList hostNames;
    QList<QHostAddress> trustedProxies;
};
