#include "UpdateInstaller.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 copyChunkBytes = 1 << 20;

bool exists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A hidden name beside the path that nothing uses yet; hidden, so no later install copies it.
QString freeNameBeside(const QString& path, const char* purpose)
{
    const QFileInfo info(path);
    const QString base = info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                         QStringLiteral(".korvalen-") + QLatin1String(purpose);
    QString name = base;
    for (int i = 1; exists(name); ++i)
        name = base + QString::number(i);
    return name;
}

// POSIX rename: replaces the target in one step and, unlike QFile::rename, never falls back to a
// copy that could stop half-way.
bool renameOver(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool removeFile(const QString& path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

// Makes the renames in a directory survive a power cut. File systems that cannot sync a
// directory say so with EINVAL; their renames are as safe as they get.
bool syncDir(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

} // namespace

UpdateInstaller::UpdateInstaller(const QString& source, const QString& destination)
    : m_source(source), m_destination(destination)
{
}

bool UpdateInstaller::install()
{
    m_entries.clear();
    m_createdDirs.clear();
    clearLeftovers();
    if (!QFileInfo(m_source).isDir() || !stageDir(m_source, m_destination) || !swapIn()) {
        rollBack();
        return false;
    }
    for (const Entry& entry : qAsConst(m_entries))
        if (!entry.keptOld.isEmpty())
            removeFile(entry.keptOld);
    return true;
}

bool UpdateInstaller::stageDir(const QString& source, const QString& destination)
{
    const QFileInfo target(destination);
    if (!target.exists()) {
        // Only the last level is made: a web root whose parent is gone is not recreated.
        if (target.isSymLink() || !QDir().mkdir(destination))
            return false;
        m_createdDirs.append(destination);
    } else if (!target.isDir()) {
        return false;
    }

    const QDir from(source);
    const QDir to(destination);
    for (const QFileInfo& file : from.entryInfoList(QDir::Files))
        if (!stageFile(file.absoluteFilePath(), to.filePath(file.fileName())))
            return false;
    for (const QFileInfo& dir : from.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (!stageDir(dir.absoluteFilePath(), to.filePath(dir.fileName())))
            return false;
    return true;
}

bool UpdateInstaller::stageFile(const QString& source, const QString& destination)
{
    const QFileInfo target(destination);
    if (target.isDir())
        return false;

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    Entry entry;
    entry.destination = destination;
    entry.staged = freeNameBeside(destination, "new");
    QFile out(entry.staged);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    // Recorded before the first byte, so that a failure below still removes it.
    m_entries.append(entry);
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(copyChunkBytes);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size())
            return false;
    }
    if (target.exists() && !out.setPermissions(target.permissions()))
        return false;
    // A full disk may show only when the last buffer goes out; synced, so that after a power
    // cut the renamed-in file is never empty or cut short.
    if (!out.flush() || ::fsync(out.handle()) != 0)
        return false;
    out.close();
    return out.error() == QFileDevice::NoError;
}

bool UpdateInstaller::swapIn()
{
    for (Entry& entry : m_entries) {
        if (exists(entry.destination)) {
            entry.keptOld = freeNameBeside(entry.destination, "old");
            // A second link keeps the old file while the new one replaces the name in one step;
            // where links are not possible the old file is moved aside instead.
            if (::link(QFile::encodeName(entry.destination).constData(),
                       QFile::encodeName(entry.keptOld).constData()) != 0) {
                if (!renameOver(entry.destination, entry.keptOld)) {
                    entry.keptOld.clear();
                    return false;
                }
                entry.oldMoved = true;
            }
        }
        if (!renameOver(entry.staged, entry.destination))
            return false;
        entry.placed = true;
    }
    QSet<QString> touched;
    for (const Entry& entry : qAsConst(m_entries))
        touched.insert(QFileInfo(entry.destination).absolutePath());
    for (const QString& dir : qAsConst(m_createdDirs))
        touched.insert(QFileInfo(dir).absolutePath());
    for (const QString& dir : qAsConst(touched))
        if (!syncDir(dir))
            return false;
    return true;
}

void UpdateInstaller::clearLeftovers()
{
    // What an install killed half-way left: a staged file was never placed, and a kept old
    // file is the only copy where its name is empty.
    static const QRegularExpression leftover(QStringLiteral("^\\.(.+)\\.korvalen-(new|old)\\d*$"));
    QStringList found; // listed first: the directories change below
    QDirIterator it(m_destination, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        if (leftover.match(QFileInfo(it.next()).fileName()).hasMatch())
            found.append(it.filePath());
    for (const QString& path : qAsConst(found)) {
        const QFileInfo info(path);
        const QRegularExpressionMatch match = leftover.match(info.fileName());
        const QString original = info.absolutePath() + QLatin1Char('/') + match.captured(1);
        if (match.captured(2) == QLatin1String("old") && !exists(original))
            renameOver(path, original);
        else
            removeFile(path);
    }
}

void UpdateInstaller::rollBack()
{
    for (int i = m_entries.size() - 1; i >= 0; --i) {
        const Entry& entry = m_entries.at(i);
        if (entry.placed || entry.oldMoved) {
            if (entry.keptOld.isEmpty())
                removeFile(entry.destination);
            else
                renameOver(entry.keptOld, entry.destination);
        } else if (!entry.keptOld.isEmpty()) {
            removeFile(entry.keptOld);
        }
        if (!entry.placed)
            removeFile(entry.staged);
    }
    for (int i = m_createdDirs.size() - 1; i >= 0; --i)
        QDir().rmdir(m_createdDirs.at(i));
    m_entries.clear();
    m_createdDirs.clear();
}
