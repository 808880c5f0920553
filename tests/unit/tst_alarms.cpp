// The alarm engine: states and transitions, placeholders, samples as the script sees them, mail
// conditions and contents, the list and the confirmations, bounded expressions and the pass
// thread. One device (3) with register 100 "U1" (idParameters 57) and register 101 "I1" (58).
#include "Alarms.h"
#include "EmailManager.h"
#include "Logs.h"
#include "TestDatabase.h"
#include "globals.h"
#include "polling/ReadBuffer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>

namespace {
const QByteArray Success = "{\"success\":true}";
const QByteArray NotFound = "{\"error\":true,\"message\":\"Didn't found alarm id\"}";
const char* const TimeFormat = "yyyy-MM-dd hh:mm:ss";
} // namespace

class TestAlarms : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void transitions_data();
    void transitions();
    void placeholders_data();
    void placeholders();
    void samplesAsTheScriptReadsThem_data();
    void samplesAsTheScriptReadsThem();
    void mailConditions_data();
    void mailConditions();
    void mailContents();
    void listEscapesNamesAndDescriptions();
    void confirmations();
    void anEmptyEngine();
    void anEndlessExpressionIsStoppedAndReportedOnce();
    void ticksRunPassesOnTheirOwnThread();
    void theStopDoesNotWaitForAPass();

private:
    static void exec(const QString& sql) { QVERIFY2(TestDatabase::exec(sql), qPrintable(sql)); }
    static void addAlarm(const QString& expOn, const QString& expOff, int mailCond = 0,
                         const QString& name = QStringLiteral("A"),
                         const QString& desc = QStringLiteral("d"),
                         const QString& recipients = QStringLiteral("a@x"),
                         const QString& subject = QString());
    // A pass over parameter 57 with the sample (58 holds a valid 0).
    void pass(double value, int flag = 0);
    QByteArray confirm(const QString& id);
    QJsonArray list();
    int state(int id = 1);
    static QStringList logLines(const char* type);
    QList<EmailManager::Mail2Send> mails() { return mailer->queuedMails(); }
    // The live values of the device's parameters, as a polling run holds them.
    static std::unique_ptr<ReadBuffer> liveValues()
    {
        QSqlQuery params(Database::connection());
        params.exec(QStringLiteral("SELECT idParameters, idDevice, regAddr, archInterval, unit "
                                   "FROM ConfiguredParameters"));
        return std::make_unique<ReadBuffer>(params, nullptr);
    }
    static QString logged(const QString& text) { return Logs::escapeLogMessage(text); }

    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<EmailManager> mailer;
    std::unique_ptr<Alarms> alarms;
};

void TestAlarms::init()
{
    db = std::make_unique<TestDatabase>();
    exec("INSERT INTO Devices (idDevices, name, connectionType, idOfConnection, isActive) "
         "VALUES (3, 'meter', 'tcp', 1, 1)");
    exec("INSERT INTO ConfiguredParameters (idParameters, idDevice, nameId, regAddr, archInterval) "
         "VALUES (57, 3, 'U1', 100, 0), (58, 3, 'I1', 101, 0)");
    exec("UPDATE SMTP SET serverName = 'smtp.test', sourceEmailAddress = 's@x'");
    // The mail worker stays on this thread: queued mails arrive with the next processEvents().
    mailer = std::make_unique<EmailManager>();
    mailer->initConfig();
    g_emailManager = mailer.get();
    alarms = std::make_unique<Alarms>();
}

void TestAlarms::cleanup()
{
    alarms->clear();
    alarms.reset();
    g_emailManager = nullptr;
    mailer.reset();
    db.reset();
}

void TestAlarms::addAlarm(const QString& expOn, const QString& expOff, int mailCond,
                          const QString& name, const QString& desc, const QString& recipients,
                          const QString& subject)
{
    QSqlQuery q(Database::connection());
    QVERIFY(
        Database::exec(q,
                       "INSERT INTO Alarms (name, desc, priority, exp_on, exp_off, sedMailCond, "
                       "mailRecipients, mailSubject) VALUES (?, ?, 5, ?, ?, ?, ?, ?)",
                       {name, desc, expOn, expOff, mailCond, recipients, subject}));
}

void TestAlarms::pass(double value, int flag)
{
    Alarms::Samples samples;
    samples.insert(57, {value, 1000, flag});
    samples.insert(58, {0.0, 1000, 0});
    alarms->checkAlarms(&samples);
    QCoreApplication::processEvents();
}

