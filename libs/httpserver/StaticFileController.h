#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class HttpRequest;
class HttpResponse;
class QSettings;

// Answers requests with the files below a web root. Nothing outside the root is ever
// served: ".." segments (also percent-encoded), NUL bytes, backslashes and symbolic links
// that lead out of the root get 403. Thread-safe: it keeps no state per request.
//
// Keys of the settings group (all optional):
//   path      the web root (".");  a relative path counts from the directory of the
//             settings file
//   encoding  charset added to text types ("UTF-8")
//   maxAge    ms a browser may cache a file (60000), sent as Cache-Control max-age
class HTTPSERVER_EXPORT StaticFileController : public QObject
{
    Q_OBJECT
public:
    StaticFileController(QSettings* settings, QObject* parent = nullptr);
    ~StaticFileController() override;

    void service(HttpRequest& request, HttpResponse& response);

    // The canonical web root; empty when it does not exist.
    QString docRoot() const { return m_docRoot; }

private:
    void answer(HttpResponse& response, int status, const QByteArray& text) const;
    QByteArray contentType(const QString& fileName) const;

    QString m_docRoot;
    QByteArray m_encoding;
    int m_maxAge;
};
