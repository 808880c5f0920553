#include "myhttprequesthandler.h"

#include "Alarms.h"
#include "AlarmsManager.h"
#include "ApiDispatcher.h"
#include "ConfigKeys.h"
#include "ConfigManager.h"
#include "ConnectionManager.h"
#include "Database.h"
#include "DeviceManager.h"
#include "FileEndpoints.h"
#include "HttpCookie.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpSession.h"
#include "HttpSessionStore.h"
#include "LoginThrottle.h"
#include "Logs.h"
#include "ModbusEngine.h"
#include "ReplyWriter.h"
#include "RequestOrigin.h"
#include "SMTPManager.h"
#include "SettingsManager.h"
#include "StaticFileController.h"
#include "Stats.h"
#include "SystemFun.h"
#include "TryLocker.h"
#include "UpdateInstaller.h"
#include "UsersManager.h"
#include "globals.h"
#include "polling/ArchiveManager.h"
#include "polling/Poller.h"
#include "updates.h"

#include <QSettings>
#include <QSqlQuery>
#include <QTime>
#include <QTimer>
#include <QtDebug>

namespace {

t_GetArray parameters(const HttpRequest& request)
{
    // A name sent twice counts with its last value.
    const QMultiMap<QByteArray, QByteArray> all = request.getParameterMap();
    t_GetArray get;
    for (const QByteArray& key : all.uniqueKeys())
        get.insert(key, all.value(key));
    return get;
}

void writeText(HttpResponse& response, const QByteArray& body, bool lastPart)
{
    response.setStatus(200, "OK");
    response.setHeader("Content-Type", "text/html");
    response.write(body, lastPart);
}

HttpCookie userCookie(const QByteArray& name)
{
    return HttpCookie("user", name, 0, "/", QByteArray(), QByteArray(), false);
}

// What acts with the caller's rights: the web API, a login, the file endpoints. Another
// site's page must not reach them through the caller's browser (SameSite=Lax still sends the
// session cookie with a top-level GET, and without logins every caller has full rights).
bool needsSameOrigin(const QByteArray& path, const t_GetArray& GET)
{
    static const char* const acting[] = {"ajax.html",         "saveFile.html",
                                         "exportConfig.html", "downloadCSV.html",
                                         "importConfig.html", "loadFile.html"};
    for (const char* p : acting) {
        if (path.contains(p))
            return true;
    }
    return path.contains("login.html") && GET.contains("username") && GET.contains("password");
}

// The session of the request this connection thread serves (a thread serves one request at a
// time): the web functions called through the dispatch table cannot be handed it otherwise.
thread_local QByteArray callerSessionId;

class CallerSession
{
public:
    explicit CallerSession(const QByteArray& id) { callerSessionId = id; }
    ~CallerSession() { callerSessionId.clear(); }
    CallerSession(const CallerSession&) = delete;
    CallerSession& operator=(const CallerSession&) = delete;
};

} // namespace

MyHttpRequestHandler::MyHttpRequestHandler(StaticFileController* staticFiles,
                                           HttpSessionStore* sessionStore,
                                           QSettings* docrootSettings, QObject* parent)
    : HttpRequestHandler(parent), staticFiles(staticFiles), sessionStore(sessionStore),
      loginThrottle(std::make_unique<LoginThrottle>())
{
    modbusEngine = new ModbusEngine(this);
    configManager = new ConfigManager(this);
    if (configManager->databaseFileExists())
        configManager->openDatabase();
    else
        configManager->clearDatabase_j();
    QSqlQuery(Database::connection()).exec(QStringLiteral("PRAGMA foreign_keys = ON;"));

    connectionManager = new ConnectionManager(this);
    deviceManager = new DeviceManager(this);
    archiveManager = new ArchiveManager(this);
    alarmsManager = new AlarmsManager(this);

    g_settingsManager->updateSettingsVariables();

    poller = new Poller(connectionManager, this);

    // The program's own files lie beside it, and so inside a web root of "." (the default).
    // The installer's files are hidden too: staged and kept files and its journal.
    staticFiles->setHiddenNames(
        QStringList{QStringLiteral("db.sqlite*"), QStringLiteral("db_temp.sqlite*"),
                    QStringLiteral("db_backup_*"), QStringLiteral("config.ini")} +
        UpdateInstaller::ownNamePatterns());

    settings = docrootSettings;

    QSettings listener(settings->fileName(), QSettings::IniFormat);
    listener.beginGroup(QStringLiteral("listener"));
    const QStringList allowed = ConfigKeys::group(QStringLiteral("listener"))
                                    .value(&listener, ConfigKeys::allowedHostsKey())
                                    .toStringList();
    hostNames = RequestOrigin::localHostNames() + RequestOrigin::hostNames(allowed);

    updates = new Updates(settings, this);
    systemFun = new SystemFun(this);

    connect(this, &MyHttpRequestHandler::startPolling, poller, &Poller::startPolling);
    connect(this, &MyHttpRequestHandler::stopPolling, poller, &Poller::stopPolling);

    flagsTimer = new QTimer(this);
    connect(flagsTimer, &QTimer::timeout, this, &MyHttpRequestHandler::checkFlags);
    flagsTimer->start(1000);

    registerWebApi();

    if (g_settingsManager->m_defaultAppState == 1)
        emit startPolling();
}