QByteArray TestAlarms::confirm(const QString& id)
{
    t_GetArray get;
    if (!id.isNull())
        get.insert("id", id.toUtf8());
    return alarms->confirmAlarm_j(get);
}

QJsonArray TestAlarms::list()
{
    const QByteArray reply = alarms->getAlarmsStates_j();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        qWarning() << "not a JSON array:" << reply;
    return doc.array();
}

int TestAlarms::state(int id)
{
    for (const QJsonValue& a : list()) {
        if (a[QLatin1String("id")].toInt() == id)
            return a[QLatin1String("flag")].toInt();
    }
    return 0;
}

QStringList TestAlarms::logLines(const char* type)
{
    return TestDatabase::column(
        QStringLiteral("SELECT message FROM Logs WHERE type = '%1' ORDER BY idLogs")
            .arg(QLatin1String(type)));
}

// Steps: "<sample>:<state>" a pass with that value of register 100, "t:<state>" a pass where it
// timed out (flag 3), "c:<state>" a confirmation; the state is the one expected afterwards.
void TestAlarms::transitions_data()
{
    QTest::addColumn<QString>("expOn");
    QTest::addColumn<QString>("expOff");
    QTest::addColumn<QString>("steps");
    const QString on = QStringLiteral("{3$100} > 100");
    const QString off = QStringLiteral("{3$100} < 50");
    QTest::newRow("on only: ends, confirmed") << on << ""
                                              << "150:1 150:1 5:2 5:2 c:0 5:0";
    QTest::newRow("on only: confirmed while active") << on << ""
                                                     << "150:1 c:3 150:3 5:0 150:1";
    QTest::newRow("on only: ends when its sample goes") << on << ""
                                                        << "150:1 t:2 t:2";
    QTest::newRow("on only: ended activates again") << on << ""
                                                    << "150:1 5:2 150:1";
    QTest::newRow("both: a false on does not end it") << on << off << "150:1 80:1 40:2 40:2";
    QTest::newRow("both: ended activates again, confirmed, ends")
        << on << off << "150:1 40:2 150:1 c:3 80:3 40:0";
    QTest::newRow("both: stays active when its sample goes") << on << off << "150:1 t:1 40:2";
    QTest::newRow("both: the off-expression alone never activates") << on << off << "40:0 t:0";
    QTest::newRow("empty on-expression never activates") << ""
                                                         << ""
                                                         << "150:0 5:0";
    QTest::newRow("confirmations of states 0 and 3 change nothing") << on << ""
                                                                    << "c:0 150:1 c:3 c:3";
}

void TestAlarms::transitions()
{
    QFETCH(QString, expOn);
    QFETCH(QString, expOff);
    QFETCH(QString, steps);
    addAlarm(expOn, expOff);
    alarms->loadAlarms();
    int lines = 0;
    int previous = 0;
    for (const QString& step : steps.split(QLatin1Char(' '))) {
        const QString action = step.section(QLatin1Char(':'), 0, 0);
        const int expected = step.section(QLatin1Char(':'), 1).toInt();
        if (action == QLatin1String("c"))
            QCOMPARE(confirm(QStringLiteral("1")), Success);
        else if (action == QLatin1String("t"))
            pass(0, 3);
        else
            pass(action.toDouble());
        QVERIFY2(state() == expected,
                 qPrintable(step + QStringLiteral(" gave ") + QString::number(state())));
        if (action != QLatin1String("c") && expected != previous)
            ++lines; // every transition but a confirmation writes a line
        previous = expected;
    }
    QCOMPARE(logLines("alarm").size(), lines);
}

