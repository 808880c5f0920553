#include "ReplyWriter.h"

ReplyWriter::ReplyWriter(Output output, Abort abort, int deadlineMs)
    : m_output(std::move(output)), m_abort(std::move(abort)), m_deadlineMs(deadlineMs)
{
}

QByteArray& ReplyWriter::buffer()
{
    // Reserved on first use by a reply made in parts, and kept from part to part.
    if (m_output && m_buffer.capacity() < HoldBytes)
        m_buffer.reserve(HoldBytes + HoldBytes / 4);
    return m_buffer;
}

void ReplyWriter::append(const QByteArray& bytes)
{
    // A reply made whole (the usual case) is shared, not copied, and goes out in one piece:
    // it is in memory already.
    if (m_buffer.isEmpty() && !m_started) {
        m_buffer = bytes;
        return;
    }
    buffer() += bytes;
    pass();
}

void ReplyWriter::pass()
{
    if (m_output && m_buffer.size() >= HoldBytes)
        send(false);
}

bool ReplyWriter::replace(const QByteArray& reply)
{
    if (m_started)
        return false;
    m_buffer = reply;
    return true;
}

void ReplyWriter::finish()
{
    if (m_output && !m_finished)
        send(true);
    m_finished = true;
}

void ReplyWriter::abort()
{
    const bool cut = m_started && m_open && !m_finished;
    m_open = false;
    m_finished = true;
    m_buffer.clear();
    if (cut && m_abort)
        m_abort();
}

QByteArray ReplyWriter::take()
{
    QByteArray whole;
    whole.swap(m_buffer);
    return whole;
}

void ReplyWriter::send(bool lastPart)
{
    if (!m_started)
        m_deadline.setRemainingTime(m_deadlineMs);
    else if (m_open && m_deadline.hasExpired())
        abort(); // also when the caller's reads keep up, but making the reply takes too long
    m_started = true;
    if (m_open)
        m_open = m_output(m_buffer, lastPart, m_deadline);
    m_buffer.resize(0);
}
