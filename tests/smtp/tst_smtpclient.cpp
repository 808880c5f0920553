// The SMTP client library against a scripted peer: time-outs of every step (the name lookup
// included), authentication, the name given in EHLO, replies the client must refuse, the
// STARTTLS requirement, address checks, and the message as it goes over the wire (headers,
// RFC 2047 words, base64 bodies).
#include "EmailAddress.h"
#include "FakeSmtpServer.h"
#include "MimeHtml.h"
#include "MimeMessage.h"
#include "MimeText.h"
#include "SmtpClient.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryFile>
#include <QUdpSocket>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int TimeoutMs = 300;

struct Client
{
    explicit Client(const FakeSmtpServer& server,
                    SmtpClient::ConnectionType type = SmtpClient::TcpConnection)
        : smtp(QStringLiteral("127.0.0.1"), server.port(), type)
    {
        smtp.setConnectionTimeout(TimeoutMs);
        smtp.setResponseTimeout(TimeoutMs);
        smtp.setSendMessageTimeout(TimeoutMs);
        smtp.setUser(QStringLiteral("ann"));
        smtp.setPassword(QStringLiteral("pw"));
    }
    SmtpClient smtp;
};

// A message from s@x to a@x with a plain-text body.
struct Message
{
    Message()
    {
        message.setSender(&sender);
        message.addRecipient(&to);
        message.setSubject(QStringLiteral("Subject"));
        message.addPart(&text);
    }
    MimeMessage message;
    EmailAddress sender{QStringLiteral("s@x"), QStringLiteral("Korvalen")};
    EmailAddress to{QStringLiteral("a@x")};
    MimeText text{QStringLiteral("hello\n")};
};

FakeSmtpServer::Rule silentFrom(const QByteArray& prefix, const FakeSmtpServer::Rule& rule)
{
    return [prefix, rule](const QByteArray& command) {
        return command.toUpper().startsWith(prefix) ? QByteArray() : rule(command);
    };
}

// The message's header fields, unfolded, by name; the body after the empty line.
QMap<QByteArray, QByteArray> headers(const QByteArray& message, QByteArray* body = nullptr)
{
    const int end = message.indexOf("\r\n\r\n");
    if (body)
        *body = message.mid(end + 4);
    QByteArray head = message.left(end);
    head.replace("\r\n ", " ");
    QMap<QByteArray, QByteArray> out;
    for (const QByteArray& line : head.split('\n')) {
        const QByteArray l = line.endsWith('\r') ? line.left(line.size() - 1) : line;
        const int colon = l.indexOf(':');
        if (!out.contains(l.left(colon)))
            out.insert(l.left(colon), l.mid(colon + 2));
    }
    return out;
}

// The text of a header value with its RFC 2047 words decoded (blanks between words dropped).
QString decoded(const QByteArray& value)
{
    static const QRegularExpression word(QStringLiteral("^=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=$"));
    QStringList parts;
    QByteArray pending;
    for (const QByteArray& token : value.split(' ')) {
        const QRegularExpressionMatch m = word.match(QString::fromLatin1(token));
        if (m.hasMatch()) {
            pending += QByteArray::fromBase64(m.captured(1).toLatin1());
            continue;
        }
        if (!pending.isEmpty())
            parts << QString::fromUtf8(pending);
        pending.clear();
        parts << QString::fromLatin1(token);
    }
    if (!pending.isEmpty())
        parts << QString::fromUtf8(pending);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestSmtpClient : public QObject
{
    Q_OBJECT
private slots:
    void everyStepIsBounded_data();
    void everyStepIsBounded();
    void authentication_data();
    void authentication();
    void heloWhenEhloIsUnknown();
    void ehloDomains_data();
    void ehloDomains();
    void ehloNamesTheClient_data();
    void ehloNamesTheClient();
    void hostNames_data();
    void hostNames();
    void nameLookupIsWithinTheConnectionTimeOut();
    void refusedReplies_data();
    void refusedReplies();
    void starttlsIsRequired_data();
    void starttlsIsRequired();
    void connectionsThatCannotWork();
    void addressesAreCheckedBeforeAnythingIsSent_data();
    void addressesAreCheckedBeforeAnythingIsSent();
    void theExchangeAndTheMessage();
    void subjects_data();
    void subjects();
    void reconnectsAfterDisconnect();
};

void TestSmtpClient::everyStepIsBounded_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("silentAt");
    QTest::addColumn<QString>("failing");
    QTest::newRow("greeting") << QByteArray() << QByteArray("-") << "connect";
    QTest::newRow("EHLO") << QByteArray("220 hi") << QByteArray("EHLO") << "connect";
    QTest::newRow("AUTH") << QByteArray("220 hi") << QByteArray("AUTH") << "login";
    QTest::newRow("MAIL") << QByteArray("220 hi") << QByteArray("MAIL") << "send";
    QTest::newRow("RCPT") << QByteArray("220 hi") << QByteArray("RCPT") << "send";
    QTest::newRow("end of the message") << QByteArray("220 hi") << QByteArray(".") << "send";
}

