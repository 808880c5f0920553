#pragma once

#include "SmtpGlobal.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class EmailAddress;
class MimePart;

// A message: sender, recipients, subject and body parts. The message does not own the sender,
// the recipients or the parts; the caller keeps them alive until the message is sent.
class SMTPEMAIL_EXPORT MimeMessage : public QObject
{
    Q_OBJECT
public:
    enum RecipientType : int
    {
        To = 0,
        Cc = 1,
        Bcc = 2
    };

    // The MIME structure always follows from the parts: one part is the message body itself,
    // several are sent as multipart/mixed.
    explicit MimeMessage(bool createAutoMimeContent = true, QObject* parent = nullptr);

    void setSender(EmailAddress* sender);
    void addRecipient(EmailAddress* recipient, RecipientType type = To);
    void setSubject(const QString& subject) { m_subject = subject; }
    void addPart(MimePart* part);

    EmailAddress* senderAddress() const;
    // Every recipient of the type, in the order added.
    QList<EmailAddress*> recipients(RecipientType type) const;
    QString subject() const { return m_subject; }

    // The whole message as the DATA command carries it (before dot-stuffing), CRLF line ends.
    QByteArray toMime() const;

private:
    struct Recipient
    {
        QPointer<EmailAddress> address;
        RecipientType type;
    };
    QByteArray addressList(const char* field, RecipientType type) const;

    QPointer<EmailAddress> m_sender;
    QList<Recipient> m_recipients;
    QString m_subject;
    QList<QPointer<MimePart>> m_parts;
};
