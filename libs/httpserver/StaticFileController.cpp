#include "StaticFileController.h"

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpUrlEncodedParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSettings>

namespace {

// Pieces of a file sent at once; the response's back-pressure paces them.
constexpr qint64 kChunkSize = 256 * 1024;

} // namespace

StaticFileController::StaticFileController(QSettings* settings, QObject* parent) : QObject(parent)
{
    QString path = settings ? settings->value("path", ".").toString() : QStringLiteral(".");
    if (QDir::isRelativePath(path) && settings && !settings->fileName().isEmpty())
        path = QDir(QFileInfo(settings->fileName()).absolutePath()).filePath(path);
    m_docRoot = QFileInfo(path).canonicalFilePath();
    if (m_docRoot.isEmpty() || !QFileInfo(m_docRoot).isDir()) {
        qWarning("StaticFileController: web root %s does not exist", qPrintable(path));
        m_docRoot.clear();
    }
    m_encoding = settings ? settings->value("encoding", "UTF-8").toByteArray() : "UTF-8";
    m_maxAge = settings ? settings->value("maxAge", 60000).toInt() : 60000;
}

StaticFileController::~StaticFileController() = default;

void StaticFileController::answer(HttpResponse& response, int status, const QByteArray& text) const
{
    response.setStatus(status, text);
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    response.write(QByteArray::number(status) + ' ' + text + '\n', true);
}

QByteArray StaticFileController::contentType(const QString& fileName) const
{
    const QMimeDatabase db; // a handle to one shared, locked database
    const QMimeType mime = db.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    QByteArray type = mime.name().toLatin1();
    const bool text = mime.inherits(QStringLiteral("text/plain")) || type.startsWith("text/") ||
                      type == "application/javascript" || type == "application/json" ||
                      type == "application/xml" || type == "image/svg+xml";
    if (text && !m_encoding.isEmpty())
        type += "; charset=" + m_encoding;
    return type;
}

void StaticFileController::service(HttpRequest& request, HttpResponse& response)
{
    const QByteArray decoded = HttpUrlEncodedParser::percentDecode(request.getPath(), false);
    // Refuse before touching the file system: these could only be meant to get out.
    if (decoded.contains('\0') || decoded.contains('\\')) {
        answer(response, 403, "Forbidden");
        return;
    }
    QStringList segments;
    for (const QByteArray& segment : decoded.split('/')) {
        if (segment == "..") {
            answer(response, 403, "Forbidden");
            return;
        }
        if (!segment.isEmpty() && segment != ".")
            segments.append(QString::fromUtf8(segment));
    }
    if (m_docRoot.isEmpty()) {
        answer(response, 404, "Not found");
        return;
    }

    QFileInfo info(m_docRoot + QLatin1Char('/') + segments.join(QLatin1Char('/')));
    if (info.isDir())
        info = QFileInfo(info.absoluteFilePath() + QStringLiteral("/index.html"));
    if (!info.exists() || !info.isFile()) {
        answer(response, 404, "Not found");
        return;
    }
    // Symbolic links are followed, but only to places inside the root.
    const QString canonical = info.canonicalFilePath();
    const QString prefix =
        m_docRoot.endsWith(QLatin1Char('/')) ? m_docRoot : m_docRoot + QLatin1Char('/');
    if (!canonical.startsWith(prefix)) {
        answer(response, 403, "Forbidden");
        return;
    }
    QFile file(canonical);
    if (!file.open(QIODevice::ReadOnly)) {
        answer(response, 403, "Forbidden");
        return;
    }

    response.setHeader("Content-Type", contentType(info.fileName()));
    response.setHeader("Cache-Control", "max-age=" + QByteArray::number(qMax(0, m_maxAge / 1000)));
    const qint64 size = file.size();
    if (size <= kChunkSize) {
        response.write(file.readAll(), true);
        return;
    }
    response.setHeader("Content-Length", QByteArray::number(size));
    qint64 sent = 0;
    while (sent < size && response.isConnected()) {
        const QByteArray chunk = file.read(kChunkSize);
        if (chunk.isEmpty())
            break;
        response.write(chunk);
        sent += chunk.size();
    }
    response.write(QByteArray(), true);
}
