#include "MimeMessage.h"

#include "EmailAddress.h"
#include "MimeEncoding.h"
#include "MimePart.h"

#include <QDateTime>
#include <QUuid>

MimeMessage::MimeMessage(bool createAutoMimeContent, QObject* parent) : QObject(parent)
{
    Q_UNUSED(createAutoMimeContent);
}

void MimeMessage::setSender(EmailAddress* sender)
{
    m_sender = sender;
}

EmailAddress* MimeMessage::senderAddress() const
{
    return m_sender;
}

void MimeMessage::addPart(MimePart* part)
{
    m_parts.append(part);
}

void MimeMessage::addRecipient(EmailAddress* recipient, RecipientType type)
{
    m_recipients.append(Recipient{recipient, type});
}

QList<EmailAddress*> MimeMessage::recipients(RecipientType type) const
{
    QList<EmailAddress*> out;
    for (const Recipient& r : m_recipients) {
        if (r.type == type && r.address)
            out.append(r.address);
    }
    return out;
}

QByteArray MimeMessage::addressList(const char* field, RecipientType type) const
{
    const QList<EmailAddress*> list = recipients(type);
    if (list.isEmpty())
        return QByteArray();
    const QByteArray prefix = QByteArray(field) + ": ";
    QByteArray out = prefix;
    for (int i = 0; i < list.size(); ++i) {
        if (i > 0)
            out += ",\r\n ";
        out += MimeEncoding::mailbox(list.at(i)->address(), list.at(i)->name(),
                                     i == 0 ? prefix.size() : 1);
    }
    return out + "\r\n";
}

QByteArray MimeMessage::toMime() const
{
    QByteArray out;
    out += "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    if (m_sender)
        out += "From: " + MimeEncoding::mailbox(m_sender->address(), m_sender->name(), 6) + "\r\n";
    out += addressList("To", To);
    out += addressList("Cc", Cc);
    out += "Subject: " + MimeEncoding::headerText(m_subject, 9) + "\r\n";

    QByteArray domain = "localhost";
    if (m_sender) {
        const QString address = m_sender->address();
        const QString host = address.mid(address.lastIndexOf(QLatin1Char('@')) + 1);
        if (EmailAddress::isValidAddress(address))
            domain = host.toLatin1();
    }
    out += "Message-ID: <" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + '@' + domain +
           ">\r\n";
    out += "MIME-Version: 1.0\r\n";

    QList<MimePart*> parts;
    for (const QPointer<MimePart>& p : m_parts) {
        if (p)
            parts.append(p);
    }
    if (parts.isEmpty())
        return out + "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    if (parts.size() == 1)
        return out + parts.first()->toMime();

    const QByteArray boundary = "=_" + QUuid::createUuid().toByteArray(QUuid::Id128);
    out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
    for (MimePart* part : parts)
        out += "--" + boundary + "\r\n" + part->toMime();
    out += "--" + boundary + "--\r\n";
    return out;
}