MyHttpRequestHandler::~MyHttpRequestHandler() = default;

void MyHttpRequestHandler::registerWebApi()
{
    auto visualMode = [this] { return poller->isRunning(); };
    api = std::make_unique<ApiDispatcher>(
        ApiDispatcher::Environment{&dbMutex, &modbusMutex, &flagsMutex, visualMode,
                                   g_stats->mutex()});
    files = std::make_unique<FileEndpoints>(
        FileEndpoints::Environment{&dbMutex, configManager, archiveManager, systemFun, visualMode});

    using G = ApiDispatcher::Guard;
    using P = qint16;
    ApiDispatcher& a = *api;

    a.add("cfg_getConfiguredConnection", G::None,
          [this](t_GetArray&, P) { return connectionManager->getConfiguredConnection_j(); });
    a.add("cfg_addNewSerialConnection", G::None,
          [this](t_GetArray& g, P) { return connectionManager->addNewSerialConnection_j(g); });
    a.add("cfg_editSerialConnection", G::None,
          [this](t_GetArray& g, P) { return connectionManager->editSerialConnection_j(g); });
    a.add("cfg_removeSerialConnection", G::None,
          [this](t_GetArray& g, P) { return connectionManager->removeSerialConnection_j(g); });
    a.add("cfg_addNewTcpConnection", G::None,
          [this](t_GetArray& g, P) { return connectionManager->addNewTcpConnection_j(g); });
    a.add("cfg_editTcpConnection", G::None,
          [this](t_GetArray& g, P) { return connectionManager->editTcpConnection_j(g); });
    a.add("cfg_removeTcpConnection", G::None,
          [this](t_GetArray& g, P) { return connectionManager->removeTcpConnection_j(g); });
    a.add("cfg_getDevCfg", G::None,
          [this](t_GetArray&, P) { return deviceManager->getDevCfg_j(); });
    a.add("cfg_addNewDevice", G::None,
          [this](t_GetArray& g, P) { return deviceManager->addNewDevice_j(g); });
    a.add("cfg_editDevice", G::None,
          [this](t_GetArray& g, P) { return deviceManager->editDevice_j(g); });
    a.add("cfg_removeDevice", G::None,
          [this](t_GetArray& g, P) { return deviceManager->removeDevice_j(g); });
    a.add("cfg_getViewsCfg", G::None,
          [this](t_GetArray&, P) { return deviceManager->getViewsCfg_j(); });
    a.add("cfg_addNewView", G::None,
          [this](t_GetArray& g, P) { return deviceManager->addNewView_j(g); });
    a.add("cfg_editView", G::None,
          [this](t_GetArray& g, P) { return deviceManager->editView_j(g); });
    a.add("cfg_removeView", G::None,
          [this](t_GetArray& g, P) { return deviceManager->removeView_j(g); });
    a.add("cfg_viewNameExists", G::None,
          [this](t_GetArray& g, P) { return deviceManager->viewNameExists_j(g); });
    a.add("cfg_getAlarmsCfg", G::None,
          [this](t_GetArray&, P) { return alarmsManager->getAlarmsCfg_j(); });
    a.add("cfg_saveAlarmsCfg", G::None,
          [this](t_GetArray& g, P) { return alarmsManager->saveAlarmsCfg_j(g); });
    a.add("cfg_getSetting", G::None,
          [](t_GetArray&, P) { return g_settingsManager->getSetting_j(); });
    a.add("cfg_saveSetting", G::None,
          [](t_GetArray& g, P p) { return g_settingsManager->saveSetting_j(g, p); });
    a.add("cfg_getUsersCfg", G::None,
          [](t_GetArray&, P) { return g_usersManager->getUsersCfg_j(); });
    a.add("cfg_addNewUser", G::None,
          [](t_GetArray& g, P p) { return g_usersManager->addNewUser_j(g, p); });
    // A session keeps the rights of its login: a user who is changed or removed logs in again.
    a.add("cfg_editUser", G::None, [this](t_GetArray& g, P p) {
        std::optional<QString> user;
        const QByteArray reply = g_usersManager->editUser_j(g, p, &user);
        endSessionsOf(user);
        return reply;
    });
    a.add("cfg_setUserPass", G::None, [this](t_GetArray& g, P p) {
        std::optional<QString> user;
        const QByteArray reply = g_usersManager->setUserPass_j(g, p, &user);
        // Whoever sets its own password stays logged in where it did so.
        endSessionsOf(user, callerSessionId);
        return reply;
    });
    a.add("cfg_removeUser", G::None, [this](t_GetArray& g, P p) {
        std::optional<QString> user;
        const QByteArray reply = g_usersManager->removeUser_j(g, p, &user);
        endSessionsOf(user);
        return reply;
    });
    a.add("cfg_clearDatabase", G::FullRights,
          [this](t_GetArray&, P) { return configManager->clearDatabase_j(); });
    a.add("cfg_convertDatabase", G::None,
          [this](t_GetArray&, P) { return configManager->convertDatabase_j(); });

    a.add("getArchGeneralInfo", G::None,
          [this](t_GetArray&, P) { return archiveManager->getArchGeneralInfo_j(); });
    a.addStreamed("getArchGridData", G::None, [this](t_GetArray& g, P, ReplyWriter& out) {
        archiveManager->getGridData_j(g, out);
    });
    a.add("generateCSVFile", G::None,
          [this](t_GetArray& g, P) { return archiveManager->generateCSVFile_j(g); });
    a.addStreamed("getReportGridData", G::None, [this](t_GetArray& g, P, ReplyWriter& out) {
        archiveManager->getReportGridData_j(g, out);
    });
    a.add("deleteArchivedData", G::FullRights,
          [this](t_GetArray&, P) { return archiveManager->deleteArchivedData_j(); });

    a.add("getLogsGridData", G::None,
          [](t_GetArray& g, P) { return Logs::getLogsGridData_j(g, false); });
    a.add("deleteLogsEnries", G::FullRights,
          [](t_GetArray& g, P) { return Logs::getLogsGridData_j(g, true); });
    a.add("getGeneralInfo", G::None,
          [this](t_GetArray&, P p) { return systemFun->getGeneralInfo_j(p); });
    a.add("getAppState", G::None, [this](t_GetArray&, P) { return poller->getAppState_j(); });
    a.add("startPolling", G::Flags, [this](t_GetArray&, P) {
        const QByteArray reply = poller->startPolling_j();
        startRequested = true; // under flagsMutex, taken by the guard
        return reply;
    });
    a.add("stopPolling", G::Flags, [this](t_GetArray&, P) {
        const QByteArray reply = poller->stopPolling_j();
        stopRequested = true; // under flagsMutex, taken by the guard
        return reply;
    });
    a.add("getAllValues", G::None, [this](t_GetArray&, P) { return poller->getAllValues_j(); });
    a.add("getModbusStats", G::Stats, [](t_GetArray&, P) { return g_stats->getModbusStats_j(); });
    a.add("resetAllStats", G::Stats, [](t_GetArray&, P) {
        g_stats->resetAllStats();
        return QByteArray("{\"success\":true}");
    });
    a.add("pingDevice", G::Modbus,
          [this](t_GetArray& g, P) { return modbusEngine->pingDevice_j(g); });
    a.add("getPortSettings", G::Modbus, [](t_GetArray&, P) { return QByteArray(); });
    a.add("runAsAdministrator", G::None, [this](t_GetArray&, P) {
        // Queued: the restart tears the listener down, which must not happen on its own thread.
        QMetaObject::invokeMethod(this, &MyHttpRequestHandler::restartAppAsAdmin,
                                  Qt::QueuedConnection);
        return QByteArray();
    });
    a.add("check4Updates", G::None, [this](t_GetArray& g, P) { return updates->check4Updates(g); });
    a.add("startUpdating", G::None, [this](t_GetArray& g, P) { return updates->startUpdating(g); });
    a.add("getUpdateStatus", G::None, [this](t_GetArray&, P) { return updates->getUpdateStatus(); });

    // Alarms and mail.
    a.add("getAlarmsStates", G::None, [](t_GetArray&, P) { return g_alarms->getAlarmsStates_j(); });
    a.add("confirmAlarm", G::None, [](t_GetArray& g, P) { return g_alarms->confirmAlarm_j(g); });
    a.add("confirmAllAlarms", G::None,
          [](t_GetArray&, P) { return g_alarms->confirmAllAlarms_j(); });
    a.add("cfg_getSMTPSetting", G::None,
          [](t_GetArray&, P) { return g_smtpManager->getSMTPSetting_j(); });
    a.add("cfg_saveSMTPSetting", G::None,
          [](t_GetArray& g, P) { return g_smtpManager->saveSMTPSetting_j(g); });
    a.add("sendTestEmail", G::None, [](t_GetArray& g, P) { return g_smtpManager->sendTestMail(g); });
}

