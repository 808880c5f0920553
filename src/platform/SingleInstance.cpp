#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString SingleInstance::lockFilePath(const QString& name)
{
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && QFileInfo(runtimeDir).isDir())
        return runtimeDir + QLatin1Char('/') + name + QLatin1String(".lock");
    return QDir::tempPath() + QLatin1Char('/') + name + QLatin1Char('-') +
           QString::number(getuid()) + QLatin1String(".lock");
}

bool SingleInstance::acquire(const QString& name)
{
    const QByteArray path = QFile::encodeName(lockFilePath(name));
    // Close-on-exec: the launcher started for a restart must not inherit the lock.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        qWarning("Cannot open the instance lock %s: %s", path.constData(), std::strerror(errno));
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true; // the descriptor stays open for the life of the process
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK)
        return false;
    qWarning("Cannot take the instance lock %s: %s", path.constData(), std::strerror(err));
    return true;
}