void TestSmtpClient::everyStepIsBounded()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, silentAt);
    QFETCH(QString, failing);
    FakeSmtpServer server(greeting,
                          silentFrom(silentAt, FakeSmtpServer::accepting({"AUTH PLAIN"})));
    Client c(server);
    Message m;
    QElapsedTimer t;
    t.start();
    bool ok = c.smtp.connectToHost();
    if (ok) {
        QVERIFY(failing != QLatin1String("connect"));
        t.restart();
        ok = c.smtp.login();
        if (ok) {
            QVERIFY(failing == QLatin1String("send"));
            t.restart();
            ok = c.smtp.sendMail(m.message);
        }
    }
    QVERIFY(!ok);
    // Well below the default time-outs of 15 s, with room for a busy machine.
    QVERIFY2(t.elapsed() >= TimeoutMs - 50 && t.elapsed() < 10000,
             qPrintable(QString::number(t.elapsed())));
    QCOMPARE(c.smtp.lastError(), QStringLiteral("no reply within %1 ms").arg(TimeoutMs));
}

void TestSmtpClient::authentication_data()
{
    QTest::addColumn<QByteArrayList>("extensions");
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArrayList>("sent"); // after EHLO
    const QByteArray plain = "AUTH PLAIN " + QByteArray("\0ann\0pw", 7).toBase64();
    const QByteArrayList login{"AUTH LOGIN", "YW5u", "cHc="};
    QTest::newRow("PLAIN first") << QByteArrayList{"SIZE 100", "AUTH LOGIN PLAIN"} << "ann" << true
                                 << QByteArrayList{plain};
    QTest::newRow("LOGIN only") << QByteArrayList{"AUTH LOGIN"} << "ann" << true << login;
    QTest::newRow("older form") << QByteArrayList{"AUTH=LOGIN"} << "ann" << true << login;
    QTest::newRow("lower case") << QByteArrayList{"auth plain"} << "ann" << true
                                << QByteArrayList{plain};
    QTest::newRow("no user name: no AUTH")
        << QByteArrayList{"AUTH PLAIN"} << "" << true << QByteArrayList{};
    QTest::newRow("neither offered")
        << QByteArrayList{"AUTH CRAM-MD5"} << "ann" << false << QByteArrayList{};
    QTest::newRow("AUTH not offered") << QByteArrayList{} << "ann" << false << QByteArrayList{};
}

void TestSmtpClient::authentication()
{
    QFETCH(QByteArrayList, extensions);
    QFETCH(QString, user);
    QFETCH(bool, ok);
    QFETCH(QByteArrayList, sent);
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting(extensions));
    Client c(server);
    c.smtp.setUser(user);
    QVERIFY(c.smtp.connectToHost());
    QCOMPARE(c.smtp.login(), ok);
    c.smtp.disconnect();
    QTRY_COMPARE(server.received().mid(1), sent);
}

void TestSmtpClient::heloWhenEhloIsUnknown()
{
    const auto accepting = FakeSmtpServer::accepting({});
    FakeSmtpServer server("220 hi", [accepting](const QByteArray& c) -> QByteArray {
        if (c.startsWith("EHLO"))
            return "502 what?";
        if (c.startsWith("HELO"))
            return "250 hello";
        return accepting(c);
    });
    Client c(server);
    c.smtp.setUser(QString());
    Message m;
    QVERIFY(c.smtp.connectToHost());
    QVERIFY(c.smtp.login());
    QVERIFY(c.smtp.sendMail(m.message));
    const QByteArrayList received = server.received();
    QVERIFY(received.at(0).startsWith("EHLO "));
    QVERIFY(received.at(1).startsWith("HELO "));
    QCOMPARE(received.at(1).mid(5), received.at(0).mid(5));
}

