#include "EmailManager.h"

#include "EmailAddress.h"
#include "Logs.h"
#include "MimeHtml.h"
#include "MimeMessage.h"
#include "SmtpClient.h"
#include "TryLocker.h"
#include "globals.h"
#include "polling/Poller.h"

#include <QThread>
#include <QTimer>
#include <QtDebug>

EmailManager::EmailManager() : ThreadWorker(nullptr) {}

EmailManager::~EmailManager() = default;

void EmailManager::startWorker(Poller& poller)
{
    if (g_emailManager)
        return;
    auto* worker = new EmailManager;
    g_emailManager = worker;
    poller.startThread(worker, false);
    QMetaObject::invokeMethod(worker, "initConfig", Qt::QueuedConnection);
}

void EmailManager::stopWorker()
{
    EmailManager* worker = g_emailManager.exchange(nullptr);
    if (!worker)
        return;
    // The thread object lives on this (the main) thread, so it is released no sooner than
    // this thread's event loop runs again; the worker releases itself when its thread ends.
    QThread* thread = worker->thread();
    worker->stop();
    if (!thread->wait(StopWaitMs))
        qDebug("!!!!!!!!!!!!!!!!!!!!!!! Quit worker emails timeout !!!!");
}

void EmailManager::stop()
{
    // finished() is emitted from the worker's thread, where the wiring of the thread releases
    // the worker before the thread ends.
    QMetaObject::invokeMethod(this, &EmailManager::finish, Qt::QueuedConnection);
}

void EmailManager::finish()
{
    delete queueTimer;
    queueTimer = nullptr;
    emit finished();
}

void EmailManager::process()
{
    queueTimer = new QTimer(this);
    connect(queueTimer, &QTimer::timeout, this, &EmailManager::checkQueue);
    queueTimer->start(CheckIntervalMs);
}

void EmailManager::initConfig()
{
    qDebug() << "initConfig(), thread = " << QThread::currentThread();
    config = g_smtpManager->getSMTPConfig();
    configOk = !config.serverName.isEmpty() && !config.sourceEmailAddress.isEmpty();
    if (smtpClient) {
        smtpClient->deleteLater();
        smtpClient = nullptr;
    }
    smtpClient = new SmtpClient(config.serverName, config.port,
                                static_cast<SmtpClient::ConnectionType>(config.security), this);
    smtpClient->setUser(config.username);
    smtpClient->setPassword(config.password);
}

void EmailManager::addMail2Queue(EmailManager::Mail2Send newMail)
{
    if (!configOk) {
        qDebug("emails config not ok !!!!");
        Logs::addLog(Logs::Warn, tr("SMTP not configured."));
        return;
    }
    qDebug("addMail2Queue");
    TryLocker lock(&queueMutex, AppendLockMs);
    if (lock && queue.size() < QueueLimit)
        queue.append(newMail);
}

void EmailManager::checkQueue()
{
    qDebug() << "Checking mail Q, len: " << queueSize();
    if (!smtpClient)
        return;
    // The index moves on after every call, also when the mail at it went: the one that moved
    // into its place waits for the next check.
    for (int i = 0; i < queueSize(); ++i)
        sendEmail(i);
}

int EmailManager::queueSize()
{
    TryLocker lock(&queueMutex, TakeLockMs);
    return lock ? queue.size() : 0;
}

QList<EmailManager::Mail2Send> EmailManager::queuedMails()
{
    TryLocker lock(&queueMutex, TakeLockMs);
    return lock ? queue : QList<Mail2Send>();
}

bool EmailManager::sendEmail(int mailIdx)
{
    if (!smtpClient)
        return false;
    Mail2Send mail;
    {
        TryLocker lock(&queueMutex, TakeLockMs);
        if (!lock || mailIdx < 0 || mailIdx >= queue.size())
            return false;
        mail = queue.at(mailIdx);
    }
    qDebug("sending email");

    MimeMessage message(true);
    EmailAddress sender(config.sourceEmailAddress, QStringLiteral("Korvalen"));
    message.setSender(&sender);
    for (const QString& recipient : qAsConst(mail.recipients))
        message.addRecipient(new EmailAddress(recipient, QString(), &message), MimeMessage::To);
    message.setSubject(mail.subject);
    MimeHtml html{QString()};
    html.setHtml(QStringLiteral("<!DOCTYPE html><html><head><meta http-equiv=\"Content-Type\" "
                                "content=\"text/html; charset=UTF-8\" /></head><body>") +
                 mail.body + QStringLiteral("</body></html>"));
    message.addPart(&html);

    QString reason;
    bool sent = false;
    if (!smtpClient->connectToHost()) {
        qDebug("Failed to connect to host!");
        reason = tr("Failed to connect to SMTP server.");
    } else if (!smtpClient->login()) {
        qDebug("Failed to login!");
        reason = tr("Failed to login.");
    } else if (smtpClient->sendMail(message)) {
        qDebug("mail send");
        sent = true;
    } else {
        qDebug("Failed to send mail!");
    }

    bool booked = false;
    bool dropped = false;
    {
        TryLocker lock(&queueMutex, BookLockMs);
        // Not booked without the lock: a sent mail goes again, a failure is not counted.
        if (lock && mailIdx < queue.size()) {
            booked = true;
            if (sent) {
                queue.removeAt(mailIdx);
            } else if (++queue[mailIdx].attempts > 2) {
                queue.removeAt(mailIdx);
                dropped = true;
            }
        }
    }
    if (booked && sent) {
        smtpClient->quit();
        Logs::addLog(Logs::Info, tr("Mail send"));
    } else if (dropped) {
        Logs::addLog(Logs::Warn,
                     tr("Unable to send mail.") + QStringLiteral(" (") + reason + QLatin1Char(')'));
    }
    smtpClient->disconnect();
    return sent;
}