void MyHttpRequestHandler::endSessionsOf(const std::optional<QString>& user,
                                         const QByteArray& keepId)
{
    if (!user)
        return;
    // The name as the login check read it from the request.
    sessionStore->removeSessions([&](const HttpSession& session) {
        return session.getId() != keepId && session.contains("username") &&
               QString::fromUtf8(session.get("username").toByteArray()) == *user;
    });
}

void MyHttpRequestHandler::checkFlags()
{
    bool start = false;
    bool stop = false;
    {
        TryLocker lock(&flagsMutex, 1000);
        if (!lock)
            return;
        std::swap(start, startRequested);
        std::swap(stop, stopRequested);
    }
    // Emitted after the unlock: a start can take a while, and the web calls need the flags.
    if (start)
        emit startPolling();
    if (stop)
        emit stopPolling();
}

std::optional<QByteArray> MyHttpRequestHandler::refusal(const HttpRequest& request,
                                                        const t_GetArray& GET) const
{
    if (!needsSameOrigin(request.getPath(), GET))
        return std::nullopt;
    // Told first: whoever reaches the program by a new name (a proxy) must learn what to set.
    const QByteArray host = request.getHeader("host");
    if (!RequestOrigin::isOwnHost(host, hostNames))
        return RequestOrigin::hostRefusal(host, ConfigKeys::allowedHostsKey());
    if (RequestOrigin::isForeign(request))
        return QByteArray();
    return std::nullopt;
}

