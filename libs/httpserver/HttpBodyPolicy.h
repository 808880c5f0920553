#pragma once

#include <QByteArray>

// What the request handler allows the body of one request, decided once its header is in and
// before any of the body is read.
struct HttpBodyPolicy
{
    // False: a file part of a multipart body fails the request with 403 as soon as it begins,
    // before anything of the file is stored.
    bool uploadsAllowed = true;
    // Bytes of body at most, when below the listener's limits (-1: those limits). A declared
    // length above it is refused with 413 at once, a chunked body as soon as it passes it.
    qint64 maxBodySize = -1;
    // When the check refuses the request: the text of the refusal (empty: an empty body).
    QByteArray refusalText;
};
