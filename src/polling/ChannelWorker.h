#pragma once

#include "ChannelReady.h"
#include "DeviceWatch.h"
#include "ThreadWorker.h"
#include "connections/ModbusSerialLine.h"
#include "connections/ModbusTCPLine.h"

#include <atomic>
#include <memory>

class ModbusLine;
class ReadBuffer;
class ReadIterations;
struct t_iterationConfig;

// Reads one channel's plan once per poll tick on its own thread. It owns the channel's line;
// the plan and the live-value buffer are shared with the polling run and outlive the worker.
class ChannelWorker : public ThreadWorker
{
    Q_OBJECT
public:
    ChannelWorker(const t_serialConnection& connection, std::shared_ptr<ReadIterations> plan,
                  std::shared_ptr<ReadBuffer> buffer);
    ChannelWorker(const t_tcpConnection& connection, std::shared_ptr<ReadIterations> plan,
                  std::shared_ptr<ReadBuffer> buffer);
    ~ChannelWorker() override;

    // The serial port or the IP address, for messages.
    QString connectionName() const;
    // The channel's entry in g_channelReady: its type and connection key.
    QString channelKey() const;
    static QString channelKey(const QString& type, int connectionId);
    // The device a connection reads, whatever its id: the serial port it opens (as configured
    // when no present port matches), or the address and port.
    static QString deviceKey(const t_serialConnection& connection);
    static QString deviceKey(const t_tcpConnection& connection);
    int connectionId() const;
    int timeout() const;
    const ReadIterations& plan() const { return *m_plan; }
    std::shared_ptr<ReadIterations> sharedPlan() const { return m_plan; }

    // Whether no cycle runs; the run's ticks test and set it.
    ChannelReady::Flag readyFlag() const { return m_ready; }

    // The worker holds its channel until it is destroyed (ChannelReady::claim).
    void holdClaim(ChannelReady::Claim claim) { m_claim = std::move(claim); }

    // The session breaks of a plan, stamped ts, under the buffer's lock; when the lock stays
    // busy they are counted as lost in a warning. Once per parameter: a second call for the
    // same plan adds nothing.
    static void insertSessionBreakValues(const QString& connectionName, const ReadIterations& plan,
                                         ReadBuffer& buffer, qint64 ts);

    void stop() override {}

    // Set from another thread to end a cycle still running at its next iteration or after
    // its current read. Shared, so that the setter never needs the worker itself, which may
    // be gone by then.
    using StopFlag = std::shared_ptr<std::atomic<bool>>;
    StopFlag markedForDeletion() const { return m_markedForDeletion; }

public slots:
    void process() override;
    void visualTimerExpired(qint64 timestamp);
    // On the worker's thread: session-break values stamped timestamp + 1000, the line closed
    // and released, finished().
    void stopChannel(qint64 timestamp);

private:
    void takeReadyFlag();
    // The pause before every request of a cycle but the first; false when the channel was
    // stopped meanwhile.
    bool pauseBeforeRequest();
    // Whether the cycle sends another request after iteration i fails: one to another slave.
    bool requestFollows(int i) const;
    void markIterationFailed(const t_iterationConfig* it, qint64 timestamp, int result);

    // Released last, once the line is closed.
    ChannelReady::Claim m_claim;
    QString type;
    t_serialConnection m_serial;
    t_tcpConnection m_tcp;
    std::shared_ptr<ReadIterations> m_plan;
    std::shared_ptr<ReadBuffer> m_buffer;
    ModbusLine* m_line = nullptr;
    StopFlag m_markedForDeletion = std::make_shared<std::atomic<bool>>(false);
    ChannelReady::Flag m_ready;
    DeviceWatch m_watch;
};
