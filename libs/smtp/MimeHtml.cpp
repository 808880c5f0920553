#include "MimeHtml.h"

MimeHtml::MimeHtml(const QString& html, QObject* parent) : MimeText(html, parent) {}

QByteArray MimeHtml::contentType() const
{
    return QByteArrayLiteral("text/html; charset=utf-8");
}
