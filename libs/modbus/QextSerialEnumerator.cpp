#include "QextSerialEnumerator.h"

#include <QDir>
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
    return ports;
}
