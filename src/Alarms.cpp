#include "Alarms.h"

#include "Database.h"
#include "JsonText.h"
#include "Logs.h"
#include "ScriptEvaluator.h"
#include "TryLocker.h"
#include "globals.h"
#include "polling/ReadBuffer.h"

#include <QLoggingCategory>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <QtDebug>

#include <cmath>
#include <memory>

// A tick whose pass is skipped because the previous one still runs; off by default.
Q_LOGGING_CATEGORY(lcAlarms, "korvalen.alarms", QtWarningMsg)

namespace {

const char* const TimeFormat = "yyyy-MM-dd hh:mm:ss";

// A pass is bounded by its expressions, which the stop aborts; what may still take a while
// is an event-log line waiting for a busy database.
constexpr unsigned long PassStopWaitMs = Database::BusyTimeoutMs + 5000;

// Every "{...}" of the text in order: an opening brace, anything but a closing brace, the
// closing brace; the search goes on behind each one.
QStringList placeholders(const QString& text)
{
    QStringList out;
    int from = 0;
    for (;;) {
        const int open = text.indexOf(QLatin1Char('{'), from);
        if (open < 0)
            break;
        const int close = text.indexOf(QLatin1Char('}'), open + 1);
        if (close < 0)
            break;
        out << text.mid(open, close - open + 1);
        from = close + 1;
    }
    return out;
}

// A sample as the script reads it: six significant digits; NaN and the infinities by the
// script's own names, so that they compare as numbers instead of failing as unknown names.
QString sampleText(double v)
{
    if (std::isnan(v))
        return QStringLiteral("NaN");
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    return QString::number(v, 'g', 6);
}

QString timeText(const QDateTime& t)
{
    return t.toString(QLatin1String(TimeFormat));
}

} // namespace

Alarms::Alarms(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<EmailManager::Mail2Send>("EmailManager::Mail2Send");
}

Alarms::~Alarms()
{
    stopPassThread();
}

void Alarms::loadAlarms()
{
    // Built apart and merged under the lock: the parameter lookups run SQL.
    QHash<int, t_alarm> loaded;
    Samples parameters;
    QSqlQuery q(Database::connection());
    if (q.exec(QStringLiteral("SELECT idAlarms, name, desc, priority, exp_on, exp_off, "
                              "sedMailCond, mailRecipients, mailSubject FROM Alarms"))) {
        for (int key = 0; q.next(); ++key) {
            t_alarm a;
            a.id = q.value(0).toInt();
            a.name = q.value(1).toString();
            a.desc = q.value(2).toString();
            a.priority = q.value(3).toInt();
            a.expOn = prepareExpression(q.value(4).toString(), parameters);
            a.expOff = prepareExpression(q.value(5).toString(), parameters);
            a.sedMailCond = q.value(6).toInt();
            a.mailRecipients = q.value(7).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
            a.mailSubject = q.value(8).toString();
            loaded.insert(key, a);
        }
    }
    std::optional<TryLocker> lock;
    lockForChange(lock);
    for (auto it = loaded.cbegin(); it != loaded.cend(); ++it)
        alarms.insert(it.key(), it.value());
    for (auto it = parameters.cbegin(); it != parameters.cend(); ++it) {
        if (!paramValues.contains(it.key()))
            paramValues.insert(it.key(), it.value());
    }
    lock.reset();
    startPassThread();
}

void Alarms::clear()
{
    stopPassThread();
    std::optional<TryLocker> lock;
    lockForChange(lock);
    alarms.clear();
    paramValues.clear();
    m_stoppedReported.clear();
    ++m_generation;
}

void Alarms::lockForChange(std::optional<TryLocker>& lock)
{
    // Only the web functions take the lock besides the passes, each for moments.
    do
        lock.emplace(&mutex, LockTimeoutMs);
    while (!*lock);
}

