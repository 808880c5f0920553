#pragma once

#include "PeerProcess.h"

#include <QStringList>
#include <QTemporaryDir>

// A Modbus server of tests/peers, over TCP on a free port or RTU on a pty.
class ModbusPeer
{
public:
    enum Kind
    {
        Pymodbus, // pymodbus_peer.py: a well-behaved slave with known registers
        Faulty,   // fault_peer.py: misbehaves by register address, logs what it is asked
    };

    explicit ModbusPeer(Kind kind) : m_kind(kind) {}

    // Each waits until the server says it serves.
    bool startTcp();
    bool startRtu(const QString& device);

    quint16 port() const { return m_port; }

    // Faulty only: "CONN" for every accepted connection and "REQ unit=U fn=F addr=A count=N"
    // for every request, in order, each written before its answer.
    QStringList log() const;

private:
    bool start(const QStringList& arguments);

    Kind m_kind;
    QTemporaryDir m_dir;
    PeerProcess m_process;
    quint16 m_port = 0;
};
