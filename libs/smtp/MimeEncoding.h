#pragma once

#include <QByteArray>
#include <QString>

// Encodings of the message text (RFC 2045, 2047, 5321, 5322). Every line ends in CRLF and no
// line of the output is longer than 76 characters, except raw header texts.
namespace MimeEncoding {

// CR, LF and CRLF line ends all made CRLF.
QByteArray canonicalLineEnds(const QByteArray& text);

// Base64 in lines of 76 characters, each ended by CRLF.
QByteArray base64Lines(const QByteArray& data);

// An unstructured header text (a subject): as it is when it is short printable ASCII, else UTF-8
// encoded words (RFC 2047) folded onto continuation lines. `used` is the length of the line
// before the text ("Subject: ").
QByteArray headerText(const QString& text, int used);

// "Name" <address>, or <address> without a name; a name outside printable ASCII is encoded.
QByteArray mailbox(const QString& address, const QString& name, int used);

// The message as the DATA command sends it: lines starting with a dot get another, and the
// text ends in CRLF.
QByteArray dotStuffed(const QByteArray& message);

} // namespace MimeEncoding
