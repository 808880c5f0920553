#pragma once

#include "polling/BufferInterface.h"
#include "polling/ReadIterations.h"

#include "ModbusLib.h"

#include <QObject>
#include <QVector>

#include <atomic>
#include <memory>
#include <vector>

// The Modbus master of one channel (a serial or a TCP line). Used by one thread only.
class ModbusLine : public QObject
{
    Q_OBJECT
public:
    // Result codes of readRegisters and identifySlave.
    enum Result
    {
        Success = 0,
        WrongAnswer = 1,   // another count than asked, or the buffer's lock was busy
        TooManyValues = 2, // more than MaxValues values (or fewer than one)
        SerialNotOpen = 3,
        TcpNotConnected = 4,
        Timeout = 5,
        OtherFailure = 6,
        Stopped = 7, // the owner stopped before the request was sent: nothing sent or stored
    };

    static constexpr int MaxValues = 200;

    explicit ModbusLine(QObject* parent = nullptr);
    ~ModbusLine() override;

    virtual int connect() = 0;
    virtual int disconnect() = 0;
    virtual int identifySlave(int& slaveId, unsigned int attempt) = 0;
    virtual int readRegisters(const t_iterationConfig* it, BufferInterface* buffer,
                              qint64 timestamp, unsigned int attempt) = 0;

    // After a failed read, before the line is opened again: waits out what the device may still
    // be sending, so that the time counts for the failed read and not for the next device.
    virtual void settleAfterFailure() {}
    // What the last readRegisters spent waiting out an earlier failure that was not settled
    // (ms): no part of that read's own response time. Zeroed by the call.
    virtual qint64 takeInheritedWaitMs() { return 0; }

    // Set from another thread when the line's owner stops: the waits of the line's own making
    // (the quiet wait, a second connect) are then cut short. A request under way still runs
    // to its time-out.
    void setStopFlag(std::shared_ptr<const std::atomic<bool>> stop) { m_stop = std::move(stop); }

    // Whether readRegisters, failing with this result, stored its flag at every value of the
    // iteration itself (when the buffer's lock was free): 1, 5 and 6. For the others the
    // caller marks the values.
    static bool storesFailureFlags(int result)
    {
        return result == WrongAnswer || result == Timeout || result == OtherFailure;
    }

    // Value k of an iteration belongs to register regAddr + k * valueStep.
    static int valueStep(const t_iterationConfig& it);
    // The requests an iteration is read with, as (first register, registers): as many as one
    // response carries, in whole values, as many meters refuse a read that begins or ends inside
    // a 32-bit value. None for a plan that is refused for its size.
    static std::vector<modbuslib::RequestPart> requestParts(const t_iterationConfig& it);
    // How many values the flags of a failed iteration go to: its count, but never more than
    // there are register addresses, so that a plan of two billion values cannot hold the
    // buffer's lock for minutes.
    static int markedValues(const t_iterationConfig& it)
    {
        return qBound(0, it.valuesCnt, 0x10000);
    }

    // Value k of the words one request delivered; time 0, the caller sets it. A value whose
    // words lie outside the buffer (a plan whose sizes disagree) is {0, flag 4}.
    static BufferInterface::ReadValue decodeValue(const t_iterationConfig* it,
                                                  const QVector<quint16>& words, int k);

protected:
    // The read procedure both lines share; notOpenCode is returned when the line cannot open.
    // A plan of fewer than 1 or more than MaxValues values gives 2 and stores nothing; one
    // reaching past register 65535 gives 6 with flag 4 stored, without a request.
    int readValues(const t_iterationConfig* it, BufferInterface* buffer, qint64 timestamp,
                   int notOpenCode);

    // Report Slave ID of slave on the open context: 0 with slaveId set, 1 for an answer of no
    // or too many bytes, 5 time-out, 6 other failure.
    int requestSlaveId(int slave, int& slaveId);

    // The response time-out's µs part set to timeoutMs * 1000, the whole part as it was.
    void applyResponseTimeout(int timeoutMs);

    // Closes and frees the context when one is open.
    void closeContext();

    // Around every request on the open context; err is errno after a failed one.
    virtual void beforeRequest() {}
    virtual void afterRequest(int function, int rc, int err)
    {
        Q_UNUSED(function);
        Q_UNUSED(rc);
        Q_UNUSED(err);
    }

    bool stopping() const { return m_stop && *m_stop; }

    modbus_t* m_modbus = nullptr;

private:
    std::shared_ptr<const std::atomic<bool>> m_stop;

    void storeFailure(const t_iterationConfig* it, BufferInterface* buffer, qint64 timestamp,
                      int flag);
};
