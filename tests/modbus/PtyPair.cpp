#include "PtyPair.h"

#include <QFileInfo>

bool PtyPair::start()
{
    const QString a = m_dir.filePath(QStringLiteral("peer"));
    const QString b = m_dir.filePath(QStringLiteral("line"));
    if (!m_dir.isValid() || !m_socat.start(QStringLiteral(KORVALEN_SOCAT),
                                           {QStringLiteral("-d"), QStringLiteral("-d"),
                                            QStringLiteral("pty,raw,echo=0,link=") + a,
                                            QStringLiteral("pty,raw,echo=0,link=") + b},
                                           QProcess::StandardError))
        return false;
    // socat says this once both ptys are open and their links made.
    if (m_socat.waitForLine(QStringLiteral("starting data transfer loop")).isEmpty())
        return false;
    m_peerEnd = QFileInfo(a).canonicalFilePath();
    m_lineEnd = QFileInfo(b).canonicalFilePath();
    return m_peerEnd.startsWith(QLatin1String("/dev/pts/")) &&
           m_lineEnd.startsWith(QLatin1String("/dev/pts/"));
}
