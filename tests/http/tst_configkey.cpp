#include "ConfigKey.h"
#include "HttpListenerSettings.h"
#include "HttpServerConfig.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The keys of the server's groups as config.ini gives them: what a reader takes, and why the
// check refuses the rest. Values go through a real file, as QSettings reads it at start.
class TestConfigKey : public QObject
{
    Q_OBJECT

private slots:
    void readAndChecked_data();
    void readAndChecked();
    void perAddressShareFollowsMaxThreads_data();
    void perAddressShareFollowsMaxThreads();

private:
    std::unique_ptr<QSettings> group(const QByteArray& group, const QByteArray& lines);
    QTemporaryDir m_dir;
    int m_files = 0;
};

std::unique_ptr<QSettings> TestConfigKey::group(const QByteArray& name, const QByteArray& lines)
{
    const QString path = m_dir.filePath(QStringLiteral("config%1.ini").arg(++m_files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return nullptr;
    file.write("[" + name + "]\n" + lines + "\n");
    file.close();
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    settings->beginGroup(QString::fromLatin1(name));
    return settings;
}

void TestConfigKey::readAndChecked_data()
{
    QTest::addColumn<QByteArray>("groupName");
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");   // what the reader gets; invalid: goes without
    QTest::addColumn<QString>("problem");  // what the check says, empty: nothing

    const QVariant none;
    QTest::newRow("port") << QByteArray("listener") << QByteArray("port=8080") << "port"
                          << QVariant(8080) << QString();
    QTest::newRow("port with zeros and blanks") << QByteArray("listener") << QByteArray("port= 0080 ")
                                                << "port" << QVariant(80) << QString();
    QTest::newRow("port 0: any free one") << QByteArray("listener") << QByteArray("port=0")
                                          << "port" << QVariant(0) << QString();
    QTest::newRow("port absent") << QByteArray("listener") << QByteArray("host=") << "port"
                                 << QVariant(8080) << QString();
    const QString notPort = QStringLiteral("is not a whole number from 0 to 65535");
    QTest::newRow("port with a typo") << QByteArray("listener") << QByteArray("port=80x90")
                                      << "port" << none << notPort;
    QTest::newRow("port empty") << QByteArray("listener") << QByteArray("port=") << "port" << none
                                << notPort;
    QTest::newRow("port too large") << QByteArray("listener") << QByteArray("port=70000")
                                    << "port" << none << notPort;
    QTest::newRow("port negative") << QByteArray("listener") << QByteArray("port=-80") << "port"
                                   << none << notPort;
    QTest::newRow("two ports") << QByteArray("listener") << QByteArray("port=80,90") << "port"
                               << none << notPort;
    QTest::newRow("host localhost") << QByteArray("listener") << QByteArray("host=localhost")
                                    << "host" << QVariant("localhost") << QString();
    QTest::newRow("host IPv6") << QByteArray("listener") << QByteArray("host=::1") << "host"
                               << QVariant("::1") << QString();
    QTest::newRow("host a name") << QByteArray("listener") << QByteArray("host=capture") << "host"
                                 << none
                                 << QStringLiteral("is not an IPv4 or IPv6 address, nor localhost");
    const QString notThreads = QStringLiteral("is not a whole number from 1 to 10000");
    QTest::newRow("threads in words") << QByteArray("listener") << QByteArray("maxThreads=lots")
                                      << "maxThreads" << QVariant(100) << notThreads;
    QTest::newRow("no threads") << QByteArray("listener") << QByteArray("maxThreads=0")
                                << "maxThreads" << QVariant(100) << notThreads;
    QTest::newRow("share in words")
        << QByteArray("listener") << QByteArray("maxConnectionsPerAddress=half")
        << "maxConnectionsPerAddress" << none << QStringLiteral("is not a whole number from 1 to");
    QTest::newRow("largest body") << QByteArray("listener")
                                  << QByteArray("maxRequestSize=9223372036854775807")
                                  << "maxRequestSize" << QVariant(Q_INT64_C(9223372036854775807))
                                  << QString();
    QTest::newRow("negative body") << QByteArray("listener") << QByteArray("maxRequestSize=-1")
                                   << "maxRequestSize" << QVariant(16 * 1024 * 1024)
                                   << QStringLiteral("is not a whole number of 0 or more");
    QTest::newRow("proxies, one no address")
        << QByteArray("listener") << QByteArray("trustedProxies=nonsense, ::1") << "trustedProxies"
        << QVariant(QStringList{"::1"})
        << QStringLiteral("holds \"nonsense\", which is no IPv4 or IPv6 address");
    QTest::newRow("proxy no address") << QByteArray("listener")
                                      << QByteArray("trustedProxies=nonsense") << "trustedProxies"
                                      << QVariant(QStringList()) << "is no IPv4 or IPv6 address";
    QTest::newRow("cookie name with a blank")
        << QByteArray("sessions") << QByteArray("cookieName=my session") << "cookieName"
        << QVariant("sessionid") << QStringLiteral("is empty or holds a blank");
    QTest::newRow("cookie name with a separator")
        << QByteArray("sessions") << QByteArray("cookieName=\"id;x\"") << "cookieName"
        << QVariant("sessionid") << QStringLiteral("is empty or holds a blank");
    QTest::newRow("cookie name") << QByteArray("sessions") << QByteArray("cookieName=sid_2")
                                 << "cookieName" << QVariant("sid_2") << QString();
    QTest::newRow("path with a comma") << QByteArray("docroot") << QByteArray("path=www, old")
                                       << "path" << QVariant("www, old") << QString();
    QTest::newRow("max-age in minutes") << QByteArray("docroot") << QByteArray("maxAge=1min")
                                        << "maxAge" << QVariant(60000)
                                        << QStringLiteral("is not a whole number from 0 to");
}

void TestConfigKey::readAndChecked()
{
    QFETCH(QByteArray, groupName);
    QFETCH(QByteArray, lines);
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QString, problem);

    const ConfigGroup& keys = groupName == "listener" ? HttpServerConfig::listener()
                              : groupName == "sessions" ? HttpServerConfig::sessions()
                                                        : HttpServerConfig::docroot();
    const std::unique_ptr<QSettings> settings = group(groupName, lines);
    QVERIFY(settings);
    const QVariant read = keys.value(settings.get(), key);
    QCOMPARE(read.isValid(), value.isValid());
    if (value.isValid())
        QCOMPARE(read.userType() == QMetaType::QStringList ? read : QVariant(read.toString()),
                 value.userType() == QMetaType::QStringList ? value : QVariant(value.toString()));

    const QString said =
        settings->contains(key) ? keys.find(key)->problem(settings->value(key)) : QString();
    if (problem.isEmpty())
        QVERIFY2(said.isEmpty(), qPrintable(said));
    else
        QVERIFY2(said.startsWith(problem), qPrintable(said));
}

void TestConfigKey::perAddressShareFollowsMaxThreads_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<int>("maxThreads");
    QTest::addColumn<int>("perAddress");

    QTest::newRow("defaults") << QByteArray() << 100 << 50;
    QTest::newRow("few threads: a browser's six") << QByteArray("maxThreads=10") << 10 << 6;
    QTest::newRow("fewer threads than six") << QByteArray("maxThreads=4") << 4 << 4;
    QTest::newRow("share above the threads") << QByteArray("maxThreads=10\nmaxConnectionsPerAddress=50")
                                             << 10 << 10;
    QTest::newRow("share refused: computed")
        << QByteArray("maxThreads=lots\nmaxConnectionsPerAddress=0") << 100 << 50;
}

void TestConfigKey::perAddressShareFollowsMaxThreads()
{
    QFETCH(QByteArray, lines);
    QFETCH(int, maxThreads);
    QFETCH(int, perAddress);
    const std::unique_ptr<QSettings> settings = group("listener", lines);
    QVERIFY(settings);
    const HttpListenerSettings s = HttpListenerSettings::fromSettings(settings.get());
    QCOMPARE(s.maxThreads, maxThreads);
    QCOMPARE(s.maxConnectionsPerAddress, perAddress);
}

QTEST_GUILESS_MAIN(TestConfigKey)
#include "tst_configkey.moc"
