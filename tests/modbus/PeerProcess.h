#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A process started by a test: waited for until it reports ready, ended by its own id when
// the test is done with it.
class PeerProcess
{
public:
    PeerProcess() = default;
    ~PeerProcess();

    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program; the channel named is read, the other goes to the test's own output
    // (so that a talkative peer never blocks on a full pipe).
    bool start(const QString& program, const QStringList& arguments,
               QProcess::ProcessChannel readChannel = QProcess::StandardOutput);

    // The first output line containing text, waiting up to timeoutMs for it; empty when
    // the process ends or the time runs out first.
    QString waitForLine(const QString& text, int timeoutMs = 10000);

    // Terminates the process and waits for it; kills it when it does not end.
    void stop();

private:
    QProcess m_process;
    QByteArray m_output;
};
