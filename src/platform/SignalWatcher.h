#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so that a service manager or a
// terminal ends the program as Quit does.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

signals:
    void terminationRequested();

private:
    static void handleSignal(int signal);
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};
