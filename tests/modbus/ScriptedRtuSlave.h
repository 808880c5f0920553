#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <thread>

// A serial slave on one end of a pty pair that answers the next request with exactly the bytes
// it is given: noise, garbled frames, frames split by pauses, which no well-behaved peer sends.
class ScriptedRtuSlave
{
public:
    ScriptedRtuSlave() = default;
    ~ScriptedRtuSlave();

    ScriptedRtuSlave(const ScriptedRtuSlave&) = delete;
    ScriptedRtuSlave& operator=(const ScriptedRtuSlave&) = delete;

    // Opens device (dropping what is waiting there); then, in a thread of its own, waits up to
    // 10 s for one request of the given length and writes the pieces, pauseMs apart.
    bool start(const QString& device, const QByteArrayList& pieces, int pauseMs,
               int requestLength = 8);

    // Waits until the pieces are written; the request that was answered (empty when none came).
    QByteArray finish();

    // body followed by its Modbus CRC.
    static QByteArray frame(const QByteArray& body);

private:
    void run(QByteArrayList pieces, int pauseMs, int requestLength);

    int m_fd = -1;
    std::thread m_thread;
    QByteArray m_request;
};
