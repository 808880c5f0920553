// Prints the time of one tick's alarm pass (the copy of the live values and the evaluation of
// every alarm with its transitions) for 100 and 1000 alarms, beside the poll interval and beside
// a bare loop that evaluates the same substituted programs on one script engine.
#include "Alarms.h"
#include "BenchDatabase.h"
#include "Database.h"
#include "polling/ReadBuffer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScriptEngine>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int PollIntervalMs = 1000;
constexpr int Parameters = 1000;
constexpr int Passes = 21;

struct Range
{
    double min, median, max;
};

Range range(QVector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms.first(), ms.at(ms.size() / 2), ms.last()};
}

void store(ReadBuffer& buffer, double value)
{
    const TryLocker guard = buffer.lock();
    for (int p = 1; p <= Parameters; ++p)
        buffer.updateValue(1, p, BufferInterface::ReadValue{value + p % 3, 1000, 0});
}

// Half the alarms have an off-expression, as a plant's list would.
void defineAlarms(int count)
{
    QSqlQuery q(Database::connection());
    q.exec(QStringLiteral("DELETE FROM Alarms"));
    q.exec(QStringLiteral("BEGIN"));
    q.prepare(QStringLiteral("INSERT INTO Alarms (name, desc, priority, exp_on, exp_off, "
                             "sedMailCond, mailRecipients, mailSubject) "
                             "VALUES (?, 'bench', 1, ?, ?, 3, 'a@x', '')"));
    for (int k = 0; k < count; ++k) {
        const int reg = k % Parameters + 1;
        q.addBindValue(QStringLiteral("A%1").arg(k));
        q.addBindValue(QStringLiteral("{1$%1} > 240 && {1$%1} < 1000").arg(reg));
        q.addBindValue(k % 2 ? QStringLiteral("{1$%1} < 225").arg(reg) : QString());
        q.exec();
    }
    q.exec(QStringLiteral("COMMIT"));
}

// The pass as the tick starts it, run on this thread: copy, then evaluate and move.
double timedPass(Alarms& alarms, ReadBuffer& buffer)
{
    QElapsedTimer t;
    t.start();
    Alarms::Samples samples;
    buffer.snapshot(samples);
    alarms.checkAlarms(&samples);
    return t.nsecsElapsed() / 1e6;
}

// The same number of substituted programs, evaluated on one engine without anything else.
double bareEvaluation(int alarms)
{
    QScriptEngine engine;
    QElapsedTimer t;
    t.start();
    bool any = false;
    for (int k = 0; k < alarms; ++k) {
        any ^= engine.evaluate(QStringLiteral("220 > 240 && 220 < 1000")).toBool();
        if (k % 2)
            any ^= engine.evaluate(QStringLiteral("220 < 225")).toBool();
    }
    const double ms = t.nsecsElapsed() / 1e6;
    return any ? ms : ms + 0.0; // keeps the loop from being dropped
}

void report(const char* what, int count, const Range& pass, const Range& bare)
{
    std::printf("%5d alarms, %-22s %8.2f / %8.2f / %8.2f ms   %6.2f %% of the %d ms interval   "
                "bare evaluation %7.2f ms, ratio %5.1f\n",
                count, what, pass.min, pass.median, pass.max, 100.0 * pass.median / PollIntervalMs,
                PollIntervalMs, bare.median, pass.median / bare.median);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    benchDatabase(dir.path(), Parameters, 0);

    QSqlQuery q(Database::connection());
    q.exec(QStringLiteral(
        "SELECT idParameters, idDevice, regAddr, archInterval, unit FROM ConfiguredParameters"));
    ReadBuffer buffer(q, nullptr);

    std::printf("alarm pass per tick (min / median / max of %d passes)\n", Passes);
    for (const int count : {100, 1000}) {
        defineAlarms(count);
        Alarms alarms;
        alarms.loadAlarms();
        QVector<double> bare;
        for (int i = 0; i < Passes; ++i)
            bare << bareEvaluation(count);

        // Values that keep every alarm where it is.
        store(buffer, 220);
        timedPass(alarms, buffer);
        QVector<double> steady;
        for (int i = 0; i < Passes; ++i)
            steady << timedPass(alarms, buffer);
        report("steady:", count, range(steady), range(bare));

        // Values that move every alarm on every pass: a log line each (mails need a worker).
        QVector<double> moving;
        for (int i = 0; i < Passes; ++i) {
            store(buffer, i % 2 ? 220 : 250);
            moving << timedPass(alarms, buffer);
        }
        report("every alarm changing:", count, range(moving), range(bare));

        // What the tick itself does on the main thread: the copy and the hand-over.
        QVector<double> tick;
        for (int i = 0; i < Passes; ++i) {
            while (alarms.isPassRunning())
                QThread::msleep(1);
            QElapsedTimer t;
            t.start();
            alarms.tick(&buffer);
            tick << t.nsecsElapsed() / 1e6;
        }
        const Range r = range(tick);
        std::printf("%5d alarms, the tick on the main thread %6.3f / %6.3f / %6.3f ms\n", count,
                    r.min, r.median, r.max);
        alarms.clear();
    }
    return 0;
}
