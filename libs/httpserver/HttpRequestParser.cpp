#include "HttpRequestParser.h"

#include "HttpCookie.h"
#include "HttpMultipartParser.h"
#include "HttpRequest.h"
#include "HttpUrlEncodedParser.h"

#include <QHostAddress>
#include <QTemporaryFile>

#include <boost/beast/http.hpp>

#include <optional>

namespace http = boost::beast::http;

namespace {

using BeastParser = http::request_parser<http::buffer_body>;

// Body bytes are copied out of the parser in pieces of this size.
constexpr std::size_t kBodyPiece = 64 * 1024;

QByteArray toByteArray(boost::beast::string_view s)
{
    return QByteArray(s.data(), int(s.size()));
}

} // namespace

struct HttpRequestParser::Private
{
    HttpListenerSettings settings;
    QHostAddress peer;
    HeaderCheck headerCheck;

    QByteArray buffer;
    int offset = 0; // bytes of buffer already given to the parser
    std::optional<BeastParser> parser;
    State state = State::Incomplete;
    int errorStatus = 0;
    QByteArray errorText;
    bool continueWanted = false;

    std::unique_ptr<HttpRequest> request;
    std::unique_ptr<HttpMultipartParser> multipart;
    bool isForm = false;
    QByteArray body;
    qint64 queryPairs = 0;
    HttpUrlEncodedParser::PairCounter formPairs;

    void start();
    void run();
    void onHeader();
    void onBody(const char* data, std::size_t size);
    void onComplete();
    void fail(int status, const QByteArray& text);
    void failFrom(const boost::system::error_code& ec);
    void compact();
};

void HttpRequestParser::Private::start()
{
    parser.emplace();
    parser->header_limit(static_cast<std::uint32_t>(settings.maxHeaderSize));
    // The limit depends on the content type, so the header is checked against the larger
    // one here and the body against its own in onHeader(). (boost::none would not do:
    // Beast 1.74 compares the content length with it as if it were zero.)
    parser->body_limit(std::uint64_t(qMax(settings.maxRequestSize, settings.maxMultiPartSize)));
    state = State::Incomplete;
    errorStatus = 0;
    errorText.clear();
    continueWanted = false;
    request.reset();
    multipart.reset();
    isForm = false;
    body.clear();
    queryPairs = 0;
    formPairs = HttpUrlEncodedParser::PairCounter();
}

void HttpRequestParser::Private::run()
{
    while (state == State::Incomplete) {
        const char* p = buffer.constData() + offset;
        const std::size_t n = std::size_t(buffer.size() - offset);
        boost::system::error_code ec;

        if (!parser->is_header_done()) {
            // Stray line ends between requests are allowed before a request line.
            if (!parser->got_some() && n > 0 && (*p == '\r' || *p == '\n')) {
                ++offset;
                continue;
            }
            if (n == 0)
                break;
            // The header is parsed as a whole: until it is complete nothing is consumed.
            const std::size_t used = parser->put(boost::asio::buffer(p, n), ec);
            offset += int(used);
            if (ec == http::error::need_more)
                break;
            if (ec) {
                failFrom(ec);
                break;
            }
            if (parser->is_header_done())
                onHeader();
            continue;
        }

        if (parser->is_done()) {
            onComplete();
            break;
        }
        if (n == 0)
            break;

        char piece[kBodyPiece];
        auto& b = parser->get().body();
        b.data = piece;
        b.size = sizeof piece;
        b.more = true;
        const std::size_t used = parser->put(boost::asio::buffer(p, n), ec);
        offset += int(used);
        const std::size_t got = sizeof piece - b.size;
        b.data = nullptr;
        b.size = 0;
        if (got > 0)
            onBody(piece, got);
        if (state != State::Incomplete)
            break;
        if (ec == http::error::need_buffer)
            continue;
        if (ec == http::error::need_more) {
            if (used == 0 && got == 0)
                break;
            continue;
        }
        if (ec) {
            failFrom(ec);
            break;
        }
        if (used == 0 && got == 0 && !parser->is_done())
            break;
    }
    compact();
}

void HttpRequestParser::Private::compact()
{
    if (offset >= buffer.size()) {
        buffer.clear();
        offset = 0;
    } else if (offset > 65536) {
        buffer.remove(0, offset);
        offset = 0;
    }
}

