#include "HttpRequest.h"

#include <QTemporaryFile>

HttpRequest::~HttpRequest()
{
    qDeleteAll(m_uploadedFiles);
}

QByteArray HttpRequest::getHeader(const QByteArray& name) const
{
    return m_headers.value(name.toLower());
}

QTemporaryFile* HttpRequest::getUploadedFile(const QByteArray& fieldName) const
{
    return m_uploadedFiles.value(fieldName, nullptr);
}