void TestSmtpClient::ehloDomains_data()
{
    QTest::addColumn<QString>("hostName");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QByteArray>("domain");
    const QString v4 = QStringLiteral("192.0.2.7");
    QTest::newRow("fully qualified") << "mail.example.com" << v4 << QByteArray("mail.example.com");
    QTest::newRow("two labels") << "localhost.localdomain" << v4
                                << QByteArray("localhost.localdomain");
    QTest::newRow("the root's dot") << "mail.example.com." << v4 << QByteArray("mail.example.com");
    QTest::newRow("hyphens and digits") << "pc-01.plant2.example" << v4
                                        << QByteArray("pc-01.plant2.example");
    QTest::newRow("one label") << "vm" << v4 << QByteArray("[192.0.2.7]");
    QTest::newRow("no name") << "" << v4 << QByteArray("[192.0.2.7]");
    QTest::newRow("an IPv4 address as name") << "192.168.1.10" << v4 << QByteArray("[192.0.2.7]");
    QTest::newRow("empty label") << "a..example" << v4 << QByteArray("[192.0.2.7]");
    QTest::newRow("label starting with a hyphen") << "-a.example" << v4
                                                  << QByteArray("[192.0.2.7]");
    QTest::newRow("underscore") << "host_1.example" << v4 << QByteArray("[192.0.2.7]");
    QTest::newRow("label of 64") << QString(64, QLatin1Char('a')) + QStringLiteral(".example") << v4
                                 << QByteArray("[192.0.2.7]");
    QTest::newRow("not ASCII") << "żółw.example" << v4 << QByteArray("[192.0.2.7]");
    QTest::newRow("IPv6") << "vm"
                          << "2001:db8::1" << QByteArray("[IPv6:2001:db8::1]");
    QTest::newRow("IPv6 loopback") << "vm"
                                   << "::1" << QByteArray("[IPv6:::1]");
    QTest::newRow("IPv6 with its interface") << "vm"
                                             << "fe80::1%lo" << QByteArray("[IPv6:fe80::1]");
    QTest::newRow("IPv4 mapped into IPv6") << "vm"
                                           << "::ffff:192.0.2.7" << QByteArray("[192.0.2.7]");
}

void TestSmtpClient::ehloDomains()
{
    QFETCH(QString, hostName);
    QFETCH(QString, local);
    QFETCH(QByteArray, domain);
    QCOMPARE(SmtpClient::ehloDomain(hostName, QHostAddress(local)), domain);
}

void TestSmtpClient::ehloNamesTheClient_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QByteArray>("literal");
    QTest::newRow("IPv4") << "127.0.0.1" << QByteArray("[127.0.0.1]");
    QTest::newRow("IPv6") << "::1" << QByteArray("[IPv6:::1]");
}

void TestSmtpClient::ehloNamesTheClient()
{
    QFETCH(QString, peer);
    QFETCH(QByteArray, literal);
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting({}), QHostAddress(peer));
    if (server.port() == 0)
        QSKIP("no such loopback address here");
    SmtpClient smtp(peer, server.port());
    smtp.setConnectionTimeout(TimeoutMs);
    smtp.setResponseTimeout(TimeoutMs);
    QVERIFY2(smtp.connectToHost(), qPrintable(smtp.lastError()));
    smtp.disconnect();
    QTRY_VERIFY(!server.received().isEmpty());
    const QByteArray domain = server.received().first().mid(5);
    // This machine's name when it is fully qualified (which "vm" or "localhost" are not), else
    // the address the connection comes from.
    QCOMPARE(domain, SmtpClient::ehloDomain(QSysInfo::machineHostName(), QHostAddress(peer)));
    QVERIFY2(domain == literal || domain.contains('.'), domain.constData());
}

void TestSmtpClient::refusedReplies_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("ehloReply");
    QTest::newRow("not a reply") << QByteArray("hello") << QByteArray();
    QTest::newRow("code too short") << QByteArray("22 hi") << QByteArray();
    QTest::newRow("no service") << QByteArray("554 no service") << QByteArray();
    QTest::newRow("endless line") << QByteArray("220 " + QByteArray(6000, 'x')) << QByteArray();
    QTest::newRow("codes that differ") << QByteArray("220 hi") << QByteArray("250-a\r\n251 b");
    QTest::newRow("EHLO and HELO refused") << QByteArray("220 hi") << QByteArray("550 go away");
}

