#include "MimeText.h"

#include "MimeEncoding.h"

MimeText::MimeText(const QString& text, QObject* parent) : MimePart(parent), m_text(text) {}

QByteArray MimeText::contentType() const
{
    return QByteArrayLiteral("text/plain; charset=utf-8");
}

QByteArray MimeText::content() const
{
    return MimeEncoding::canonicalLineEnds(m_text.toUtf8());
}
