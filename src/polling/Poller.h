#pragma once

#include "ChannelReady.h"

#include <QList>
#include <QObject>
#include <QSqlDatabase>

#include <atomic>
#include <memory>

class ChannelWorker;
class ConnectionManager;
class QThread;
class QTimer;
class ReadBuffer;
class ReadIterations;
class ThreadWorker;

// The polling run (visual mode): starts one channel worker per connection that has read
// iterations, sends them a cycle on every poll tick and stops them. Its slots run on the main
// thread; the web handlers (_j) run on HTTP threads.
class Poller : public QObject
{
    Q_OBJECT
public:
    Poller(ConnectionManager* connections, QObject* parent);
    ~Poller() override;

    bool isRunning() const { return m_isRunning; }

    // "getAppState": {"state":"running"} or {"state":"idle"}
    QByteArray getAppState_j() const;
    // "startPolling" / "stopPolling": the request is flagged by the caller; {"success":true}
    QByteArray startPolling_j() const;
    QByteArray stopPolling_j() const;
    // "getAllValues": the live values, or an error while idle or when the buffer is busy.
    QByteArray getAllValues_j() const;

    // Starts the worker in a thread of its own, which ends when the worker emits finished().
    QThread* startThread(ThreadWorker* worker, bool addToList);

    int maxTimeout() const { return m_maxTimeout; }
    // The run's live-value buffer; null while idle.
    std::shared_ptr<ReadBuffer> buffer() const;

public slots:
    void startPolling();
    void stopPolling();
    void visualTimerTimeout();

private:
    // What the run keeps of a started worker. The worker and thread pointers are used only
    // while the worker surely lives: the worker's before its stop is queued, the thread's until
    // the stop has waited for it.
    struct Channel
    {
        ChannelWorker* worker;
        QThread* thread;
        QString name;
        int timeout;
        ChannelReady::Flag ready;
        std::shared_ptr<std::atomic<bool>> stop;
        std::shared_ptr<ReadIterations> plan;
    };
    bool startChannels(const QString& type, const QString& connectionsSql, const QString& planSql,
                       const QString& devicesSql);
    void stopChannels(qint64 ts);

    // Visual mode: from the end of a successful start to the end of the stop, when the run's
    // archive rows are written.
    std::atomic<bool> m_isRunning{false};
    QList<Channel> m_channWorkersList;
    QSqlDatabase m_db;
    QTimer* m_visualTimer = nullptr;
    // Shared with the workers and the web handlers, so that none of them meets a released
    // buffer: it goes when the last of them lets it go.
    std::shared_ptr<ReadBuffer> m_pReadBuffer;
    int m_maxTimeout = 5000;
    // Numbers the runs, so that a run's workers may share a device and a later run's may not
    // read beside them.
    quint64 m_run = 0;
};
