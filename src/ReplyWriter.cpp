#include "ReplyWriter.h"

ReplyWriter::ReplyWriter(Output output) : m_output(std::move(output)) {}

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

QByteArray ReplyWriter::take()
{
    QByteArray whole;
    whole.swap(m_buffer);
    return whole;
}

void ReplyWriter::send(bool lastPart)
{
    m_started = true;
    if (m_open)
        m_open = m_output(m_buffer, lastPart);
    m_buffer.resize(0);
}
