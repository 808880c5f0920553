#include "creator.h"

#include "ConfigKeys.h"
#include "HttpListener.h"
#include "HttpSessionStore.h"
#include "Logs.h"
#include "OperatorLog.h"
#include "StaticFileController.h"
#include "globals.h"
#include "myhttprequesthandler.h"
#include "polling/ChannelReady.h"
#include "polling/Poller.h"
#include "traymenu.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>
#include <QtDebug>

#include <cstdio>
#include <cstdlib>

Creator::Creator(QString configPath, bool restarted, QObject* parent) : QObject(parent)
{
    // Told before anything reads the file; stored once the database is open.
    const QVector<ConfigKeys::Finding> configFindings = ConfigKeys::check(configPath);
    for (const ConfigKeys::Finding& finding : configFindings)
        OperatorLog::print(finding.type, finding.text);

    auto* sessionSettings = new QSettings(configPath, QSettings::IniFormat, this);
    sessionSettings->beginGroup(QStringLiteral("sessions"));
    auto* sessionStore = new HttpSessionStore(sessionSettings, this);

    auto* docrootSettings = new QSettings(configPath, QSettings::IniFormat, this);
    docrootSettings->beginGroup(QStringLiteral("docroot"));
    auto* staticFiles = new StaticFileController(docrootSettings, this);

    qDebug("ServiceHelper: Starting service");

    auto* listenerSettings = new QSettings(configPath, QSettings::IniFormat, this);
    listenerSettings->beginGroup(QStringLiteral("listener"));

    handler = new MyHttpRequestHandler(staticFiles, sessionStore, docrootSettings, this);
    for (const ConfigKeys::Finding& finding : configFindings)
        OperatorLog::store(finding.type, finding.text);
    listener = new HttpListener(listenerSettings, handler, this);
    // Before the event loop runs, so before any connection thread serves a request.
    handler->setTrustedProxies(listener->settings().trustedProxies);

    auto* traySettings = new QSettings(configPath, QSettings::IniFormat, this);
    trayMenu = new TrayMenu(QCoreApplication::instance(), traySettings);
    // A window without parent: deleted as the event loop ends, while the application stands.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        delete trayMenu;
        trayMenu = nullptr;
    });
    const bool desktop = TrayMenu::isTrayAvailable();
    if (!desktop)
        qInfo("No system tray: running headless");

    // Headless, a port or host that cannot be used has been told by the check of config.ini,
    // which names the key: it is no port in use.
    if (!listener->isListening()) {
        if (desktop) {
            trayMenu->showBindError();
        } else if (!listener->settingsRefused()) {
            // Nobody would see a balloon. The program goes on without a web server: the
            // archive keeps filling while the operator frees the port.
            const QString port = QString::number(listener->port());
            qCritical("Cannot bind on port: %s. Port already in use!", qPrintable(port));
            Logs::addLog(Logs::Error,
                         QCoreApplication::translate("TrayMenu", "Cannot bind on port: ") + port +
                             QCoreApplication::translate("TrayMenu", ". Port already in use!"));
        }
    } else if (!restarted && desktop) {
        trayMenu->slotLaunchBrowser();
        trayMenu->showListeningMessage();
    }

    connect(handler, &MyHttpRequestHandler::restartAppAsAdmin, this,
            &Creator::slotRestartAppAsAdmin);
    connect(trayMenu, &TrayMenu::exitApp, this, &Creator::slotExitApp);

    Logs::addLog(Logs::Info, tr("Program started"));
}

void Creator::slotExitApp()
{
    exitApp(0);
}

void Creator::exitApp(int code)
{
    // A running poll is stopped first, so that its queued archive rows are written.
    handler->polling()->stopPolling();
    delete listener;
    listener = nullptr;
    if (g_channelReady->claimedCount() != 0) {
        // A worker that the stop left behind still runs: tearing the program down would
        // destroy what it may still touch once its call returns.
        qWarning("A channel worker has not ended: the program ends without tearing down");
        std::fflush(nullptr);
        std::_Exit(code);
    }
    QCoreApplication::exit(code);
}

void Creator::slotRestartAppAsAdmin()
{
    delete listener;
    listener = nullptr;
    const QString dir = QCoreApplication::applicationDirPath();
    QProcess::startDetached(dir + QStringLiteral("/Vexo_admin.exe"), {QStringLiteral("-r")}, dir);
    // A process exit, not an event-loop exit: nothing else is torn down, so no worker thread
    // can meet a destroyed global on the way out.
    std::fflush(nullptr);
    std::_Exit(12);
}