void TestSmtpClient::refusedReplies()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, ehloReply);
    FakeSmtpServer server(greeting, [ehloReply](const QByteArray&) { return ehloReply; });
    Client c(server);
    QVERIFY(!c.smtp.connectToHost());
    QVERIFY(!c.smtp.lastError().isEmpty());
    QVERIFY(!c.smtp.login());
}

void TestSmtpClient::starttlsIsRequired_data()
{
    QTest::addColumn<QByteArrayList>("extensions");
    QTest::addColumn<QByteArray>("starttlsReply");
    QTest::addColumn<QByteArrayList>("sent");
    QTest::newRow("not offered") << QByteArrayList{"AUTH PLAIN"} << QByteArray("220 go")
                                 << QByteArrayList{"EHLO"};
    QTest::newRow("refused") << QByteArrayList{"STARTTLS", "AUTH PLAIN"}
                             << QByteArray("454 TLS not available")
                             << QByteArrayList{"EHLO", "STARTTLS"};
    QTest::newRow("no hand-shake follows")
        << QByteArrayList{"STARTTLS", "AUTH PLAIN"} << QByteArray("220 go")
        << QByteArrayList{"EHLO", "STARTTLS"};
}

void TestSmtpClient::starttlsIsRequired()
{
    QFETCH(QByteArrayList, extensions);
    QFETCH(QByteArray, starttlsReply);
    QFETCH(QByteArrayList, sent);
    const auto accepting = FakeSmtpServer::accepting(extensions);
    FakeSmtpServer server("220 hi", [=](const QByteArray& c) {
        return c == "STARTTLS" ? starttlsReply : accepting(c);
    });
    Client c(server, SmtpClient::TlsConnection);
    Message m;
    QVERIFY(!c.smtp.connectToHost());
    // Nothing else goes out in plain text.
    QVERIFY(!c.smtp.login());
    QVERIFY(!c.smtp.sendMail(m.message));
    const QByteArrayList received = server.received();
    QVERIFY2(received.size() >= sent.size(), received.join('|').constData());
    for (int i = 0; i < sent.size(); ++i)
        QVERIFY(received.at(i).startsWith(sent.at(i)));
    for (const QByteArray& line : received)
        QVERIFY2(!line.startsWith("AUTH") && !line.startsWith("MAIL"), line.constData());
}

void TestSmtpClient::hostNames_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QString>("error");
    QTest::newRow("an address") << "127.0.0.1" << true << QString();
    // Possibly ::1 first, where nothing listens: the next address is tried.
    QTest::newRow("a name with several addresses") << "localhost" << true << QString();
    QTest::newRow("a name that does not resolve")
        << "nosuch.invalid" << false << "cannot resolve nosuch.invalid";
}

void TestSmtpClient::hostNames()
{
    QFETCH(QString, host);
    QFETCH(bool, connects);
    QFETCH(QString, error);
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting({}));
    SmtpClient smtp(host, server.port());
    smtp.setConnectionTimeout(5000);
    QCOMPARE(smtp.connectToHost(), connects);
    QVERIFY2(smtp.lastError().startsWith(error), qPrintable(smtp.lastError()));
    QCOMPARE(server.connections(), connects ? 1 : 0);
}

void TestSmtpClient::nameLookupIsWithinTheConnectionTimeOut()
{
    // A resolver that never answers, for one child process: a mount namespace of its own in
    // which resolv.conf names a UDP socket that reads nothing. Needs root and unshare(1).
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        QSKIP("a mount namespace needs root and unshare");
    QUdpSocket resolver;
    QHostAddress address;
    for (quint32 last = 2; last < 255; ++last) {
        address = QHostAddress((127u << 24) | (53u << 8) | last);
        if (resolver.bind(address, 53))
            break;
    }
    if (resolver.state() != QAbstractSocket::BoundState)
        QSKIP("no loopback address with a free port 53");
    QTemporaryFile conf;
    QVERIFY(conf.open());
    conf.write("nameserver " + address.toString().toLatin1() + "\noptions timeout:10 attempts:1\n");
    conf.flush();

    constexpr int timeoutMs = 1000;
    QProcess child;
    child.start(QStringLiteral("unshare"),
                {"--mount", "--propagation", "private", "sh", "-c",
                 "mount --bind \"$0\" /etc/resolv.conf && exec \"$1\" --connect-probe \"$2\" \"$3\"",
                 conf.fileName(), QCoreApplication::applicationFilePath(), "mail.example.test",
                 QString::number(timeoutMs)});
    QVERIFY(child.waitForFinished(60000));
    const QStringList result = QString::fromUtf8(child.readAllStandardOutput()).split(' ');
    if (child.exitCode() != 0 || result.size() < 3)
        QSKIP(qPrintable(QStringLiteral("no mount namespace here: ") + child.readAllStandardError()));
    QVERIFY(resolver.hasPendingDatagrams()); // the lookup did ask the silent resolver
    QCOMPARE(result.at(0), QStringLiteral("0"));
    // The child's time includes the TLS library's start; the resolver alone would take 10 s.
    QVERIFY2(result.at(1).toInt() < timeoutMs + 3000, qPrintable(result.at(1)));
    QCOMPARE(result.mid(2).join(' '),
             QStringLiteral("cannot resolve mail.example.test within %1 ms").arg(timeoutMs));
}

