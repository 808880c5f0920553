#pragma once

#include <QObject>

class HttpListener;
class MyHttpRequestHandler;
class TrayMenu;

// Builds the HTTP server, the request handler and the tray, and ends the program: quit with
// code 0, restart through the launcher with code 12. Without a system tray the program runs
// headless. A port that cannot be bound leaves it running without a web server.
class Creator : public QObject
{
    Q_OBJECT
public:
    Creator(QString configPath, bool restarted, QObject* parent);

public slots:
    void slotRestartAppAsAdmin();
    void slotExitApp();

private:
    void exitApp(int code);

    MyHttpRequestHandler* handler = nullptr;
    HttpListener* listener = nullptr;
    TrayMenu* trayMenu = nullptr;
};
