#include "HttpMultipartParser.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

using Params = QMultiMap<QByteArray, QByteArray>;

namespace {

const QByteArray kBoundary = "----XyZ0123";

QByteArray part(const QByteArray& disposition, const QByteArray& content,
                const QByteArray& extraHeaders = QByteArray())
{
    return "--" + kBoundary + "\r\nContent-Disposition: " + disposition + "\r\n" + extraHeaders +
           "\r\n" + content + "\r\n";
}

// Temporary files may have no name (O_TMPFILE): a leak shows as an open descriptor.
int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
        .size();
}

QByteArray closing()
{
    return "--" + kBoundary + "--\r\n";
}

// Content that looks like a delimiter in every way but one.
QByteArray trickyContent()
{
    QByteArray b;
    b += "line\r\n\r\n";
    b += "\r\n--" + kBoundary.left(kBoundary.size() - 1) + "X";
    b += "\n--" + kBoundary + "x"; // no CR before: not a delimiter
    b += "--" + kBoundary;         // not after a line break
    b += QByteArray("\0\r\0\n\xff\xfe", 6);
    b += "\r\n-";
    return b;
}

} // namespace

class TestHttpMultipartParser : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fieldsAndFiles_data();
    void fieldsAndFiles();
    void malformed_data();
    void malformed();
    void fieldLimit();
    void emptyFileName();
    void repeatedFileField();
    void boundaryFromContentType_data();
    void boundaryFromContentType();

private:
    std::unique_ptr<HttpMultipartParser> parser(qint64 limit = 1024 * 1024);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestHttpMultipartParser::init()
{
    m_dir.reset(new QTemporaryDir);
}

std::unique_ptr<HttpMultipartParser> TestHttpMultipartParser::parser(qint64 limit)
{
    return std::make_unique<HttpMultipartParser>(kBoundary, m_dir->path(), limit);
}

void TestHttpMultipartParser::fieldsAndFiles_data()
{
    QTest::addColumn<int>("pieceSize");
    // Every way of splitting the body: delimiters and headers cut at each position.
    for (int size : {1, 2, 3, 7, 16, 100, 1 << 20})
        QTest::addRow("pieces of %d", size) << size;
}

void TestHttpMultipartParser::fieldsAndFiles()
{
    QFETCH(int, pieceSize);
    QByteArray binary;
    for (int i = 0; i < 3000; ++i)
        binary += char((i * 7919) & 0xff);
    binary += trickyContent();

    const QByteArray body =
        "preamble to ignore\r\n" + part("form-data; name=\"title\"", "Hello\r\nWorld") +
        part("form-data; name=\"config\"; filename=\"cfg.sql\"", trickyContent(),
             "Content-Type: application/sql\r\n") +
        part("form-data; name=\"image\"; filename=\"a \\\"b\\\".bin\"", binary) +
        part("form-data; name=\"empty\"", "") + part("form-data; name=title", "second") +
        closing() + "epilogue";
    auto p = parser();
    for (int at = 0; at < body.size(); at += pieceSize)
        QVERIFY(p->feed(body.constData() + at, qMin(pieceSize, body.size() - at)));
    QVERIFY(p->finish());

    const Params params = p->takeParameters();
    QCOMPARE(params.values("title"), (QList<QByteArray>{"second", "Hello\r\nWorld"}));
    QCOMPARE(params.value("config"), QByteArray("cfg.sql"));
    QCOMPARE(params.value("image"), QByteArray("a \"b\".bin"));
    QVERIFY(params.contains("empty"));
    QCOMPARE(params.value("empty"), QByteArray());

    QMap<QByteArray, QTemporaryFile*> files = p->takeFiles();
    QCOMPARE(files.keys(), (QList<QByteArray>{"config", "image"}));
    QVERIFY(files.value("config")->isOpen());
    QCOMPARE(files.value("config")->pos(), qint64(0));
    QCOMPARE(files.value("config")->readAll(), trickyContent());
    QCOMPARE(files.value("image")->readAll(), binary);
    QVERIFY(QFileInfo(files.value("image")->fileName()).absolutePath() == m_dir->path());
    qDeleteAll(files);
}