void TestAlarms::placeholders_data()
{
    QTest::addColumn<QString>("expOn");
    QTest::addColumn<QString>("expOff");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("flag");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("desc");
    auto unknown = [](const char* placeholder) {
        return QStringLiteral("*** INVALID CONFIGURATION (unknown parameter: %1) ***")
            .arg(QLatin1String(placeholder));
    };
    QTest::newRow("by register") << "{3$100} > 100"
                                 << "" << 150.0 << 0 << 1 << "d";
    QTest::newRow("by register, below") << "{3$100} > 100"
                                        << "" << 5.0 << 0 << 0 << "d";
    QTest::newRow("by nameId") << "{3$U1} > 100"
                               << "" << 150.0 << 0 << 1 << "d";
    QTest::newRow("both forms, each twice") << "{3$100} + {3$U1} + {3$100} == 3 * {3$U1}"
                                            << "" << 7.0 << 0 << 1 << "d";
    QTest::newRow("another parameter") << "{3$I1} == 0 && {3$101} == 0"
                                       << "" << 1.0 << 0 << 1 << "d";
    QTest::newRow("unknown register") << "{3$999} > 0"
                                      << "" << 1.0 << 0 << 1 << unknown("{3$999}");
    QTest::newRow("unknown device") << "{4$100} > 0"
                                    << "" << 1.0 << 0 << 1 << unknown("{4$100}");
    QTest::newRow("unknown nameId") << "{3$U9} > 0"
                                    << "" << 1.0 << 0 << 1 << unknown("{3$U9}");
    QTest::newRow("no dollar") << "{3100} > 0"
                               << "" << 1.0 << 0 << 1 << unknown("{3100}");
    QTest::newRow("two dollars") << "{3$1$00} > 0"
                                 << "" << 1.0 << 0 << 1 << unknown("{3$1$00}");
    QTest::newRow("device not a number") << "{x$100} > 0"
                                         << "" << 1.0 << 0 << 1 << unknown("{x$100}");
    QTest::newRow("quote in the nameId") << "{3$U1'} > 0"
                                         << "" << 1.0 << 0 << 1 << unknown("{3$U1'}");
    QTest::newRow("braces of a block") << "while(true){}"
                                       << "" << 1.0 << 0 << 1 << unknown("{}");
    QTest::newRow("no sample yet: the scan ends before the unknown one")
        << "{3$100} > 0 && {4$1} > 0"
        << "" << 1.0 << 1 << 0 << "d";
    QTest::newRow("valid sample: the unknown one is reported")
        << "{3$100} > 0 && {4$1} > 0"
        << "" << 1.0 << 0 << 1 << unknown("{4$1}");
    QTest::newRow("unknown only in the off-expression")
        << "{3$100} > 100"
        << "{9$9} > 0" << 5.0 << 0 << 1 << unknown("{9$9}");
    QTest::newRow("unknown in both: the on-expression's text")
        << "{8$8} > 0"
        << "{9$9} > 0" << 5.0 << 0 << 1 << unknown("{8$8}");
    QTest::newRow("a script error counts by its value") << "{3$100} >"
                                                        << "" << 5.0 << 0 << 1 << "d";
}

void TestAlarms::placeholders()
{
    QFETCH(QString, expOn);
    QFETCH(QString, expOff);
    QFETCH(double, value);
    QFETCH(int, flag);
    QFETCH(int, state);
    QFETCH(QString, desc);
    addAlarm(expOn, expOff);
    alarms->loadAlarms();
    pass(value, flag);
    QCOMPARE(this->state(), state);
    if (state == 1) {
        QCOMPARE(list().at(0)[QLatin1String("desc")].toString(), desc);
        QCOMPARE(logLines("alarm"),
                 QStringList{logged(QStringLiteral("Alarm \"A\" is <strong>active</strong> (") +
                                    desc + QLatin1Char(')'))});
        pass(value, flag); // an expression that cannot be evaluated keeps it active
        QCOMPARE(this->state(), 1);
    }
}

void TestAlarms::samplesAsTheScriptReadsThem_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expOn");
    QTest::newRow("2.5e+06") << 2500000.0 << "'{3$100}' == '2.5e+06'";
    QTest::newRow("0.5") << 0.5 << "'{3$100}' == '0.5'";
    QTest::newRow("six significant digits") << 1234567.0 << "'{3$100}' == '1.23457e+06'";
    QTest::newRow("small") << 0.00001 << "'{3$100}' == '1e-05'";
    QTest::newRow("nothing added around it") << -3.0 << "'x{3$100}x' == 'x-3x'";
    QTest::newRow("NaN never compares true")
        << std::numeric_limits<double>::quiet_NaN() << "!({3$100} > 0 || {3$100} <= 0)";
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << "{3$100} > 1e308";
}

void TestAlarms::samplesAsTheScriptReadsThem()
{
    QFETCH(double, value);
    QFETCH(QString, expOn);
    addAlarm(expOn, QString());
    alarms->loadAlarms();
    pass(value);
    QCOMPARE(state(), 1);
}

void TestAlarms::mailConditions_data()
{
    QTest::addColumn<int>("condition");
    QTest::addColumn<int>("atActivation");
    QTest::addColumn<int>("atEnd");
    QTest::newRow("0") << 0 << 0 << 0;
    QTest::newRow("1") << 1 << 1 << 0;
    QTest::newRow("2") << 2 << 0 << 1;
    QTest::newRow("3") << 3 << 1 << 1;
    QTest::newRow("other") << 7 << 0 << 0;
}

