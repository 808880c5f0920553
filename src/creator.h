#pragma once

#include <QObject>

class HttpListener;
class MyHttpRequestHandler;

// Builds the HTTP server, the request handler and (where a desktop exists) the tray, and ends
// the program: quit with code 0, restart through the launcher with code 12.
class Creator : public QObject
{
    Q_OBJECT
public:
    Creator(QString configPath, bool restarted, QObject* parent);

public slots:
    void slotRestartAppAsAdmin();
    void slotExitApp();

private:
    MyHttpRequestHandler* handler = nullptr;
    HttpListener* listener = nullptr;
};
