#pragma once

#include "RequestParams.h"

#include <QObject>

#include <atomic>

// The SMTP account of the alarm mails (the single row of the table SMTP) and the test mail.
class SMTPManager : public QObject
{
    Q_OBJECT
public:
    struct SMTPConfig
    {
        QString serverName = QLatin1String("");
        int port = 587;
        short security = 1; // the client's connection type: 0 plain, 1 TLS, 2 STARTTLS
        QString username;
        QString password; // stored and handled in plain text
        QString sourceEmailAddress;
    };

    explicit SMTPManager(QObject* parent = nullptr);

    // The stored account; the defaults when the row cannot be read.
    SMTPConfig getSMTPConfig();

    // "cfg_getSMTPSetting": {"idSMTP":"1","serverName":..,"port":"587",..} (no brackets).
    QByteArray getSMTPSetting_j();
    // "cfg_saveSMTPSetting": serverName, port, security, username, password,
    // sourceEmailAddress; {"success":true} or "Edit error".
    QByteArray saveSMTPSetting_j(t_GetArray& GET);

public slots:
    // "sendTestEmail": the submitted account and testEmailAddress; {"success":true} or one of
    // "Last mail not finished.", "Failed to connect to host!", "Failed to login!",
    // "Failed to send mail!". Blocks the calling thread for the whole exchange.
    QByteArray sendTestMail(t_GetArray& GET);

private:
    // True while a test mail is being sent; taken and released as one atomic step each.
    std::atomic<bool> testMailBusy{false};
};
