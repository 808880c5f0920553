#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

#include <functional>

// A reply written in pieces. While it is small it is held whole, so that it goes out in one
// piece with its length and a failure can still replace it by the error reply; once it grows
// past HoldBytes it is passed on part by part, so that a reply of any size takes bounded memory.
// A reply in parts must have gone out by DeadlineMs after its first part, so that a slow caller
// cannot keep what the reply is made from (a read transaction) open for long.
class ReplyWriter
{
public:
    // Takes one part of the reply; lastPart ends it. Waits for the caller no longer than
    // deadline. False once the caller has gone.
    using Output =
        std::function<bool(const QByteArray& part, bool lastPart, const QDeadlineTimer& deadline)>;
    // Ends a reply begun in parts without its end, so that the caller sees it incomplete.
    using Abort = std::function<void()>;

    static constexpr int HoldBytes = 1 << 20;
    static constexpr int DeadlineMs = 300000;

    // Without an output the whole reply is held, for take().
    explicit ReplyWriter(Output output = Output(), Abort abort = Abort(),
                         int deadlineMs = DeadlineMs);

    ReplyWriter(const ReplyWriter&) = delete;
    ReplyWriter& operator=(const ReplyWriter&) = delete;

    // Where the reply is appended; pass() hands it on once it holds enough.
    QByteArray& buffer();
    void append(const QByteArray& bytes);
    void pass();

    // Whether a part already went out: the reply can no longer be replaced.
    bool hasStarted() const { return m_started; }
    // False once the caller has gone: writing more is of no use.
    bool isOpen() const { return m_open; }
    // Replaces what was written so far; false when part of it went out already.
    bool replace(const QByteArray& reply);

    // Sends what is held as the last part, unless the reply was aborted.
    void finish();
    // The reply cannot be made whole: a reply begun is cut off without its end; one not begun
    // is dropped. Nothing is written afterwards.
    void abort();
    // The whole reply of a writer without an output.
    QByteArray take();

private:
    void send(bool lastPart);

    Output m_output;
    Abort m_abort;
    int m_deadlineMs;
    QDeadlineTimer m_deadline; // from the first part
    QByteArray m_buffer;
    bool m_started = false;
    bool m_open = true;
    bool m_finished = false;
};
