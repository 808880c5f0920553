#include "creator.h"

#include "HttpListener.h"
#include "HttpSessionStore.h"
#include "Logs.h"
#include "StaticFileController.h"
#include "myhttprequesthandler.h"
#include "polling/Poller.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>
#include <QtDebug>

#include <cstdio>
#include <cstdlib>

Creator::Creator(QString configPath, bool restarted, QObject* parent) : QObject(parent)
{
    Q_UNUSED(restarted); // only the tray's browser launch and balloon depend on it

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
    listener = new HttpListener(listenerSettings, handler, this);

    if (!listener->isListening())
        qWarning("The web server is not running: port %s cannot be bound",
                 qPrintable(listenerSettings->value(QStringLiteral("port")).toString()));

    connect(handler, &MyHttpRequestHandler::restartAppAsAdmin, this,
            &Creator::slotRestartAppAsAdmin);

    Logs::addLog(Logs::Info, tr("Program started"));
}

void Creator::slotExitApp()
{
    // A running poll is stopped first, so that its queued archive rows are written.
    handler->polling()->stopPolling();
    delete listener;
    listener = nullptr;
    QCoreApplication::exit(0);
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
