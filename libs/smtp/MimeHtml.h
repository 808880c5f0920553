#pragma once

#include "MimeText.h"

// An HTML part in UTF-8.
class SMTPEMAIL_EXPORT MimeHtml : public MimeText
{
    Q_OBJECT
public:
    explicit MimeHtml(const QString& html = QString(), QObject* parent = nullptr);

    void setHtml(const QString& html) { setText(html); }
    QString html() const { return text(); }

protected:
    QByteArray contentType() const override;
};
