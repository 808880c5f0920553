#pragma once

#include "SmtpGlobal.h"

#include <QObject>
#include <QString>

// One mailbox: the address and an optional display name.
class SMTPEMAIL_EXPORT EmailAddress : public QObject
{
    Q_OBJECT
public:
    explicit EmailAddress(const QString& address = QString(), const QString& name = QString(),
                          QObject* parent = nullptr);

    QString address() const { return m_address; }
    QString name() const { return m_name; }

    // Whether the address can go into an SMTP command as it is: printable ASCII without
    // blanks, brackets, quotes or separators, with a local part and a domain. Anything else
    // could end the command line early or add one.
    static bool isValidAddress(const QString& address);

private:
    QString m_address;
    QString m_name;
};
