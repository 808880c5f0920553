#pragma once

#include "HttpServerGlobal.h"

#include <QByteArray>
#include <QMap>
#include <QMultiMap>
#include <QString>

#include <limits>
#include <memory>

class QTemporaryFile;

// Streaming decoder of a multipart/form-data body. It is fed the body in pieces of any
// size; file contents go straight to temporary files, so memory use does not grow with
// the upload. Text fields stay in memory up to a limit.
class HTTPSERVER_EXPORT HttpMultipartParser
{
public:
    // maxFieldBytes bounds the names and values of all text fields together.
    HttpMultipartParser(const QByteArray& boundary, const QString& uploadDir, qint64 maxFieldBytes);
    ~HttpMultipartParser();
    HttpMultipartParser(const HttpMultipartParser&) = delete;
    HttpMultipartParser& operator=(const HttpMultipartParser&) = delete;

    // The boundary parameter of a Content-Type header; empty when it is missing or not a
    // valid boundary (1 to 70 characters of the permitted set).
    static QByteArray boundaryFromContentType(const QByteArray& contentType);

    // From now on a part that carries a file fails the body with 403 before anything of
    // the file is stored.
    void refuseFiles() { m_filesRefused = true; }
    // Parts (text fields and files) at most: the next one fails the body with 413 as soon as
    // it begins.
    void setMaxParameters(qint64 max) { m_maxParameters = max; }

    // Returns false once the body turned out malformed; then errorStatus() tells why.
    bool feed(const char* data, qint64 size);
    // The body has ended: false when the closing delimiter never came.
    bool finish();

    bool hasError() const { return m_errorStatus != 0; }
    int errorStatus() const { return m_errorStatus; }
    QByteArray errorText() const { return m_errorText; }

    // Text fields, and for each file field its file name; in order of appearance.
    QMultiMap<QByteArray, QByteArray> takeParameters();
    // Field name to its file, open and at position 0; the caller owns them. For a field
    // sent with several files the last one is kept.
    QMap<QByteArray, QTemporaryFile*> takeFiles();

private:
    enum class State
    {
        Preamble,
        AfterDelimiter,
        Headers,
        Body,
        Epilogue,
        Failed
    };

    void process();
    bool parsePartHeaders(const QByteArray& block);
    void emitBody(const char* data, qint64 size);
    void endPart();
    void fail(int status, const QByteArray& text);

    QByteArray m_delimiter;
    QString m_uploadDir;
    qint64 m_maxFieldBytes;
    qint64 m_fieldBytes = 0;
    bool m_filesRefused = false;
    qint64 m_maxParameters = std::numeric_limits<qint64>::max();
    State m_state = State::Preamble;
    QByteArray m_buffer;
    int m_errorStatus = 0;
    QByteArray m_errorText;

    // The part being read.
    QByteArray m_partName;
    QByteArray m_partValue;
    bool m_partIsFile = false;
    std::unique_ptr<QTemporaryFile> m_partFile;

    QMultiMap<QByteArray, QByteArray> m_parameters;
    QMap<QByteArray, QTemporaryFile*> m_files;
};