int MyHttpRequestHandler::checkHeader(const HttpRequest& request, HttpBodyPolicy* body)
{
    // Only the query is known here; a login's body is checked in service().
    if (const std::optional<QByteArray> text = refusal(request, parameters(request))) {
        body->refusalText = *text;
        return 403;
    }
    if (g_settingsManager->m_sessionEnabled &&
        !sessionStore->getSession(request.getCookie(sessionStore->cookieName()))
             .contains("username")) {
        body->uploadsAllowed = false;
        body->maxBodySize = anonymousBodyLimit;
    }
    return 0;
}

qint16 MyHttpRequestHandler::login(const HttpRequest& request, const t_GetArray& GET)
{
    // Behind a reverse proxy every caller has its address: the throttle counts the client.
    const QString address = RequestOrigin::client(request, trustedProxies).toString();
    if (!loginThrottle->begin(address))
        return 0;
    const qint16 privilege = g_usersManager->checkLogin(QString::fromUtf8(GET.value("username")),
                                                        QString::fromUtf8(GET.value("password")));
    if (privilege != 0) {
        loginThrottle->succeeded(address);
    } else if (loginThrottle->failed(address)) {
        Logs::addLog(Logs::Warn,
                     QStringLiteral("Logins from %1 refused for %2 minutes after %3 failed logins")
                         .arg(address)
                         .arg(LoginThrottle::windowMs / 60000)
                         .arg(LoginThrottle::maxFailures));
    }
    return privilege;
}

