#include "PeerProcess.h"

#include <QDeadlineTimer>

PeerProcess::~PeerProcess()
{
    stop();
}

bool PeerProcess::start(const QString& program, const QStringList& arguments,
                        QProcess::ProcessChannel readChannel)
{
    m_process.setProcessChannelMode(readChannel == QProcess::StandardOutput
                                        ? QProcess::ForwardedErrorChannel
                                        : QProcess::ForwardedOutputChannel);
    m_process.setReadChannel(readChannel);
    m_process.start(program, arguments);
    return m_process.waitForStarted();
}

QString PeerProcess::waitForLine(const QString& text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    int scanned = 0;
    forever
    {
        m_output += m_process.readAll();
        int end;
        while ((end = m_output.indexOf('\n', scanned)) >= 0) {
            const QString line = QString::fromUtf8(m_output.mid(scanned, end - scanned)).trimmed();
            scanned = end + 1;
            if (line.contains(text)) {
                m_output.remove(0, scanned);
                return line;
            }
        }
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
            break;
        m_process.waitForReadyRead(int(deadline.remainingTime()));
    }
    qWarning("peer output without \"%s\":\n%s", qPrintable(text), m_output.constData());
    return QString();
}

void PeerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