void TestSmtpClient::connectionsThatCannotWork()
{
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting({}));
    SmtpClient unknownType(QStringLiteral("127.0.0.1"), server.port(),
                           static_cast<SmtpClient::ConnectionType>(5));
    QVERIFY(!unknownType.connectToHost());
    SmtpClient badPort(QStringLiteral("127.0.0.1"), 70000);
    QVERIFY(!badPort.connectToHost());
    SmtpClient zeroPort(QStringLiteral("127.0.0.1"), 0);
    QVERIFY(!zeroPort.connectToHost());
    QCOMPARE(server.connections(), 0);
    Message m;
    SmtpClient notConnected;
    QVERIFY(!notConnected.sendMail(m.message));
}

void TestSmtpClient::addressesAreCheckedBeforeAnythingIsSent_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QStringList>("recipients");
    QTest::newRow("a command in a recipient") << "s@x" << QStringList{"a@x>\r\nRCPT TO:<e@x"};
    QTest::newRow("a blank") << "s@x" << QStringList{"a b@x"};
    QTest::newRow("blanks around it") << "s@x" << QStringList{" a@x"};
    QTest::newRow("no domain") << "s@x" << QStringList{"a@"};
    QTest::newRow("no @") << "s@x" << QStringList{"postmaster"};
    QTest::newRow("not ASCII") << "s@x" << QStringList{"żółw@x"};
    QTest::newRow("the second of two") << "s@x" << QStringList{"a@x", "b@x\n"};
    QTest::newRow("no recipient") << "s@x" << QStringList{};
    QTest::newRow("empty sender") << "" << QStringList{"a@x"};
    QTest::newRow("sender with a command") << "s@x>\r\nDATA" << QStringList{"a@x"};
}

void TestSmtpClient::addressesAreCheckedBeforeAnythingIsSent()
{
    QFETCH(QString, sender);
    QFETCH(QStringList, recipients);
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting({}));
    Client c(server);
    c.smtp.setUser(QString());
    MimeMessage message;
    EmailAddress from(sender);
    message.setSender(&from);
    for (const QString& r : recipients)
        message.addRecipient(new EmailAddress(r, QString(), &message));
    QVERIFY(c.smtp.connectToHost());
    QVERIFY(!c.smtp.sendMail(message));
    c.smtp.disconnect();
    QTRY_COMPARE(server.received().size(), 1); // EHLO only
}

