#include "ScriptedRtuSlave.h"

#include <QDeadlineTimer>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

ScriptedRtuSlave::~ScriptedRtuSlave()
{
    finish();
}

bool ScriptedRtuSlave::start(const QString& device, const QByteArrayList& pieces, int pauseMs,
                             int requestLength)
{
    finish();
    m_request.clear();
    m_fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios raw = {};
    if (::tcgetattr(m_fd, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(m_fd, TCSANOW, &raw);
    }
    ::tcflush(m_fd, TCIOFLUSH);
    m_thread = std::thread(&ScriptedRtuSlave::run, this, pieces, pauseMs, requestLength);
    return true;
}

QByteArray ScriptedRtuSlave::finish()
{
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    return m_request;
}

void ScriptedRtuSlave::run(QByteArrayList pieces, int pauseMs, int requestLength)
{
    QByteArray request;
    const QDeadlineTimer deadline(10000);
    while (request.size() < requestLength && !deadline.hasExpired()) {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(qMax<qint64>(deadline.remainingTime(), 1))) <= 0)
            continue;
        char buf[64];
        const ssize_t got =
            ::read(m_fd, buf, size_t(qMin<int>(int(sizeof buf), requestLength - request.size())));
        if (got > 0)
            request.append(buf, int(got));
    }
    if (request.size() < requestLength)
        return;
    m_request = request;
    for (int i = 0; i < pieces.size(); ++i) {
        // The script's own timing: the pauses are what the line must bear.
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const QByteArray& piece = pieces.at(i);
        for (int done = 0; done < piece.size();) {
            const ssize_t put = ::write(m_fd, piece.constData() + done, size_t(piece.size() - done));
            if (put <= 0)
                return;
            done += int(put);
        }
    }
}

QByteArray ScriptedRtuSlave::frame(const QByteArray& body)
{
    quint16 crc = 0xFFFF;
    for (const char c : body) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return body + char(crc & 0xFF) + char(crc >> 8);
}
