#include "MimePart.h"

#include "MimeEncoding.h"

MimePart::MimePart(QObject* parent) : QObject(parent) {}

QByteArray MimePart::toMime() const
{
    return "Content-Type: " + contentType() +
           "\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "\r\n" +
           MimeEncoding::base64Lines(content());
}
