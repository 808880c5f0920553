#include "SMTPManager.h"

#include "Database.h"
#include "EmailAddress.h"
#include "JsonText.h"
#include "Logs.h"
#include "MimeMessage.h"
#include "MimeText.h"
#include "SmtpClient.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

SMTPManager::SMTPManager(QObject* parent) : QObject(parent) {}

SMTPManager::SMTPConfig SMTPManager::getSMTPConfig()
{
    SMTPConfig config;
    QSqlQuery q(Database::connection());
    if (q.exec(QStringLiteral("SELECT * FROM SMTP;")) && q.next()) {
        config.serverName = q.value(1).toString();
        config.port = q.value(2).toInt();
        config.security = static_cast<short>(q.value(3).toInt());
        config.username = q.value(4).toString();
        config.password = q.value(5).toString();
        config.sourceEmailAddress = q.value(6).toString();
    }
    return config;
}

QByteArray SMTPManager::getSMTPSetting_j()
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("SELECT * FROM SMTP;")))
        return Logs::errorJson(QStringLiteral("Query error"), q.lastError().text());
    return JsonText::rowObjects(q).toUtf8();
}

QByteArray SMTPManager::saveSMTPSetting_j(t_GetArray& GET)
{
    QSqlQuery q(Database::connection());
    if (!Database::exec(q,
                        QStringLiteral("UPDATE SMTP SET serverName=?, port=?, security=?, "
                                       "username=?, password=?, sourceEmailAddress=? "
                                       "WHERE idSMTP=1"),
                        {RequestParams::text(GET, "serverName"), RequestParams::toInt(GET, "port"),
                         RequestParams::toInt(GET, "security"),
                         RequestParams::text(GET, "username"), RequestParams::text(GET, "password"),
                         RequestParams::text(GET, "sourceEmailAddress")}))
        return Logs::errorJson(QStringLiteral("Edit error"), q.lastError().text());
    return QByteArrayLiteral("{\"success\":true}");
}

QByteArray SMTPManager::sendTestMail(t_GetArray& GET)
{
    bool idle = false;
    if (!testMailBusy.compare_exchange_strong(idle, true))
        return Logs::errorJson(QStringLiteral("Last mail not finished."), QString());
    struct Release
    {
        std::atomic<bool>& busy;
        ~Release() { busy = false; }
    } release{testMailBusy};

    SmtpClient client(
        RequestParams::text(GET, "serverName"), RequestParams::toInt(GET, "port"),
        static_cast<SmtpClient::ConnectionType>(RequestParams::toInt16(GET, "security")));
    client.setUser(RequestParams::text(GET, "username"));
    client.setPassword(RequestParams::text(GET, "password"));

    MimeMessage message(true);
    EmailAddress sender(RequestParams::text(GET, "sourceEmailAddress"), QStringLiteral("Korvalen"));
    message.setSender(&sender);
    EmailAddress recipient(RequestParams::text(GET, "testEmailAddress"), QString());
    message.addRecipient(&recipient, MimeMessage::To);
    message.setSubject(tr("Test message from Korvalen"));
    MimeText text{QString()};
    text.setText(tr("This is a test message send from Korvalen.\n"));
    message.addPart(&text);

    if (!client.connectToHost()) {
        qDebug("Failed to connect to host!");
        return Logs::errorJson(QStringLiteral("Failed to connect to host!"), QString());
    }
    if (!client.login()) {
        qDebug("Failed to login!");
        return Logs::errorJson(QStringLiteral("Failed to login!"), QString());
    }
    if (!client.sendMail(message)) {
        qDebug("Failed to send mail!");
        return Logs::errorJson(QStringLiteral("Failed to send mail!"), QString());
    }
    client.quit();
    return QByteArrayLiteral("{\"success\":true}");
}