QString Alarms::prepareExpression(const QString& expression, Samples& values)
{
    QString result = expression;
    for (const QString& placeholder : placeholders(expression)) {
        const int id = findParameterId(placeholder);
        if (id == -1)
            continue;
        result.replace(placeholder, QLatin1Char('{') + QString::number(id) + QLatin1Char('}'));
        if (!values.contains(id))
            values.insert(id, BufferInterface::ReadValue());
    }
    return result;
}

int Alarms::findParameterId(const QString& placeholder)
{
    QString text = placeholder;
    text.remove(QLatin1Char('{'));
    text.remove(QLatin1Char('}'));
    const QStringList parts = text.split(QLatin1Char('$'), Qt::KeepEmptyParts);
    if (parts.size() != 2)
        return -1;
    int device = 0;
    if (!RequestParams::isInteger(parts.at(0), &device))
        return -1; // no device id: the lookup could not name one
    bool isRegister = false;
    const int regAddr = parts.at(1).toInt(&isRegister, 10);
    QSqlQuery q(Database::connection());
    const bool ok =
        isRegister
            ? Database::exec(q,
                             QStringLiteral("SELECT idParameters FROM ConfiguredParameters WHERE "
                                            "idDevice=? AND regAddr = ?"),
                             {device, regAddr})
            : Database::exec(q,
                             QStringLiteral("SELECT idParameters FROM ConfiguredParameters WHERE "
                                            "idDevice=? AND nameId = ?"),
                             {device, parts.at(1)});
    if (!ok || !q.next())
        return -1;
    bool isInt = false;
    const int id = q.value(0).toInt(&isInt);
    return isInt ? id : -1;
}

bool Alarms::evaluate(const QString& expression, QString& error, const Samples& values,
                      ScriptEvaluator& engine, bool& stopped)
{
    QString program = expression;
    for (const QString& placeholder : placeholders(expression)) {
        bool isInt = false;
        int key = placeholder.mid(1, placeholder.size() - 2).toInt(&isInt, 10);
        if (!isInt)
            key = 0;
        const auto sample = values.constFind(key);
        if (sample == values.constEnd()) {
            error = tr("*** INVALID CONFIGURATION (unknown parameter: ") + placeholder +
                    QStringLiteral(") ***");
            return false;
        }
        if (sample->flag != 0)
            return false;
        program.replace(placeholder, sampleText(sample->val));
    }
    if (program.isEmpty())
        return false;
    return engine.evaluate(program, &stopped);
}

void Alarms::tick(ReadBuffer* buffer)
{
    if (!m_passContext)
        return;
    bool idle = false;
    if (!m_passRunning.compare_exchange_strong(idle, true)) {
        qCDebug(lcAlarms) << "The previous alarm pass still runs: no pass on this tick";
        return;
    }
    // Copied here, so that the pass sees the values as they stand at the tick.
    auto samples = std::make_shared<Samples>();
    const bool fresh = buffer && buffer->snapshot(*samples);
    QMetaObject::invokeMethod(
        m_passContext,
        [this, samples, fresh] {
            checkAlarms(fresh ? samples.get() : nullptr);
            m_passRunning = false;
        },
        Qt::QueuedConnection);
}

