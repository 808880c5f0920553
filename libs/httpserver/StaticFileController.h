#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>

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

    // htmlUncached: HTML files go out with "Cache-Control: no-store" instead of the max-age,
    // so that a browser asks for each page again (pages behind a login, after a logout).
    void service(HttpRequest& request, HttpResponse& response, bool htmlUncached = false);

    // Files never served (404), in whatever directory below the root they lie: wildcard
    // patterns ("db.sqlite*") matched, regardless of case, against the name asked for and the
    // name of the file it leads to. Set before serving starts.
    void setHiddenNames(const QStringList& patterns);

    // The canonical web root; empty when it does not exist.
    QString docRoot() const { return m_docRoot; }

private:
    struct Resolved
    {
        QString path;      // canonical, inside the root; empty when there is none
        QString name;      // the name asked for (index.html for a directory): its type
        qint64 resolvedAt; // ms on m_clock
    };

    void answer(HttpResponse& response, int status, const QByteArray& text) const;
    QByteArray contentType(const QString& fileName) const;
    // The file the root-relative path names (a directory's index.html), or the status to
    // answer: 404 when there is none, 403 when it lies outside the root.
    Resolved resolve(const QString& relative, int* status) const;

    bool isHidden(const QString& fileName) const;

    QString m_docRoot;
    QVector<QRegularExpression> m_hidden;
    QByteArray m_encoding;
    QByteArray m_cacheControl;
    // Content types by file suffix, and resolved paths for a moment, so that a request costs
    // no MIME look-up and no walk over the path's links. Both only grow by what the root holds.
    mutable QReadWriteLock m_cacheLock;
    mutable QHash<QString, QByteArray> m_types;
    mutable QHash<QString, Resolved> m_paths;
    QElapsedTimer m_clock;
};
