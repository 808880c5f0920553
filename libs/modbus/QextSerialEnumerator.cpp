#include "QextSerialEnumerator.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

QList<QextPortInfo> QextSerialEnumerator::getPorts()
{
    QList<QextPortInfo> ports;
    const auto present = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : present)
        ports.append({info.systemLocation(), info.description()});

    // QSerialPortInfo does not list pseudo-terminals; the tests run RTU over socat pty pairs
    // and configure the resolved /dev/pts/N path, so those must be reachable the same way.
    QList<int> ptys;
    const QStringList entries =
        QDir(QStringLiteral("/dev/pts")).entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const int n = entry.toInt(&isNumber);
        if (isNumber && n >= 0)
            ptys.append(n);
    }
    std::sort(ptys.begin(), ptys.end());
    for (int n : qAsConst(ptys)) {
        const QString path = QStringLiteral("/dev/pts/") + QString::number(n);
        const bool listed =
            std::any_of(ports.cbegin(), ports.cend(),
                        [&path](const QextPortInfo& p) { return p.portName == path; });
        if (!listed)
            ports.append({path, QStringLiteral("pseudo-terminal")});
    }

    // USB adapters change their kernel name between boots and plug-ins; people configure them
    // by these links instead.
    ports += linksIn(QStringLiteral("/dev/serial/by-id"));
    ports += linksIn(QStringLiteral("/dev/serial/by-path"));
    return ports;
}

QList<QextPortInfo> QextSerialEnumerator::linksIn(const QString& directory)
{
    QList<QextPortInfo> links;
    const QFileInfoList entries =
        QDir(directory).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (!entry.isSymLink())
            continue;
        const QString target = entry.canonicalFilePath();
        if (!target.isEmpty()) // empty for a dangling link
            links.append({entry.absoluteFilePath(), target});
    }
    return links;
}