void TestHttpMultipartParser::malformed_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray ok = part("form-data; name=\"a\"", "1");
    QTest::newRow("unterminated") << ok << 400;
    QTest::newRow("ends inside a part")
        << ok + "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nabc"
        << 400;
    QTest::newRow("ends inside headers")
        << QByteArray("--" + kBoundary + "\r\nContent-Disp") << 400;
    QTest::newRow("no delimiter at all") << QByteArray("just some text") << 400;
    QTest::newRow("empty body") << QByteArray() << 400;
    QTest::newRow("header line without colon")
        << QByteArray("--" + kBoundary + "\r\nnonsense\r\n\r\nx\r\n" + closing()) << 400;
    QTest::newRow("no disposition")
        << QByteArray("--" + kBoundary + "\r\nContent-Type: text/plain\r\n\r\nx\r\n" + closing())
        << 400;
    QTest::newRow("no field name") << part("form-data; filename=\"x\"", "x") + closing() << 400;
    QTest::newRow("garbage after delimiter")
        << QByteArray("--" + kBoundary + "garbage\r\n\r\n" + closing()) << 400;
}

void TestHttpMultipartParser::malformed()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    auto p = parser();
    const bool fed = p->feed(body.constData(), body.size());
    QVERIFY(!fed || !p->finish());
    QCOMPARE(p->errorStatus(), status);
    QVERIFY(!p->errorText().isEmpty());
    // Once failed, more input changes nothing.
    QVERIFY(!p->feed("\r\n", 2));
}

void TestHttpMultipartParser::fieldLimit()
{
    auto p = parser(100);
    const QByteArray body = part("form-data; name=\"big\"", QByteArray(200, 'x')) + closing();
    QVERIFY(!p->feed(body.constData(), body.size()));
    QCOMPARE(p->errorStatus(), 413);

    // Files do not count against the in-memory limit.
    auto q = parser(100);
    const QByteArray upload =
        part("form-data; name=\"f\"; filename=\"x.bin\"", QByteArray(5000, 'y')) + closing();
    QVERIFY(q->feed(upload.constData(), upload.size()));
    QVERIFY(q->finish());
    QMap<QByteArray, QTemporaryFile*> files = q->takeFiles();
    QCOMPARE(files.value("f")->size(), qint64(5000));
    qDeleteAll(files);
}

void TestHttpMultipartParser::emptyFileName()
{
    // A file input left empty: the field exists, the file does not.
    auto p = parser();
    const QByteArray body = part("form-data; name=\"uploadedfile\"; filename=\"\"", "") + closing();
    QVERIFY(p->feed(body.constData(), body.size()));
    QVERIFY(p->finish());
    QVERIFY(p->takeParameters().contains("uploadedfile"));
    QVERIFY(p->takeFiles().isEmpty());
}

void TestHttpMultipartParser::repeatedFileField()
{
    const int before = openDescriptors();
    auto p = parser();
    const QByteArray body = part("form-data; name=\"f\"; filename=\"one\"", "1") +
                            part("form-data; name=\"f\"; filename=\"two\"", "22") + closing();
    QVERIFY(p->feed(body.constData(), body.size()));
    QVERIFY(p->finish());
    QCOMPARE(p->takeParameters().value("f"), QByteArray("two"));
    QMap<QByteArray, QTemporaryFile*> files = p->takeFiles();
    QCOMPARE(files.size(), 1);
    QCOMPARE(files.value("f")->readAll(), QByteArray("22"));
    // The replaced file is closed, not only dropped from the map.
    QCOMPARE(openDescriptors(), before + 1);
    qDeleteAll(files);
    QCOMPARE(openDescriptors(), before);
}

void TestHttpMultipartParser::boundaryFromContentType_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary");

    QTest::newRow("plain") << QByteArray("multipart/form-data; boundary=abc123")
                           << QByteArray("abc123");
    QTest::newRow("quoted") << QByteArray("multipart/form-data; boundary=\"a b:c\"")
                            << QByteArray("a b:c");
    QTest::newRow("webkit")
        << QByteArray("multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW")
        << QByteArray("----WebKitFormBoundary7MA4YWxkTrZu0gW");
    QTest::newRow("other params") << QByteArray("multipart/form-data; charset=utf-8; BOUNDARY=x")
                                  << QByteArray("x");
    QTest::newRow("missing") << QByteArray("multipart/form-data") << QByteArray();
    QTest::newRow("empty") << QByteArray("multipart/form-data; boundary=") << QByteArray();
    QTest::newRow("too long") << QByteArray("multipart/form-data; boundary=" + QByteArray(71, 'a'))
                              << QByteArray();
    QTest::newRow("bad character")
        << QByteArray("multipart/form-data; boundary=\"a\r\nb\"") << QByteArray();
}

void TestHttpMultipartParser::boundaryFromContentType()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);
    QCOMPARE(HttpMultipartParser::boundaryFromContentType(contentType), boundary);
}

QTEST_GUILESS_MAIN(TestHttpMultipartParser)
#include "tst_httpmultipartparser.moc"
