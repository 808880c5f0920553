#pragma once

#include <QElapsedTimer>
#include <QScriptEngine>
#include <QScriptValue>
#include <QTimer>

#include <atomic>

// Runs script programs on the calling thread, each stopped after a time bound (or as soon as
// the given abort flag is set) and then counted as false. While a program runs, the engine
// processes the calling thread's events every few milliseconds: that is how the watch timer
// stops it. Use it only on a thread where that is harmless (not the main thread).
class ScriptEvaluator
{
public:
    explicit ScriptEvaluator(int boundMs, const std::atomic<bool>* abort = nullptr);

    ScriptEvaluator(const ScriptEvaluator&) = delete;
    ScriptEvaluator& operator=(const ScriptEvaluator&) = delete;

    // The program's value converted to a boolean, whatever it is (an exception's value
    // included); false when it was stopped, and then *stopped is set.
    bool evaluate(const QString& program, bool* stopped = nullptr);

private:
    QScriptEngine m_engine;
    QScriptValue m_standardGlobal;
    QTimer m_watch;
    QElapsedTimer m_clock;
    const int m_boundMs;
    const std::atomic<bool>* m_abort;
    bool m_stopped = false;
};
