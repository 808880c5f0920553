#pragma once

#include <QString>

// Files that a process uses by name for a while hold a lock of it; the lock goes with the
// process, however it ended, so that a later start tells its leftovers from files in use.
class LeftoverFiles
{
public:
    // Locks an open file as in use by this process; false when another one holds it.
    static bool lock(int fd);
    // Removes the files made from a QTemporaryFile template ("dir/name_XXXXXX.ext") that no
    // process holds.
    static void remove(const QString& fileTemplate);
};