void TestAlarms::mailConditions()
{
    QFETCH(int, condition);
    QFETCH(int, atActivation);
    QFETCH(int, atEnd);
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), condition);
    alarms->loadAlarms();
    pass(150); // 0 -> 1
    QCOMPARE(mails().size(), atActivation);
    QCOMPARE(confirm(QStringLiteral("1")), Success); // 1 -> 3: no mail
    pass(5);                                         // 3 -> 0
    QCOMPARE(mails().size(), atActivation + atEnd);
    pass(150);                                       // 0 -> 1
    pass(5);                                         // 1 -> 2
    QCOMPARE(confirm(QStringLiteral("1")), Success); // 2 -> 0: no mail
    QCOMPARE(mails().size(), 2 * (atActivation + atEnd));
}

void TestAlarms::mailContents()
{
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), 3, QStringLiteral("N"),
             QStringLiteral("D"), QStringLiteral(" a@x,,b@x ,"), QString());
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), 1, QStringLiteral("S"),
             QStringLiteral("D"), QStringLiteral("c@x"), QStringLiteral("Own subject"));
    alarms->loadAlarms();
    pass(150);
    const QString setTime = list().at(0)[QLatin1String("setTime")].toString();
    QCOMPARE(mails().size(), 2);
    const EmailManager::Mail2Send active = mails().at(0);
    QCOMPARE(active.recipients, (QStringList{" a@x", "b@x "})); // empty items go, blanks stay
    QCOMPARE(active.subject, QStringLiteral("Alarm notification from Korvalen"));
    QCOMPARE(active.attempts, short(0));
    QCOMPARE(active.body, QStringLiteral("<p style=\"color: red;\">(") + setTime +
                              QStringLiteral(") Alarm \"N\" is <strong>active</strong> (D)</p>"));
    QCOMPARE(mails().at(1).subject, QStringLiteral("Own subject"));

    // The end notice, a second later, still shows the activation time.
    QTRY_VERIFY(QDateTime::currentDateTime().toString(QLatin1String(TimeFormat)) != setTime);
    pass(5);
    QVERIFY(list().at(0)[QLatin1String("endTime")].toString() > setTime);
    QCOMPARE(mails().at(2).body, QStringLiteral("<p>(") + setTime +
                                     QStringLiteral(") Alarm \"N\" is <strong>inactive</strong> "
                                                    "(D)</p>"));
    // Active again: a new activation time.
    pass(150);
    QVERIFY(list().at(0)[QLatin1String("setTime")].toString() > setTime);
    QCOMPARE(mails().size(), 5); // both activated again
}

void TestAlarms::listEscapesNamesAndDescriptions()
{
    const QString name = QStringLiteral("N \"q\" \\ / %1");
    const QString desc = QStringLiteral("two\nlines\t\"x\"");
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), 0, name, desc);
    addAlarm(QStringLiteral("{3$100} > 100"), QStringLiteral("{3$100} < 50"), 0, name, desc);
    alarms->loadAlarms();
    QCOMPARE(alarms->getAlarmsStates_j(), QByteArray("[]"));
    pass(150);
    pass(60); // the first ends, the second stays active
    const QJsonArray states = list();
    QCOMPARE(states.size(), 2);
    const QJsonObject ended = states.at(0).toObject();
    QCOMPARE(ended.keys().size(), 7);
    QCOMPARE(ended[QLatin1String("id")].toInt(), 1);
    QCOMPARE(ended[QLatin1String("flag")].toInt(), 2);
    QCOMPARE(ended[QLatin1String("name")].toString(), name);
    QCOMPARE(ended[QLatin1String("desc")].toString(), desc);
    QCOMPARE(ended[QLatin1String("priority")].toInt(), 5);
    QVERIFY(
        QDateTime::fromString(ended[QLatin1String("endTime")].toString(), QLatin1String(TimeFormat))
            .isValid());
    QCOMPARE(states.at(1)[QLatin1String("endTime")].toString(), QStringLiteral("---"));
    QCOMPARE(states.at(1)[QLatin1String("flag")].toInt(), 1);
}

