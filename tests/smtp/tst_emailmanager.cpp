// The e-mail queue worker on the test's thread against a scripted SMTP peer: an account that is
// not configured, the bounded queue, one mail per check, and the booking of failed attempts.
#include "EmailManager.h"
#include "FakeSmtpServer.h"
#include "TestDatabase.h"

#include <memory>

class TestEmailManager : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void withoutAnAccountEveryMailIsDroppedWithALine();
    void theQueueHoldsAHundredMails();
    void oneMailPerCheck();
    void failedAttempts_data();
    void failedAttempts();

private:
    void account(quint16 port, const QString& server = QStringLiteral("127.0.0.1"));
    static EmailManager::Mail2Send mail(const QString& subject)
    {
        return EmailManager::Mail2Send{{QStringLiteral("a@x"), QStringLiteral("b@x")},
                                       subject,
                                       QStringLiteral("<p>alarm</p>"),
                                       0};
    }
    static QStringList lines(const char* type)
    {
        return TestDatabase::column(
            QStringLiteral("SELECT message FROM Logs WHERE type = '%1' ORDER BY idLogs")
                .arg(QLatin1String(type)));
    }

    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<EmailManager> worker;
};

void TestEmailManager::init()
{
    db = std::make_unique<TestDatabase>();
    worker = std::make_unique<EmailManager>();
}

void TestEmailManager::cleanup()
{
    worker.reset();
    db.reset();
}

void TestEmailManager::account(quint16 port, const QString& server)
{
    QSqlQuery q(Database::connection());
    QVERIFY(Database::exec(q,
                           "UPDATE SMTP SET serverName = ?, port = ?, security = 0, "
                           "username = '', sourceEmailAddress = 's@x'",
                           {server, port}));
    worker->initConfig();
}

void TestEmailManager::withoutAnAccountEveryMailIsDroppedWithALine()
{
    account(25, QString());
    worker->addMail2Queue(mail(QStringLiteral("one")));
    worker->addMail2Queue(mail(QStringLiteral("two")));
    QVERIFY(worker->queuedMails().isEmpty());
    QCOMPARE(lines("warn"), (QStringList{"SMTP not configured.", "SMTP not configured."}));
}

void TestEmailManager::theQueueHoldsAHundredMails()
{
    account(25);
    for (int i = 0; i < 101; ++i)
        worker->addMail2Queue(mail(QString::number(i)));
    const QList<EmailManager::Mail2Send> queued = worker->queuedMails();
    QCOMPARE(queued.size(), 100);
    QCOMPARE(queued.last().subject, QStringLiteral("99"));
    QCOMPARE(lines("warn"), QStringList());
}

void TestEmailManager::oneMailPerCheck()
{
    FakeSmtpServer server("220 hi", FakeSmtpServer::accepting({}));
    account(server.port());
    worker->addMail2Queue(mail(QStringLiteral("first")));
    worker->addMail2Queue(mail(QStringLiteral("second")));
    worker->checkQueue();
    // The first went; the second moved into its place after the index had passed it.
    QCOMPARE(worker->queuedMails().size(), 1);
    QCOMPARE(worker->queuedMails().first().subject, QStringLiteral("second"));
    worker->checkQueue();
    QVERIFY(worker->queuedMails().isEmpty());
    QCOMPARE(lines("info"), (QStringList{"Mail send", "Mail send"}));
    QCOMPARE(lines("warn"), QStringList());

    const QByteArrayList received = server.received();
    QCOMPARE(received.count("RCPT TO:<a@x>"), 2);
    QCOMPARE(received.count("QUIT"), 2);
    const QByteArray message = received.at(received.indexOf("DATA") + 1);
    QVERIFY(message.contains("From: \"Korvalen\" <s@x>\r\n"));
    QVERIFY(message.contains("To: <a@x>,\r\n <b@x>\r\n"));
    QVERIFY(message.contains("Subject: first\r\n"));
    const QByteArray body = QByteArray::fromBase64(message.mid(message.indexOf("\r\n\r\n") + 4));
    QCOMPARE(body, QByteArray("<!DOCTYPE html><html><head><meta http-equiv=\"Content-Type\" "
                              "content=\"text/html; charset=UTF-8\" /></head><body><p>alarm</p>"
                              "</body></html>"));
}

void TestEmailManager::failedAttempts_data()
{
    QTest::addColumn<int>("failures"); // how many attempts the server refuses
    QTest::addColumn<QStringList>("info");
    QTest::addColumn<QStringList>("warn");
    QTest::newRow("once, then sent") << 1 << QStringList{"Mail send"} << QStringList{};
    QTest::newRow("twice, then sent") << 2 << QStringList{"Mail send"} << QStringList{};
    QTest::newRow("three times: given up")
        << 3 << QStringList{} << QStringList{"Unable to send mail. ()"};
}

void TestEmailManager::failedAttempts()
{
    QFETCH(int, failures);
    QFETCH(QStringList, info);
    QFETCH(QStringList, warn);
    auto refused = std::make_shared<int>(0);
    const auto accepting = FakeSmtpServer::accepting({});
    FakeSmtpServer server("220 hi", [=](const QByteArray& c) -> QByteArray {
        if (c.startsWith("MAIL") && *refused < failures) {
            ++*refused;
            return "451 try later";
        }
        return accepting(c);
    });
    account(server.port());
    worker->addMail2Queue(mail(QStringLiteral("m")));
    for (int check = 1; check <= 3; ++check) {
        worker->checkQueue();
        if (check < 3 && check <= failures)
            QCOMPARE(worker->queuedMails().value(0).attempts, short(check));
    }
    QVERIFY(worker->queuedMails().isEmpty());
    QCOMPARE(lines("info"), info);
    QCOMPARE(lines("warn"), warn);
}

QTEST_GUILESS_MAIN(TestEmailManager)
#include "tst_emailmanager.moc"