void HttpRequestParser::Private::onHeader()
{
    auto& msg = parser->get();
    request.reset(new HttpRequest);
    HttpRequest& r = *request;
    r.m_method = toByteArray(msg.method_string());
    r.m_version = "HTTP/" + QByteArray::number(msg.version() / 10) + '.' +
                  QByteArray::number(msg.version() % 10);
    r.m_peerAddress = peer;
    r.m_keepAlive = parser->keep_alive();

    QByteArray target = toByteArray(msg.target());
    // Absolute form ("http://host/path") is allowed for requests, as for proxies.
    if (target.startsWith("http://") || target.startsWith("https://")) {
        const int slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    const int hash = target.indexOf('#');
    if (hash >= 0)
        target.truncate(hash);
    const int question = target.indexOf('?');
    r.m_path = question < 0 ? target : target.left(question);
    if (question >= 0) {
        const QByteArray query = target.mid(question + 1);
        queryPairs = HttpUrlEncodedParser::countPairs(query);
        if (queryPairs > settings.maxParameters) {
            fail(413, "Too many parameters");
            return;
        }
        HttpUrlEncodedParser::parse(query, r.m_parameters);
    }

    QByteArray cookieHeader;
    for (const auto& field : msg) {
        const QByteArray name = toByteArray(field.name_string()).toLower();
        const QByteArray value = toByteArray(field.value());
        r.m_headers.insert(name, value);
        if (name == "cookie")
            cookieHeader += (cookieHeader.isEmpty() ? "" : "; ") + value;
    }
    r.m_cookies = HttpCookie::parseCookieHeader(cookieHeader);

    HttpBodyPolicy policy;
    if (headerCheck) {
        const int status = headerCheck(r, &policy);
        if (status != 0) {
            fail(status, policy.refusalText);
            return;
        }
    }

    const QByteArray contentType = r.getHeader("content-type");
    const int semicolon = contentType.indexOf(';');
    const QByteArray mime =
        (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed().toLower();
    qint64 limit = settings.maxRequestSize;
    if (mime == "multipart/form-data") {
        const QByteArray boundary = HttpMultipartParser::boundaryFromContentType(contentType);
        if (boundary.isEmpty()) {
            fail(400, "Missing or invalid multipart boundary");
            return;
        }
        limit = settings.maxMultiPartSize;
        multipart.reset(
            new HttpMultipartParser(boundary, settings.uploadDir, settings.maxRequestSize));
        multipart->setMaxParameters(settings.maxParameters - queryPairs);
        if (!policy.uploadsAllowed)
            multipart->refuseFiles();
    } else {
        isForm = mime == "application/x-www-form-urlencoded";
    }
    if (policy.maxBodySize >= 0)
        limit = qMin(limit, policy.maxBodySize);
    const auto length = parser->content_length();
    if (length && *length > std::uint64_t(limit)) {
        fail(413, "Request body too large");
        return;
    }
    parser->body_limit(std::uint64_t(limit));
    parser->eager(true);
    if (!parser->is_done() && msg.version() >= 11 &&
        r.getHeader("expect").trimmed().toLower() == "100-continue")
        continueWanted = true;
}

void HttpRequestParser::Private::onBody(const char* data, std::size_t size)
{
    if (multipart) {
        if (!multipart->feed(data, qint64(size)))
            fail(multipart->errorStatus(), multipart->errorText());
        return;
    }
    if (isForm) {
        // Counted as the body arrives: refused before its pairs are decoded into a map.
        formPairs.feed(data, qint64(size));
        if (queryPairs + formPairs.count() > settings.maxParameters) {
            fail(413, "Too many parameters");
            return;
        }
    }
    body.append(data, int(size));
}

void HttpRequestParser::Private::onComplete()
{
    HttpRequest& r = *request;
    if (multipart) {
        if (!multipart->finish()) {
            fail(multipart->errorStatus(), multipart->errorText());
            return;
        }
        // unite() keeps the order: body fields come after (and so win over) the query.
        r.m_parameters.unite(multipart->takeParameters());
        r.m_uploadedFiles = multipart->takeFiles();
        multipart.reset();
    } else {
        if (isForm)
            HttpUrlEncodedParser::parse(body, r.m_parameters);
        r.m_body = body;
        body.clear();
    }
    continueWanted = false;
    state = State::Complete;
}

void HttpRequestParser::Private::fail(int status, const QByteArray& text)
{
    state = State::Error;
    errorStatus = status;
    errorText = text;
    request.reset();
    multipart.reset();
    body.clear();
    continueWanted = false;
}

void HttpRequestParser::Private::failFrom(const boost::system::error_code& ec)
{
    if (ec == http::error::header_limit)
        fail(431, "Request header too large");
    else if (ec == http::error::body_limit)
        fail(413, "Request body too large");
    else
        fail(400, "Bad request: " + QByteArray::fromStdString(ec.message()));
}

HttpRequestParser::HttpRequestParser(const HttpListenerSettings& settings) : d(new Private)
{
    d->settings = settings;
    d->start();
}

HttpRequestParser::~HttpRequestParser() = default;

void HttpRequestParser::setPeerAddress(const QHostAddress& address)
{
    d->peer = address;
}

void HttpRequestParser::setHeaderCheck(HeaderCheck check)
{
    d->headerCheck = std::move(check);
}

HttpRequestParser::State HttpRequestParser::feed(const QByteArray& data)
{
    d->buffer.append(data);
    if (d->state == State::Incomplete)
        d->run();
    return d->state;
}

HttpRequestParser::State HttpRequestParser::finishInput()
{
    if (d->state == State::Incomplete && !isIdle())
        d->fail(400, "Request truncated: the connection ended before its end");
    return d->state;
}

HttpRequestParser::State HttpRequestParser::state() const
{
    return d->state;
}

bool HttpRequestParser::takeContinueRequest()
{
    const bool wanted = d->continueWanted && d->state == State::Incomplete;
    d->continueWanted = false;
    return wanted;
}

bool HttpRequestParser::isIdle() const
{
    return d->state == State::Incomplete && !d->parser->got_some() && d->offset >= d->buffer.size();
}

bool HttpRequestParser::isHeaderComplete() const
{
    return d->request != nullptr;
}

int HttpRequestParser::errorStatus() const
{
    return d->errorStatus;
}

QByteArray HttpRequestParser::errorText() const
{
    return d->errorText;
}

std::unique_ptr<HttpRequest> HttpRequestParser::takeRequest()
{
    if (d->state != State::Complete)
        return nullptr;
    return std::move(d->request);
}

HttpRequestParser::State HttpRequestParser::next()
{
    d->start();
    d->run();
    return d->state;
}
