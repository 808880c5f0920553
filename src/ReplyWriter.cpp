#include "ReplyWriter.h"

ReplyWriter::ReplyWriter(Output output) : m_output(std::move(output))
{
    if (m_output)
        m_buffer.reserve(HoldBytes + HoldBytes / 4); // kept from part to part
}

void ReplyWriter::append(const QByteArray& bytes)
{
    m_buffer += bytes;
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
