#include "HttpServerConfig.h"

#include <limits>

namespace {

constexpr qint64 maxInt = std::numeric_limits<int>::max();
constexpr qint64 maxInt64 = std::numeric_limits<qint64>::max();
// Threads beyond this are no server this program runs.
constexpr qint64 maxThreads = 10000;
// Time is added to the current time: bounded far below the overflow (a century in ms).
constexpr qint64 maxLifetimeMs = 100LL * 366 * 24 * 3600 * 1000;

const QString noServer = QStringLiteral("no web server is started");

} // namespace

const ConfigGroup& HttpServerConfig::listener()
{
    using Kind = ConfigKey::Kind;
    // A port or host that cannot be used is no reason to listen elsewhere: without them the
    // program runs as with a busy port. 0 asks for any free port.
    static const ConfigGroup group(
        QStringLiteral("listener"),
        {ConfigKey::integer(QStringLiteral("port"), 0, 65535, 8080).refusedGives({}, noServer),
         ConfigKey::ofKind(Kind::Host, QStringLiteral("host")).refusedGives({}, noServer),
         ConfigKey::integer(QStringLiteral("minThreads"), 0, maxThreads, 4),
         ConfigKey::integer(QStringLiteral("maxThreads"), 1, maxThreads, 100),
         ConfigKey::integer(QStringLiteral("cleanupInterval"), 10, maxInt, 1000),
         ConfigKey::integer(QStringLiteral("readTimeout"), 1, maxInt, 10000),
         ConfigKey::integer(QStringLiteral("headerTimeout"), 1, maxInt, 5000),
         ConfigKey::integer(QStringLiteral("maxConnectionsPerAddress"), 1, maxInt, {})
             .refusedGives({}, QStringLiteral("half of maxThreads, at least 6, is used instead")),
         ConfigKey::integer(QStringLiteral("writeTimeout"), 1, maxInt, 60000),
         ConfigKey::integer(QStringLiteral("maxHeaderSize"), 256, maxInt, 16384),
         ConfigKey::integer(QStringLiteral("maxRequestSize"), 0, maxInt64, 16 * 1024 * 1024),
         ConfigKey::integer(QStringLiteral("maxMultiPartSize"), 0, maxInt64,
                            qint64(1024) * 1024 * 1024),
         ConfigKey::integer(QStringLiteral("maxParameters"), 1, maxInt, 10000),
         ConfigKey::text(QStringLiteral("uploadDir")),
         ConfigKey::ofKind(Kind::Addresses, QStringLiteral("trustedProxies"), QStringList())});
    return group;
}

const ConfigGroup& HttpServerConfig::sessions()
{
    static const ConfigGroup group(
        QStringLiteral("sessions"),
        {ConfigKey::integer(QStringLiteral("expirationTime"), 1, maxLifetimeMs, 3600000),
         ConfigKey::ofKind(ConfigKey::Kind::Token, QStringLiteral("cookieName"),
                           QStringLiteral("sessionid")),
         ConfigKey::text(QStringLiteral("cookiePath"), QStringLiteral("/")),
         ConfigKey::text(QStringLiteral("cookieDomain")),
         ConfigKey::integer(QStringLiteral("maxEmptySessions"), 1, maxInt, 1000)});
    return group;
}

const ConfigGroup& HttpServerConfig::docroot()
{
    static const ConfigGroup group(
        QStringLiteral("docroot"),
        {ConfigKey::text(QStringLiteral("path"), QStringLiteral(".")),
         ConfigKey::text(QStringLiteral("encoding"), QStringLiteral("UTF-8")),
         ConfigKey::integer(QStringLiteral("maxAge"), 0, maxInt, 60000)});
    return group;
}
