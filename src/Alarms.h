#pragma once

#include "EmailManager.h"
#include "RequestParams.h"
#include "polling/BufferInterface.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <optional>

class QThread;
class ReadBuffer;
class ScriptEvaluator;

// The alarm engine of a polling run: the definitions with their states, evaluated over the
// live values on every poll tick, with event-log lines and mails for the transitions, and the
// web functions that list and confirm alarms.
//
// The passes run on a thread of the engine's own: a tick only copies the live values and hands
// them over, so that neither the poll tick nor the channels ever wait for an expression, and a
// pass still running when the next tick comes makes that tick's pass skip. Expressions are
// evaluated without the engine's lock; the lock guards the states, which the web functions
// read and confirm.
class Alarms : public QObject
{
    Q_OBJECT
public:
    struct t_alarm
    {
        int id = 0;
        QString expOn;  // placeholders resolved to {idParameters}
        QString expOff; // empty: the alarm ends when expOn is false
        int state = 0;  // 0 inactive, 1 active, 2 ended and not confirmed, 3 active and confirmed
        QDateTime setTime;
        QDateTime endTime;
        QString name;
        QString desc;
        int priority = 0;
        int sedMailCond = 0; // mail at activation (1, 3) and at the end (2, 3)
        QStringList mailRecipients;
        QString mailSubject;
    };
    using Samples = QHash<int, BufferInterface::ReadValue>;

    static constexpr int LockTimeoutMs = 400;
    // An expression still running after this long is stopped and counts as false.
    static constexpr int EvaluationBoundMs = 100;

    explicit Alarms(QObject* parent = nullptr);
    ~Alarms() override;

    // Start of a polling run (main thread): reads the definitions and starts the pass thread.
    void loadAlarms();
    // Stop of a polling run (main thread): ends the pass thread, then drops every definition,
    // state and sample.
    void clear();
    // Every poll tick (main thread): copies the live values and starts a pass with them.
    void tick(ReadBuffer* buffer);
    // Whether a pass started by a tick has not ended yet.
    bool isPassRunning() const { return m_passRunning; }

    // One pass on the calling thread: the samples, when given, refresh the engine's copies;
    // then every alarm is evaluated and moved by its results. The thread's events are
    // processed while an expression runs, so the pass belongs on the pass thread (or a test's).
    void checkAlarms(const Samples* samples);

    // "getAlarmsStates": [{"id":..,"flag":..,"setTime":"..","endTime":"..","name":"..",
    // "desc":"..","priority":..},...] of the alarms that are not inactive.
    QByteArray getAlarmsStates_j();
    // "confirmAlarm": id; {"success":true} or "Didn't found alarm id".
    QByteArray confirmAlarm_j(t_GetArray& GET);
    // "confirmAllAlarms": {"success":true}.
    QByteArray confirmAllAlarms_j();

private:
    struct Evaluation
    {
        bool on = false;
        bool off = false;
        QString e1; // error texts of the two expressions
        QString e2;
        bool stopped = false;
    };
    struct Outcome
    {
        QList<QPair<int, QString>> logLines; // type and text
        QList<EmailManager::Mail2Send> mails;
    };

    // The stored expression with every placeholder that names a parameter replaced by
    // {idParameters}; the parameters get an entry (no value yet) in values.
    static QString prepareExpression(const QString& expression, Samples& values);
    // The idParameters that a placeholder ({device$register} or {device$nameId}) names; -1
    // when it names none.
    static int findParameterId(const QString& placeholder);
    // The expression's value over the samples; false with error set when it names a parameter
    // the engine does not know, false when a parameter has no valid sample.
    static bool evaluate(const QString& expression, QString& error, const Samples& values,
                         ScriptEvaluator& engine, bool& stopped);
    // Moves the alarm by its evaluation (under the lock).
    void apply(int key, const Evaluation& result, Outcome& outcome);
    EmailManager::Mail2Send prepareMail(int key) const;
    QString stateText(const t_alarm& alarm, bool active) const;

    void startPassThread();
    void stopPassThread();
    // Waits for the lock into `lock`, trying again until it comes free.
    void lockForChange(std::optional<TryLocker>& lock);

    QHash<int, t_alarm> alarms; // by load order, 0 to n-1
    Samples paramValues;        // by idParameters: the samples the expressions name
    QMutex mutex;

    // Alarms whose expression was stopped in this run: reported once.
    QSet<int> m_stoppedReported;
    // Counts the runs, so that a pass of an earlier run never changes a later one.
    quint64 m_generation = 0;
    QThread* m_passThread = nullptr;
    QObject* m_passContext = nullptr; // lives in the pass thread: passes are queued to it
    std::atomic<bool> m_passRunning{false};
    std::atomic<bool> m_abort{false};
};
