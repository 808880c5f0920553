#pragma once

#include "SMTPManager.h"
#include "polling/ThreadWorker.h"

#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QStringList>

#include <atomic>

class Poller;
class QTimer;
class SmtpClient;

// Sends the alarm mails of one polling run from a thread of its own: mails arrive by queued
// call into a bounded queue, which is tried every 10 s; a mail is given up at its third failed
// attempt.
class EmailManager : public ThreadWorker
{
    Q_OBJECT
public:
    // One notification mail, copied between threads.
    struct Mail2Send
    {
        QStringList recipients;
        QString subject;
        QString body; // an HTML fragment, put inside the page's body
        short attempts = 0;
    };

    static constexpr int QueueLimit = 100;
    static constexpr int CheckIntervalMs = 10000;
    static constexpr int AppendLockMs = 5000;
    static constexpr int TakeLockMs = 500;
    static constexpr int BookLockMs = 2000;
    static constexpr int StopWaitMs = 5000;

    EmailManager();
    ~EmailManager() override;

    // The worker of a polling run, kept in g_emailManager: started by the run's start when
    // none runs, stopped by its stop (which waits at most StopWaitMs for its thread).
    static void startWorker(Poller& poller);
    static void stopWorker();

    // Ends the worker on its own thread, after whatever it is doing: the timer is released and
    // finished() ends the thread. Queued mails are not sent. Callable from any thread.
    void stop() override;

    // A copy of the queue.
    QList<Mail2Send> queuedMails();

public slots:
    void initConfig();
    void process() override;
    bool sendEmail(int mailIdx);
    void checkQueue();
    void addMail2Queue(EmailManager::Mail2Send newMail);

private:
    void finish();
    int queueSize();

    bool configOk = false;
    SMTPManager::SMTPConfig config;
    QList<Mail2Send> queue;
    QMutex queueMutex;
    QTimer* queueTimer = nullptr;
    SmtpClient* smtpClient = nullptr;
};

Q_DECLARE_METATYPE(EmailManager::Mail2Send)
