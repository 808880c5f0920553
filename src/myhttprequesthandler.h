#pragma once

#include "HttpRequestHandler.h"

#include <QMutex>

class ConfigManager;
class HttpSessionStore;
class Poller;
class QSettings;
class QTimer;
class StaticFileController;

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

    Poller* polling() const { return poller; }

signals:
    void restartAppAsAdmin();
    void startPolling();
    void stopPolling();

private slots:
    void checkFlags();

private:
    StaticFileController* staticFiles;
    HttpSessionStore* sessionStore;
    QSettings* settings;
    Poller* poller;
    ConfigManager* configManager;
    QMutex dbMutex;
    QMutex modbusMutex;
    bool startRequested = false;
    bool stopRequested = false;
    QMutex flagsMutex;
    QTimer* flagsTimer;
};
