#include "LeftoverFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/file.h>

bool LeftoverFiles::lock(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

void LeftoverFiles::remove(const QString& fileTemplate)
{
    const QFileInfo info(fileTemplate);
    const QDir dir = info.absoluteDir();
    const QString pattern = info.fileName().replace(QLatin1String("XXXXXX"), QLatin1String("*"));
    for (const QString& name : dir.entryList({pattern}, QDir::Files | QDir::Hidden)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly) && lock(file.handle()))
            file.remove();
    }
}
