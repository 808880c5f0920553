#include "StaticFileController.h"

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpServerConfig.h"
#include "HttpUrlEncodedParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSettings>

namespace {

// Pieces of a file sent at once; the response's back-pressure paces them.
constexpr qint64 kChunkSize = 256 * 1024;
// How long a resolved path is trusted before the file system is asked again (a file replaced
// by a directory, a link pointed elsewhere inside the root).
constexpr qint64 kResolvedForMs = 2000;
// Bounds of the caches; a full cache starts again empty.
constexpr int kMaxCached = 4096;

} // namespace

StaticFileController::StaticFileController(QSettings* settings, QObject* parent) : QObject(parent)
{
    const ConfigGroup& keys = HttpServerConfig::docroot();
    QString path = keys.text(settings, QStringLiteral("path"));
    if (QDir::isRelativePath(path) && settings && !settings->fileName().isEmpty())
        path = QDir(QFileInfo(settings->fileName()).absolutePath()).filePath(path);
    m_docRoot = QFileInfo(path).canonicalFilePath();
    if (m_docRoot.isEmpty() || !QFileInfo(m_docRoot).isDir()) {
        qWarning("StaticFileController: web root %s does not exist", qPrintable(path));
        m_docRoot.clear();
    }
    m_encoding = keys.text(settings, QStringLiteral("encoding")).toUtf8();
    const int maxAge = int(keys.integer(settings, QStringLiteral("maxAge")));
    m_cacheControl = "max-age=" + QByteArray::number(qMax(0, maxAge / 1000));
    m_clock.start();
}

StaticFileController::~StaticFileController() = default;

void StaticFileController::setHiddenNames(const QStringList& patterns)
{
    m_hidden.clear();
    for (const QString& pattern : patterns)
        m_hidden.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                                           QRegularExpression::CaseInsensitiveOption));
}

bool StaticFileController::isHidden(const QString& fileName) const
{
    for (const QRegularExpression& pattern : m_hidden) {
        if (pattern.match(fileName).hasMatch())
            return true;
    }
    return false;
}

void StaticFileController::answer(HttpResponse& response, int status, const QByteArray& text) const
{
    response.setStatus(status, text);
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    response.write(QByteArray::number(status) + ' ' + text + '\n', true);
}

QByteArray StaticFileController::contentType(const QString& fileName) const
{
    // Keyed by everything after the first dot ("tar.gz" and "gz" may differ); a name without a
    // dot can match a whole-name pattern of its own and is not cached.
    const int dot = fileName.indexOf(QLatin1Char('.'));
    const QString suffix = dot < 0 ? QString() : fileName.mid(dot + 1);
    if (!suffix.isEmpty() && m_cacheLock.tryLockForRead()) {
        const auto it = m_types.constFind(suffix);
        const QByteArray cached = it == m_types.constEnd() ? QByteArray() : it.value();
        m_cacheLock.unlock();
        if (!cached.isEmpty())
            return cached;
    }

    const QMimeDatabase db; // a handle to one shared, locked database
    const QMimeType mime = db.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    QByteArray type = mime.name().toLatin1();
    const bool text = mime.inherits(QStringLiteral("text/plain")) || type.startsWith("text/") ||
                      type == "application/javascript" || type == "application/json" ||
                      type == "application/xml" || type == "image/svg+xml";
    if (text && !m_encoding.isEmpty())
        type += "; charset=" + m_encoding;

    if (!suffix.isEmpty() && m_cacheLock.tryLockForWrite()) {
        if (m_types.size() >= kMaxCached)
            m_types.clear();
        m_types.insert(suffix, type);
        m_cacheLock.unlock();
    }
    return type;
}

StaticFileController::Resolved StaticFileController::resolve(const QString& relative,
                                                             int* status) const
{
    const qint64 now = m_clock.elapsed();
    if (m_cacheLock.tryLockForRead()) {
        const auto it = m_paths.constFind(relative);
        const bool fresh = it != m_paths.constEnd() && now - it->resolvedAt < kResolvedForMs;
        const Resolved cached = fresh ? it.value() : Resolved{};
        m_cacheLock.unlock();
        if (fresh)
            return cached;
    }

    QFileInfo info(m_docRoot + QLatin1Char('/') + relative);
    if (info.isDir())
        info = QFileInfo(info.absoluteFilePath() + QStringLiteral("/index.html"));
    if (!info.exists() || !info.isFile()) {
        *status = 404;
        return Resolved{};
    }
    // Symbolic links are followed, but only to places inside the root.
    const QString canonical = info.canonicalFilePath();
    const QString prefix =
        m_docRoot.endsWith(QLatin1Char('/')) ? m_docRoot : m_docRoot + QLatin1Char('/');
    if (!canonical.startsWith(prefix)) {
        *status = 403;
        return Resolved{};
    }
    // By both names: a link to a hidden file hides nothing.
    if (isHidden(info.fileName()) || isHidden(QFileInfo(canonical).fileName())) {
        *status = 404;
        return Resolved{};
    }
    const Resolved found{canonical, info.fileName(), now};
    if (m_cacheLock.tryLockForWrite()) {
        if (m_paths.size() >= kMaxCached)
            m_paths.clear();
        m_paths.insert(relative, found);
        m_cacheLock.unlock();
    }
    return found;
}

void StaticFileController::service(HttpRequest& request, HttpResponse& response,
                                   bool htmlUncached)
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

    const QString relative = segments.join(QLatin1Char('/'));
    int status = 0;
    Resolved target = resolve(relative, &status);
    QFile file(target.path);
    if (status == 0 && !file.open(QIODevice::ReadOnly)) {
        // Gone or changed since it was resolved: ask the file system again.
        if (m_cacheLock.tryLockForWrite()) {
            m_paths.remove(relative);
            m_cacheLock.unlock();
        }
        target = resolve(relative, &status);
        file.setFileName(target.path);
        if (status == 0 && !file.open(QIODevice::ReadOnly))
            status = 403;
    }
    if (status != 0) {
        answer(response, status, status == 404 ? "Not found" : "Forbidden");
        return;
    }

    const QByteArray type = contentType(target.name);
    response.setHeader("Content-Type", type);
    const bool html = type.startsWith("text/html");
    response.setHeader("Cache-Control", htmlUncached && html ? "no-store" : m_cacheControl);
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
