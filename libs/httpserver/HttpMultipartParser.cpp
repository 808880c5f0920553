#include "HttpMultipartParser.h"

#include "HttpUrlEncodedParser.h"

#include <QDir>
#include <QList>
#include <QPair>
#include <QTemporaryFile>

namespace {

// A part header block larger than this is not a form field.
constexpr int kMaxPartHeaderSize = 16384;
// Each file holds a descriptor until the request is gone.
constexpr int kMaxFiles = 256;

bool isBoundaryChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           QByteArray("'()+_,-./:=? ").contains(c);
}

// Splits "type; a=1; b=\"x;y\"" into its parameters (names lower-case, values unquoted).
QList<QPair<QByteArray, QByteArray>> headerParameters(const QByteArray& value)
{
    QList<QPair<QByteArray, QByteArray>> result;
    int i = value.indexOf(';');
    const int n = value.size();
    while (i >= 0 && i < n) {
        ++i; // past ';'
        while (i < n && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        int keyStart = i;
        while (i < n && value[i] != '=' && value[i] != ';')
            ++i;
        const QByteArray key = value.mid(keyStart, i - keyStart).trimmed().toLower();
        QByteArray val;
        if (i < n && value[i] == '=') {
            ++i;
            while (i < n && (value[i] == ' ' || value[i] == '\t'))
                ++i;
            if (i < n && value[i] == '"') {
                ++i;
                while (i < n && value[i] != '"') {
                    // Only \" and \\ are escapes: browsers send Windows paths unescaped.
                    if (value[i] == '\\' && i + 1 < n &&
                        (value[i + 1] == '"' || value[i + 1] == '\\'))
                        ++i;
                    val.append(value[i]);
                    ++i;
                }
                if (i < n)
                    ++i; // closing quote
                while (i < n && value[i] != ';')
                    ++i;
            } else {
                const int valStart = i;
                while (i < n && value[i] != ';')
                    ++i;
                val = value.mid(valStart, i - valStart).trimmed();
            }
        }
        if (!key.isEmpty())
            result.append(qMakePair(key, val));
        if (i >= n)
            break;
    }
    return result;
}

} // namespace

HttpMultipartParser::HttpMultipartParser(const QByteArray& boundary, const QString& uploadDir,
                                         qint64 maxFieldBytes)
    : m_delimiter("\r\n--" + boundary), m_uploadDir(uploadDir), m_maxFieldBytes(maxFieldBytes),
      m_buffer("\r\n") // so that a delimiter at the very start is found like any other
{
    if (boundary.isEmpty())
        fail(400, "Missing multipart boundary");
}

HttpMultipartParser::~HttpMultipartParser()
{
    qDeleteAll(m_files);
}

QByteArray HttpMultipartParser::boundaryFromContentType(const QByteArray& contentType)
{
    QByteArray boundary;
    for (const auto& p : headerParameters(contentType)) {
        if (p.first == "boundary")
            boundary = p.second;
    }
    if (boundary.isEmpty() || boundary.size() > 70 || boundary.endsWith(' '))
        return QByteArray();
    for (const char c : boundary) {
        if (!isBoundaryChar(c))
            return QByteArray();
    }
    return boundary;
}

bool HttpMultipartParser::feed(const char* data, qint64 size)
{
    if (m_state == State::Failed)
        return false;
    if (m_state == State::Epilogue)
        return true; // whatever follows the closing delimiter is ignored
    m_buffer.append(data, int(size));
    process();
    return m_state != State::Failed;
}

bool HttpMultipartParser::finish()
{
    if (m_state == State::Failed)
        return false;
    if (m_state != State::Epilogue) {
        fail(400, "Multipart body ends before its closing boundary");
        return false;
    }
    return true;
}

void HttpMultipartParser::process()
{
    const int keep = m_delimiter.size() - 1; // a delimiter may be split across two feeds
    for (;;) {
        switch (m_state) {
        case State::Preamble: {
            const int at = m_buffer.indexOf(m_delimiter);
            if (at < 0) {
                if (m_buffer.size() > keep)
                    m_buffer.remove(0, m_buffer.size() - keep);
                return;
            }
            m_buffer.remove(0, at + m_delimiter.size());
            m_state = State::AfterDelimiter;
            break;
        }
        case State::AfterDelimiter: {
            if (m_buffer.size() < 2)
                return;
            if (m_buffer.startsWith("--")) {
                m_state = State::Epilogue;
                m_buffer.clear();
                return;
            }
            int i = 0;
            while (i < m_buffer.size() && (m_buffer[i] == ' ' || m_buffer[i] == '\t'))
                ++i;
            if (m_buffer.size() - i < 2) {
                if (i > 256)
                    fail(400, "Malformed multipart delimiter line");
                return;
            }
            if (m_buffer[i] != '\r' || m_buffer[i + 1] != '\n') {
                fail(400, "Malformed multipart delimiter line");
                return;
            }
            m_buffer.remove(0, i + 2);
            m_state = State::Headers;
            break;
        }
        case State::Headers: {
            QByteArray block;
            if (m_buffer.startsWith("\r\n")) {
                m_buffer.remove(0, 2);
            } else {
                const int end = m_buffer.indexOf("\r\n\r\n");
                if (end < 0) {
                    if (m_buffer.size() > kMaxPartHeaderSize)
                        fail(400, "Multipart part header too large");
                    return;
                }
                if (end > kMaxPartHeaderSize) {
                    fail(400, "Multipart part header too large");
                    return;
                }
                block = m_buffer.left(end);
                m_buffer.remove(0, end + 4);
            }
            if (!parsePartHeaders(block))
                return;
            m_state = State::Body;
            break;
        }
        case State::Body: {
            const int at = m_buffer.indexOf(m_delimiter);
            if (at < 0) {
                if (m_buffer.size() > keep) {
                    emitBody(m_buffer.constData(), m_buffer.size() - keep);
                    m_buffer.remove(0, m_buffer.size() - keep);
                }
                return;
            }
            emitBody(m_buffer.constData(), at);
            if (m_state == State::Failed)
                return;
            m_buffer.remove(0, at + m_delimiter.size());
            endPart();
            if (m_state == State::Failed)
                return;
            m_state = State::AfterDelimiter;
            break;
        }
        case State::Epilogue:
            m_buffer.clear();
            return;
        case State::Failed:
            return;
        }
    }
}