void TestAlarms::confirmations()
{
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), 3);
    addAlarm(QStringLiteral("{3$100} > 100"), QStringLiteral("{3$100} < 50"), 3);
    alarms->loadAlarms();
    pass(150);
    pass(80); // 1 ended (2), 2 active (1)
    const int lines = logLines("alarm").size();
    const int mailCount = mails().size();
    QCOMPARE(confirm(QString()), NotFound); // no id
    QCOMPARE(confirm(QStringLiteral("x")), NotFound);
    QCOMPARE(confirm(QStringLiteral("9")), NotFound);
    QCOMPARE(state(1), 2);
    QCOMPARE(alarms->confirmAllAlarms_j(), Success);
    QCOMPARE(state(1), 0);
    QCOMPARE(state(2), 3);
    QCOMPARE(alarms->confirmAllAlarms_j(), Success);
    QCOMPARE(state(2), 3);
    QCOMPARE(logLines("alarm").size(), lines);
    QCOMPARE(mails().size(), mailCount);
}

void TestAlarms::anEmptyEngine()
{
    QCOMPARE(alarms->getAlarmsStates_j(), QByteArray("[]"));
    QCOMPARE(confirm(QStringLiteral("1")), NotFound);
    QCOMPARE(alarms->confirmAllAlarms_j(), Success);
    addAlarm(QStringLiteral("1 > 0"), QString());
    alarms->loadAlarms();
    pass(1);
    QCOMPARE(state(), 1);
    alarms->clear(); // the stop of a run
    QCOMPARE(alarms->getAlarmsStates_j(), QByteArray("[]"));
    QCOMPARE(confirm(QStringLiteral("1")), NotFound);
    pass(1);
    QCOMPARE(alarms->getAlarmsStates_j(), QByteArray("[]"));
}

void TestAlarms::anEndlessExpressionIsStoppedAndReportedOnce()
{
    addAlarm(QStringLiteral("for(;;);"), QStringLiteral("while (1);"), 0,
             QStringLiteral("endless"));
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), 0, QStringLiteral("B"));
    alarms->loadAlarms();
    QElapsedTimer t;
    t.start();
    pass(150);
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(state(1), 0);
    QCOMPARE(state(2), 1);
    pass(5);
    QCOMPARE(state(2), 2);
    const QStringList warnings{logged(QStringLiteral(
        "Alarm \"endless\": the expression did not end within 100 ms and counts as false"))};
    QCOMPARE(logLines("warn"), warnings);
    alarms->clear();
    alarms->loadAlarms(); // a new run reports it again
    pass(5);
    QCOMPARE(logLines("warn"), warnings + warnings);
}

void TestAlarms::ticksRunPassesOnTheirOwnThread()
{
    addAlarm(QStringLiteral("{3$100} > 100"), QString(), 0, QStringLiteral("B"));
    addAlarm(QStringLiteral("for(;;);"), QString(), 0, QStringLiteral("endless"));
    const std::unique_ptr<ReadBuffer> live = liveValues();
    ReadBuffer& buffer = *live;
    auto store = [&buffer](double v) {
        const TryLocker guard = buffer.lock();
        QVERIFY(guard);
        buffer.updateValue(3, 100, {v, 1000, 0});
    };
    alarms->tick(&buffer); // no run: nothing happens
    QVERIFY(!alarms->isPassRunning());
    alarms->loadAlarms();

    store(150);
    QElapsedTimer t;
    t.start();
    alarms->tick(&buffer);
    QVERIFY2(t.elapsed() < 50, "the tick waited for the pass");
    QVERIFY(alarms->isPassRunning());
    QTRY_COMPARE(state(1), 1);
    QTRY_VERIFY(!alarms->isPassRunning());

    // The buffer's lock not free: the pass works on the samples of the previous tick.
    store(5);
    {
        const TryLocker held = buffer.lock();
        QVERIFY(held);
        alarms->tick(&buffer);
    }
    QTRY_VERIFY(!alarms->isPassRunning());
    QCOMPARE(state(1), 1);
    alarms->tick(&buffer);
    QTRY_COMPARE(state(1), 2);
}

void TestAlarms::theStopDoesNotWaitForAPass()
{
    for (int i = 0; i < 30; ++i) // a pass of three seconds
        addAlarm(QStringLiteral("for(;;);"), QString());
    const std::unique_ptr<ReadBuffer> live = liveValues();
    ReadBuffer& buffer = *live;
    alarms->loadAlarms();
    alarms->tick(&buffer);
    QTest::qWait(300); // well into the pass
    QElapsedTimer t;
    t.start();
    alarms->clear();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(alarms->getAlarmsStates_j(), QByteArray("[]"));
    QVERIFY(logLines("warn").size() < 30); // the pass ended without its results
}

QTEST_GUILESS_MAIN(TestAlarms)
#include "tst_alarms.moc"