void Alarms::checkAlarms(const Samples* samples)
{
    struct Job
    {
        int key;
        QString expOn;
        QString expOff;
    };
    QVector<Job> jobs;
    Samples values;
    quint64 generation;
    {
        TryLocker lock(&mutex, LockTimeoutMs);
        if (!lock)
            return;
        if (samples) {
            for (auto it = paramValues.begin(); it != paramValues.end(); ++it)
                it.value() = samples->value(it.key());
        }
        values = paramValues;
        generation = m_generation;
        jobs.reserve(alarms.size());
        for (int k = 0; k < alarms.size(); ++k) {
            const auto a = alarms.constFind(k);
            if (a != alarms.constEnd())
                jobs.append(Job{k, a->expOn, a->expOff});
        }
    }

    // Both expressions of every alarm, in every state, without the lock.
    QVector<Evaluation> results(jobs.size());
    {
        ScriptEvaluator engine(EvaluationBoundMs, &m_abort);
        for (int i = 0; i < jobs.size(); ++i) {
            if (m_abort)
                return;
            Evaluation& r = results[i];
            bool stoppedOn = false;
            bool stoppedOff = false;
            r.on = evaluate(jobs.at(i).expOn, r.e1, values, engine, stoppedOn);
            r.off = evaluate(jobs.at(i).expOff, r.e2, values, engine, stoppedOff);
            r.stopped = stoppedOn || stoppedOff;
        }
    }

    Outcome outcome;
    {
        TryLocker lock(&mutex, LockTimeoutMs);
        if (!lock || generation != m_generation)
            return;
        for (int i = 0; i < jobs.size(); ++i)
            apply(jobs.at(i).key, results.at(i), outcome);
    }
    for (const auto& line : qAsConst(outcome.logLines))
        Logs::addLog(line.first, line.second);
    if (outcome.mails.isEmpty())
        return;
    // Under the lock, so that the stop of the run (which takes it before it releases the mail
    // worker) never meets a mail on its way to a released worker.
    TryLocker lock(&mutex, LockTimeoutMs);
    EmailManager* worker = g_emailManager;
    if (!lock || generation != m_generation || !worker)
        return;
    for (const EmailManager::Mail2Send& mail : qAsConst(outcome.mails))
        QMetaObject::invokeMethod(worker, "addMail2Queue", Qt::QueuedConnection,
                                  Q_ARG(EmailManager::Mail2Send, mail));
}

void Alarms::apply(int key, const Evaluation& r, Outcome& outcome)
{
    t_alarm& a = alarms[key];
    if (r.stopped && !m_stoppedReported.contains(key)) {
        m_stoppedReported.insert(key);
        outcome.logLines.append(
            {Logs::Warn, QStringLiteral("Alarm \"") + a.name + QStringLiteral("\": ") +
                             tr("the expression did not end within %1 ms and counts as false")
                                 .arg(EvaluationBoundMs)});
    }

    const bool failed = !r.e1.isEmpty() || !r.e2.isEmpty();
    const bool ended = a.expOff.isEmpty() ? !r.on : r.off;
    const QDateTime now = QDateTime::currentDateTime();
    bool activated = false;
    bool finished = false;
    switch (a.state) {
    case 0:
    case 2:
        if (failed)
            a.desc = r.e1.isEmpty() ? r.e2 : r.e1;
        if (failed || r.on) {
            a.state = 1;
            a.setTime = now;
            activated = true;
        }
        break;
    case 1:
        if (!failed && ended) {
            a.state = 2;
            a.endTime = now;
            finished = true;
        }
        break;
    case 3:
        if (!failed && ended) {
            a.state = 0;
            finished = true;
        }
        break;
    default:
        break;
    }
    if (!activated && !finished)
        return;
    outcome.logLines.append({Logs::Alarm, stateText(a, activated)});
    const bool mail = activated ? (a.sedMailCond == 1 || a.sedMailCond == 3)
                                : (a.sedMailCond == 2 || a.sedMailCond == 3);
    if (mail)
        outcome.mails.append(prepareMail(key));
}

QString Alarms::stateText(const t_alarm& alarm, bool active) const
{
    return QStringLiteral("Alarm \"") + alarm.name + QStringLiteral("\" ") +
           (active ? tr("is <strong>active</strong>") : tr("is <strong>inactive</strong>")) +
           QStringLiteral(" (") + alarm.desc + QLatin1Char(')');
}