bool HttpMultipartParser::parsePartHeaders(const QByteArray& block)
{
    QByteArray disposition;
    QByteArray lastName;
    QMap<QByteArray, QByteArray> headers;
    for (const QByteArray& line : block.split('\n')) {
        QByteArray l = line.endsWith('\r') ? line.left(line.size() - 1) : line;
        if (l.isEmpty())
            continue;
        if ((l[0] == ' ' || l[0] == '\t') && !lastName.isEmpty()) {
            headers[lastName] += ' ' + l.trimmed(); // folded continuation line
            continue;
        }
        const int colon = l.indexOf(':');
        if (colon <= 0) {
            fail(400, "Malformed multipart part header");
            return false;
        }
        lastName = l.left(colon).trimmed().toLower();
        headers[lastName] = l.mid(colon + 1).trimmed();
    }
    disposition = headers.value("content-disposition");
    const int semicolon = disposition.indexOf(';');
    const QByteArray type = (semicolon < 0 ? disposition : disposition.left(semicolon)).trimmed();
    if (type.toLower() != "form-data") {
        fail(400, "Multipart part without form-data disposition");
        return false;
    }
    bool hasName = false;
    bool hasFileName = false;
    QByteArray fileName;
    QByteArray extendedFileName;
    for (const auto& p : headerParameters(disposition)) {
        if (p.first == "name") {
            m_partName = p.second;
            hasName = true;
        } else if (p.first == "filename") {
            fileName = p.second;
            hasFileName = true;
        } else if (p.first == "filename*") {
            // RFC 5987: charset'language'percent-encoded
            const int quote = p.second.indexOf('\'');
            const int quote2 = quote < 0 ? -1 : p.second.indexOf('\'', quote + 1);
            if (quote2 > 0)
                extendedFileName =
                    HttpUrlEncodedParser::percentDecode(p.second.mid(quote2 + 1), false);
            hasFileName = true;
        }
    }
    if (!hasName || m_partName.isEmpty()) {
        fail(400, "Multipart part without a field name");
        return false;
    }
    if (m_parameters.size() >= m_maxParameters) {
        fail(413, "Too many parameters");
        return false;
    }
    if (!extendedFileName.isEmpty())
        fileName = extendedFileName;
    m_partIsFile = hasFileName;
    m_partValue.clear();
    if (m_partIsFile) {
        m_partValue = fileName;
        // A file input left empty sends filename="": a field without a file.
        if (!fileName.isEmpty()) {
            if (m_filesRefused) {
                fail(403, "Uploads are not accepted from this caller");
                return false;
            }
            if (m_files.size() >= kMaxFiles) {
                fail(413, "Too many files in one request");
                return false;
            }
            m_partFile.reset(
                new QTemporaryFile(QDir(m_uploadDir).filePath(QStringLiteral("upload-XXXXXX"))));
            if (!m_partFile->open()) {
                fail(500, "Cannot create a file for the upload");
                return false;
            }
        }
    }
    m_fieldBytes += m_partName.size() + m_partValue.size();
    if (m_fieldBytes > m_maxFieldBytes) {
        fail(413, "Form fields too large");
        return false;
    }
    return true;
}

void HttpMultipartParser::emitBody(const char* data, qint64 size)
{
    if (size <= 0)
        return;
    if (m_partIsFile) {
        if (m_partFile && m_partFile->write(data, size) != size)
            fail(500, "Cannot write the uploaded file");
        return;
    }
    m_fieldBytes += size;
    if (m_fieldBytes > m_maxFieldBytes) {
        fail(413, "Form fields too large");
        return;
    }
    m_partValue.append(data, int(size));
}

void HttpMultipartParser::endPart()
{
    if (m_partFile) {
        if (!m_partFile->flush() || !m_partFile->seek(0)) {
            fail(500, "Cannot write the uploaded file");
            return;
        }
        delete m_files.value(m_partName, nullptr);
        m_files.insert(m_partName, m_partFile.release());
    }
    m_parameters.insert(m_partName, m_partValue);
    m_partName.clear();
    m_partValue.clear();
    m_partIsFile = false;
}

void HttpMultipartParser::fail(int status, const QByteArray& text)
{
    m_state = State::Failed;
    m_errorStatus = status;
    m_errorText = text;
    m_partFile.reset();
    m_buffer.clear();
}

QMultiMap<QByteArray, QByteArray> HttpMultipartParser::takeParameters()
{
    QMultiMap<QByteArray, QByteArray> p;
    p.swap(m_parameters);
    return p;
}

QMap<QByteArray, QTemporaryFile*> HttpMultipartParser::takeFiles()
{
    QMap<QByteArray, QTemporaryFile*> f;
    f.swap(m_files);
    return f;
}
