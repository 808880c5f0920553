#pragma once

#include "PeerProcess.h"

#include <QString>
#include <QTemporaryDir>

// Two pseudo-terminals joined by socat: what is written to one end is read at the other.
class PtyPair
{
public:
    // Starts socat and waits until both ends exist.
    bool start();

    // The resolved /dev/pts/N paths of the two ends.
    QString peerEnd() const { return m_peerEnd; }
    QString lineEnd() const { return m_lineEnd; }

private:
    QTemporaryDir m_dir;
    PeerProcess m_socat;
    QString m_peerEnd;
    QString m_lineEnd;
};
