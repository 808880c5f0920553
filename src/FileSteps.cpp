#include "FileSteps.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 CopyChunkBytes = 1 << 20;

} // namespace

namespace FileSteps {

bool exists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool renameOver(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool link(const QString& existing, const QString& name)
{
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(name).constData()) ==
           0;
}

bool removeFile(const QString& path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

bool syncDir(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

bool copyRest(QIODevice& from, QIODevice& to)
{
    while (!from.atEnd()) {
        const QByteArray chunk = from.read(CopyChunkBytes);
        if (chunk.isEmpty() || to.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

} // namespace FileSteps