void MyHttpRequestHandler::service(HttpRequest& request, HttpResponse& response)
{
    t_GetArray GET = parameters(request);
    const QByteArray path = request.getPath();

    if (const std::optional<QByteArray> text = refusal(request, GET)) {
        qDebug("*** Request of another site refused ****");
        // As the server's own refusals are written, which a refused header check gets.
        response.setStatus(403, "Forbidden");
        response.setHeader("Content-Type", "text/plain; charset=UTF-8");
        response.write(HttpResponse::errorBody(403, *text), true);
        return;
    }

    if (!g_settingsManager->m_sessionEnabled) {
        if (path.contains("login.html")) {
            response.redirect("root/home.html");
            return;
        }
        route(request, response, GET, 255);
        return;
    }

    HttpSession session = sessionStore->getSession(request, response, true);
    session.setLastAccess();
    if (!session.contains("username")) {
        if (path.contains("login.html") && GET.contains("username") && GET.contains("password")) {
            const qint16 privilege = login(request, GET);
            if (privilege == 0) {
                qDebug("*** Invalid login data! ****");
                writeText(response, "{\"success\":false}", false);
                return;
            }
            qDebug("*** Creating session ****");
            // A new id: one planted before the login must not become logged in.
            session = sessionStore->renewSession(session, response);
            session.set("username", GET.value("username"));
            session.set("logintime", QTime::currentTime());
            session.set("priv", int(privilege));
            response.setCookie(userCookie(GET.value("username")));
            writeText(response, "{\"success\":true}", false);
            return;
        }
        if (path.contains("index.html")) {
            qDebug("*** Redirecting to login.html ****");
            response.redirect("login.html");
            return;
        }
        if (path.contains("ajax.html")) {
            qDebug("*** ajax.html not loged in ****");
            writeText(response, Logs::errorJson(QStringLiteral("User not logged in"), QString()),
                      false);
            return;
        }
        if (path.contains(".html") && !path.contains("login.html")) {
            response.redirect("/login.html");
            return;
        }
        // Only files of the web root: a path such as "/login.html/exportConfig.html" names an
        // endpoint too, and must not reach it without a login.
        staticFiles->service(request, response, true);
        return;
    }

    const CallerSession caller(session.getId());
    const qint16 privilege = static_cast<qint16>(session.get("priv").toInt());
    if (request.getCookie("user").isEmpty()) {
        qDebug("restoring username cookie");
        response.setCookie(userCookie(session.get("username").toByteArray()));
    }
    if (path.contains("login.html")) {
        if (GET.contains("logout")) {
            sessionStore->removeSession(session);
            response.redirect("login.html");
        } else {
            qDebug("*** Redirecting to home.html ****");
            response.redirect("root/home.html");
        }
        return;
    }
    route(request, response, GET, privilege);
}

void MyHttpRequestHandler::route(HttpRequest& request, HttpResponse& response, t_GetArray& GET,
                                 qint16 privilege)
{
    const QByteArray path = request.getPath();
    if (path.contains("ajax.html"))
        answerApi(response, GET, privilege);
    else if (path.contains("saveFile.html"))
        files->saveFile(request, response, GET);
    else if (path.contains("exportConfig.html"))
        files->exportConfig(response, GET);
    else if (path.contains("downloadCSV.html"))
        files->downloadCsv(response);
    else if (path.contains("importConfig.html"))
        files->importConfig(request, response, GET, privilege);
    else if (path.contains("loadFile.html"))
        files->loadFile(request, response, privilege);
    else // with logins on, a page the browser kept would outlive a logout
        staticFiles->service(request, response, g_settingsManager->m_sessionEnabled);
}

void MyHttpRequestHandler::answerApi(HttpResponse& response, t_GetArray& GET, qint16 privilege)
{
    response.setStatus(200, "OK");
    response.setHeader("Content-Type", "text/html");
    // A small reply goes out whole with its length; a large one in parts as it is made.
    ReplyWriter out(
        [&response](const QByteArray& part, bool lastPart, const QDeadlineTimer& deadline) {
            response.setDeadline(deadline);
            response.write(part, lastPart);
            return response.isConnected();
        },
        [&response] { response.abort(); });
    api->dispatch(GET, privilege, out);
    out.finish();
}
