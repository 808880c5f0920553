#include "ModbusPeer.h"

#include <QFile>

bool ModbusPeer::startTcp()
{
    if (!start({QStringLiteral("tcp")}))
        return false;
    const QString ready = m_process.waitForLine(QStringLiteral("READY"));
    m_port = quint16(ready.section(QLatin1Char(' '), 1, 1).toUInt());
    return m_port != 0;
}

bool ModbusPeer::startRtu(const QString& device)
{
    return start({QStringLiteral("rtu"), device}) &&
           !m_process.waitForLine(QStringLiteral("READY")).isEmpty();
}

bool ModbusPeer::start(const QStringList& arguments)
{
    const char* script = m_kind == Pymodbus ? "/pymodbus_peer.py" : "/fault_peer.py";
    QStringList all{QStringLiteral(KORVALEN_PEERS_DIR) + QLatin1String(script)};
    all += arguments;
    if (m_kind == Faulty)
        all += m_dir.filePath(QStringLiteral("log"));
    return m_dir.isValid() && m_process.start(QStringLiteral(KORVALEN_PYTHON), all);
}

QStringList ModbusPeer::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
