#pragma once

#include <QObject>

#include <atomic>

class ConnectionManager;

// The polling run. While it runs the program is in visual mode.
class Poller : public QObject
{
    Q_OBJECT
public:
    Poller(ConnectionManager* connections, QObject* parent);

    bool isRunning() const { return m_isRunning; }

public slots:
    void startPolling();
    void stopPolling();
    void visualTimerTimeout();

private:
    std::atomic<bool> m_isRunning{false};
};
