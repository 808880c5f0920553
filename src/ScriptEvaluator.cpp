#include "ScriptEvaluator.h"

namespace {
// How often a running program lets the watch timer look at it.
constexpr int WatchIntervalMs = 5;
} // namespace

ScriptEvaluator::ScriptEvaluator(int boundMs, const std::atomic<bool>* abort)
    : m_boundMs(boundMs), m_abort(abort)
{
    m_engine.setProcessEventsInterval(WatchIntervalMs);
    m_standardGlobal = m_engine.globalObject();
    m_watch.setInterval(WatchIntervalMs);
    QObject::connect(&m_watch, &QTimer::timeout, [this] {
        if (m_clock.elapsed() >= m_boundMs || (m_abort && m_abort->load())) {
            m_stopped = true;
            m_engine.abortEvaluation(QScriptValue(false));
        }
    });
}

bool ScriptEvaluator::evaluate(const QString& program, bool* stopped)
{
    // A global object of its own for every program, so that no program sees what another one
    // left behind; the standard objects are found through its prototype.
    QScriptValue global = m_engine.newObject();
    global.setPrototype(m_standardGlobal);
    m_engine.setGlobalObject(global);

    m_stopped = false;
    m_clock.start();
    m_watch.start();
    const QScriptValue result = m_engine.evaluate(program, QString(), 1);
    m_watch.stop();
    if (stopped)
        *stopped = m_stopped;
    return !m_stopped && result.toBool();
}
