#pragma once

#include "SmtpGlobal.h"

#include <QByteArray>
#include <QObject>

// One body part of a message: its content type and content, sent base64-encoded so that any
// text travels through any server unchanged.
class SMTPEMAIL_EXPORT MimePart : public QObject
{
    Q_OBJECT
public:
    explicit MimePart(QObject* parent = nullptr);

    // The part's header lines, an empty line and its encoded content, CRLF line ends.
    QByteArray toMime() const;

protected:
    // For example "text/plain; charset=utf-8".
    virtual QByteArray contentType() const = 0;
    // The content as it is to arrive.
    virtual QByteArray content() const = 0;
};