EmailManager::Mail2Send Alarms::prepareMail(int key) const
{
    const t_alarm& a = alarms[key];
    EmailManager::Mail2Send mail;
    mail.recipients = a.mailRecipients;
    mail.subject = a.mailSubject.isEmpty() ? tr("Alarm notification from Korvalen") : a.mailSubject;
    mail.attempts = 0;
    // Both notices show the activation time.
    const QString when = QLatin1Char('(') + timeText(a.setTime) + QStringLiteral(") ");
    if (a.state == 1)
        mail.body = QStringLiteral("<p style=\"color: red;\">") + when + stateText(a, true) +
                    QStringLiteral("</p>");
    else if (a.state == 2 || a.state == 0)
        mail.body = QStringLiteral("<p>") + when + stateText(a, false) + QStringLiteral("</p>");
    return mail;
}

QByteArray Alarms::getAlarmsStates_j()
{
    TryLocker lock(&mutex, LockTimeoutMs);
    if (!lock)
        return Logs::errorJson(QStringLiteral("Alarms Mutex error"), QString());
    QString out = QStringLiteral("[");
    for (int k = 0; k < alarms.size(); ++k) {
        const auto a = alarms.constFind(k);
        if (a == alarms.constEnd() || a->state == 0)
            continue;
        out += QStringLiteral("{\"id\":") + QString::number(a->id) + QStringLiteral(",\"flag\":") +
               QString::number(a->state) + QStringLiteral(",\"setTime\":\"") +
               timeText(a->setTime) + QStringLiteral("\",\"endTime\":\"") +
               (a->state == 2 ? timeText(a->endTime) : QStringLiteral("---")) +
               QStringLiteral("\",\"name\":\"") + JsonText::escape(a->name) +
               QStringLiteral("\",\"desc\":\"") + JsonText::escape(a->desc) +
               QStringLiteral("\",\"priority\":") + QString::number(a->priority) +
               QStringLiteral("},");
    }
    if (out.size() > 1)
        out[out.size() - 1] = QLatin1Char(']');
    else
        out += QLatin1Char(']');
    return out.toUtf8();
}

QByteArray Alarms::confirmAlarm_j(t_GetArray& GET)
{
    TryLocker lock(&mutex, LockTimeoutMs);
    if (!lock)
        return Logs::errorJson(QStringLiteral("Alarms Mutex error"), QString());
    const int id = RequestParams::toInt(GET, "id");
    for (int k = 0; k < alarms.size(); ++k) {
        const auto a = alarms.find(k);
        if (a == alarms.end() || a->id != id)
            continue;
        if (a->state == 1)
            a->state = 3;
        else if (a->state == 2)
            a->state = 0;
        return QByteArrayLiteral("{\"success\":true}");
    }
    return Logs::errorJson(QStringLiteral("Didn't found alarm id"), QString());
}

QByteArray Alarms::confirmAllAlarms_j()
{
    TryLocker lock(&mutex, LockTimeoutMs);
    if (!lock)
        return Logs::errorJson(QStringLiteral("Alarms Mutex error"), QString());
    for (auto a = alarms.begin(); a != alarms.end(); ++a) {
        if (a->state == 1)
            a->state = 3;
        else if (a->state == 2)
            a->state = 0;
    }
    return QByteArrayLiteral("{\"success\":true}");
}

void Alarms::startPassThread()
{
    if (m_passThread)
        return;
    m_abort = false;
    m_passRunning = false;
    m_passThread = new QThread;
    m_passThread->setObjectName(QStringLiteral("alarms"));
    m_passContext = new QObject;
    m_passContext->moveToThread(m_passThread);
    connect(m_passThread, &QThread::finished, m_passContext, &QObject::deleteLater);
    m_passThread->start();
}

void Alarms::stopPassThread()
{
    if (!m_passThread)
        return;
    m_abort = true; // a running expression is stopped and the pass ends without its results
    m_passThread->quit();
    if (m_passThread->wait(PassStopWaitMs)) {
        delete m_passThread;
    } else {
        // Left to end on its own; the run's generation keeps its pass from changing anything.
        qDebug("The alarm pass did not end in time; its thread ends on its own");
        connect(m_passThread, &QThread::finished, m_passThread, &QObject::deleteLater);
    }
    m_passThread = nullptr;
    m_passContext = nullptr;
}
