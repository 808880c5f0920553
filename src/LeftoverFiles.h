#pragma once

#include <QString>
#include <QStringList>

class QFile;

// Files that a process uses by name for a while hold a lock of it; the lock goes with the
// process, however it ended, so that a later start tells its leftovers from files in use.
// Only names the program gives are ever removed: a name made from a template must match it
// exactly, so that a user's file beside them ("db_backup_monday.sqlite") is never taken for one.
class LeftoverFiles
{
public:
    // Locks an open file as in use by this process; false when another one holds it.
    static bool lock(int fd);

    // Opens path for reading and writing, made empty, and locks it; false when another process
    // holds it or it cannot be opened. The name is checked to be still the locked file's after
    // the lock, so that a removal by another start in between cannot leave this one holding a
    // file without a name.
    static bool openLocked(QFile& file, const QString& path);

    // Whether a file name is one that a QTemporaryFile makes from the template's file name
    // ("name_XXXXXX.ext"): the six X replaced by six letters, nothing else changed.
    static bool isFromTemplate(const QString& templateName, const QString& name);

    // Removes the file at path and the files named path + one of the suffixes, unless a process
    // holds path locked. The suffixed ones (a database's journals) are removed also when path
    // is gone: a process that uses them holds path.
    static void removeUnlocked(const QString& path, const QStringList& suffixes = {});

    // Removes, as removeUnlocked, the files made from a template "dir/name_XXXXXX.ext" with
    // their suffixed companions.
    static void removeFromTemplate(const QString& fileTemplate, const QStringList& suffixes = {});

    // The journals SQLite keeps beside a database file.
    static QStringList databaseCompanions();
};