void TestSmtpClient::theExchangeAndTheMessage()
{
    FakeSmtpServer server("220-fake.test\r\n220 ready", FakeSmtpServer::accepting({"AUTH PLAIN"}));
    Client c(server);
    MimeMessage message(true);
    EmailAddress sender(QStringLiteral("s@x"), QStringLiteral("Korvalen"));
    EmailAddress a(QStringLiteral("a@x"));
    EmailAddress b(QStringLiteral("b@x"), QStringLiteral("Bé \"B\""));
    EmailAddress cc(QStringLiteral("c@x"));
    EmailAddress bcc(QStringLiteral("d@x"));
    message.setSender(&sender);
    message.addRecipient(&a);
    message.addRecipient(&b, MimeMessage::To);
    message.addRecipient(&cc, MimeMessage::Cc);
    message.addRecipient(&bcc, MimeMessage::Bcc);
    message.setSubject(QStringLiteral("Überlast"));
    MimeHtml html{QString()};
    html.setHtml(QStringLiteral("<p>line1\nline2\r\n.dot</p>\n"));
    message.addPart(&html);

    QVERIFY(c.smtp.connectToHost());
    QVERIFY(c.smtp.login());
    QVERIFY(c.smtp.sendMail(message));
    c.smtp.quit();
    QTRY_COMPARE(server.received().size(), 10);
    const QByteArrayList r = server.received();
    QCOMPARE(r.mid(2, 6), (QByteArrayList{"MAIL FROM:<s@x>", "RCPT TO:<a@x>", "RCPT TO:<b@x>",
                                          "RCPT TO:<c@x>", "RCPT TO:<d@x>", "DATA"}));
    QCOMPARE(r.at(9), QByteArray("QUIT"));

    QByteArray body;
    const auto h = headers(r.at(8), &body);
    QCOMPARE(h.value("From"), QByteArray("\"Korvalen\" <s@x>"));
    QCOMPARE(decoded(h.value("To")), QStringLiteral("<a@x>, Bé \"B\" <b@x>"));
    QCOMPARE(h.value("Cc"), QByteArray("<c@x>"));
    QVERIFY(!h.contains("Bcc"));
    QCOMPARE(decoded(h.value("Subject")), QStringLiteral("Überlast"));
    QVERIFY(QDateTime::fromString(QString::fromLatin1(h.value("Date")), Qt::RFC2822Date).isValid());
    QVERIFY(h.value("Message-ID").endsWith("@x>"));
    QCOMPARE(h.value("MIME-Version"), QByteArray("1.0"));
    QCOMPARE(h.value("Content-Type"), QByteArray("text/html; charset=utf-8"));
    QCOMPARE(h.value("Content-Transfer-Encoding"), QByteArray("base64"));
    for (const QByteArray& line : r.at(8).split('\n'))
        QVERIFY2(line.size() <= 78, line.constData());
    QCOMPARE(QByteArray::fromBase64(body), QByteArray("<p>line1\r\nline2\r\n.dot</p>\r\n"));
}

void TestSmtpClient::subjects_data()
{
    QTest::addColumn<QString>("subject");
    QTest::addColumn<bool>("raw");
    QTest::newRow("short ASCII") << "Alarm notification from Korvalen" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("UTF-8") << "Zażółć gęślą jaźń ⚡" << false;
    QTest::newRow("looks like a word") << "=?UTF-8?B?eA==?=" << false;
    QTest::newRow("a header in it") << "Hi\r\nBcc: e@x" << false;
    QTest::newRow("long ASCII") << QString(1200, QLatin1Char('a')) << false;
    QTest::newRow("long UTF-8") << QString(200, QChar(0x017C)) << false;
    QTest::newRow("four-byte characters") << QString::fromUtf8("😀").repeated(40) << false;
}

void TestSmtpClient::subjects()
{
    QFETCH(QString, subject);
    QFETCH(bool, raw);
    Message m;
    m.message.setSubject(subject);
    const QByteArray mime = m.message.toMime();
    const auto h = headers(mime);
    if (raw)
        QCOMPARE(h.value("Subject"), subject.toLatin1());
    else
        QVERIFY(h.value("Subject").startsWith("=?UTF-8?B?"));
    QCOMPARE(decoded(h.value("Subject")), subject);
    QCOMPARE(h.keys().count("Bcc"), 0);
    for (const QByteArray& line : mime.split('\n')) {
        if (!raw)
            QVERIFY2(line.size() <= 77, line.constData()); // 76 and the CR
    }
}

void TestSmtpClient::reconnectsAfterDisconnect()
{
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting({"AUTH PLAIN"}));
    Client c(server);
    Message m;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(c.smtp.connectToHost());
        QVERIFY(c.smtp.login());
        QVERIFY(c.smtp.sendMail(m.message));
        c.smtp.quit();
        c.smtp.disconnect();
    }
    QTRY_COMPARE(server.connections(), 2);
}

// "--connect-probe HOST TIMEOUT_MS": one connection attempt to port 25, as the test of the name
// lookup runs it in a namespace of its own; prints "<connected> <elapsed ms> <last error>".
int connectProbe(const QString& host, int timeoutMs)
{
    SmtpClient smtp(host, 25);
    smtp.setConnectionTimeout(timeoutMs);
    QElapsedTimer t;
    t.start();
    const bool connected = smtp.connectToHost();
    std::printf("%d %lld %s", int(connected), qint64(t.elapsed()), qPrintable(smtp.lastError()));
    std::fflush(stdout);
    // Without waiting for the lookup that still runs: the resolver never answers.
    std::_Exit(0);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--connect-probe") == 0)
        return connectProbe(QString::fromLocal8Bit(argv[2]), atoi(argv[3]));
    TestSmtpClient test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_smtpclient.moc"
