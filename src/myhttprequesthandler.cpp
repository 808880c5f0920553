#include "myhttprequesthandler.h"

#include "ConfigManager.h"
#include "Database.h"
#include "SettingsManager.h"
#include "StaticFileController.h"
#include "TryLocker.h"
#include "globals.h"
#include "polling/Poller.h"

#include <QSettings>
#include <QSqlQuery>
#include <QTimer>

MyHttpRequestHandler::MyHttpRequestHandler(StaticFileController* staticFiles,
                                           HttpSessionStore* sessionStore,
                                           QSettings* docrootSettings, QObject* parent)
    : HttpRequestHandler(parent), staticFiles(staticFiles), sessionStore(sessionStore)
{
    configManager = new ConfigManager(this);
    if (configManager->databaseFileExists())
        configManager->openDatabase();
    else
        configManager->clearDatabase_j();
    QSqlQuery(Database::connection()).exec(QStringLiteral("PRAGMA foreign_keys = ON;"));

    g_settingsManager->updateSettingsVariables();

    poller = new Poller(nullptr, this);

    settings = docrootSettings;
    settings->value(QStringLiteral("path"), QStringLiteral(".")).toString();

    connect(this, &MyHttpRequestHandler::startPolling, poller, &Poller::startPolling);
    connect(this, &MyHttpRequestHandler::stopPolling, poller, &Poller::stopPolling);

    flagsTimer = new QTimer(this);
    connect(flagsTimer, &QTimer::timeout, this, &MyHttpRequestHandler::checkFlags);
    flagsTimer->start(1000);

    if (g_settingsManager->m_defaultAppState == 1)
        emit startPolling();
}

MyHttpRequestHandler::~MyHttpRequestHandler() = default;

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

void MyHttpRequestHandler::service(HttpRequest& request, HttpResponse& response)
{
    staticFiles->service(request, response);
}
