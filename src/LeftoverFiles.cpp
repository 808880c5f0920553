#include "LeftoverFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/file.h>
#include <sys/stat.h>

namespace {

const QLatin1String placeholder("XXXXXX");

bool sameFile(int fd, const QString& path)
{
    struct stat opened;
    struct stat named;
    return ::fstat(fd, &opened) == 0 && ::stat(QFile::encodeName(path).constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool isAsciiLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

} // namespace

bool LeftoverFiles::lock(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool LeftoverFiles::openLocked(QFile& file, const QString& path)
{
    file.close();
    // A few rounds: each one lost means another start removed the file just now.
    for (int attempt = 0; attempt < 3; ++attempt) {
        file.setFileName(path);
        // Not truncated before the lock: the file may be another process's, in use.
        if (!file.open(QIODevice::ReadWrite))
            return false;
        if (!lock(file.handle())) {
            file.close();
            return false;
        }
        if (sameFile(file.handle(), path)) {
            if (file.resize(0))
                return true;
            file.close();
            return false;
        }
        file.close();
    }
    return false;
}

bool LeftoverFiles::isFromTemplate(const QString& templateName, const QString& name)
{
    const int at = templateName.lastIndexOf(placeholder);
    if (at < 0 || name.size() != templateName.size())
        return false;
    const int tail = templateName.size() - at - placeholder.size();
    if (!name.startsWith(templateName.leftRef(at)) || !name.endsWith(templateName.rightRef(tail)))
        return false;
    for (int i = at; i < at + placeholder.size(); ++i) {
        if (!isAsciiLetter(name.at(i)))
            return false;
    }
    return true;
}

void LeftoverFiles::removeUnlocked(const QString& path, const QStringList& suffixes)
{
    if (QFileInfo::exists(path)) {
        QFile file(path);
        // Opened for the lock alone; nothing of this process uses the file at start-up.
        if (!file.open(QIODevice::ReadOnly) || !lock(file.handle()))
            return;
        QFile::remove(path); // while locked: no other start takes it up in between
    }
    for (const QString& suffix : suffixes)
        QFile::remove(path + suffix);
}

void LeftoverFiles::removeFromTemplate(const QString& fileTemplate, const QStringList& suffixes)
{
    const QFileInfo info(fileTemplate);
    const QDir dir = info.absoluteDir();
    const QString templateName = info.fileName();
    QSet<QString> leftovers;
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        QString base = name;
        for (const QString& suffix : suffixes) {
            if (name.endsWith(suffix)) {
                base.chop(suffix.size());
                break;
            }
        }
        if (isFromTemplate(templateName, base))
            leftovers.insert(base);
    }
    for (const QString& base : leftovers)
        removeUnlocked(dir.filePath(base), suffixes);
}

QStringList LeftoverFiles::databaseCompanions()
{
    return {QStringLiteral("-journal"), QStringLiteral("-wal"), QStringLiteral("-shm")};
}
