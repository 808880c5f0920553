#pragma once

#include "MimePart.h"

#include <QString>

// A plain-text part in UTF-8.
class SMTPEMAIL_EXPORT MimeText : public MimePart
{
    Q_OBJECT
public:
    explicit MimeText(const QString& text = QString(), QObject* parent = nullptr);

    void setText(const QString& text) { m_text = text; }
    QString text() const { return m_text; }

protected:
    QByteArray contentType() const override;
    // Text parts travel with CRLF line ends (RFC 2045), whatever the text uses.
    QByteArray content() const override;

private:
    QString m_text;
};
