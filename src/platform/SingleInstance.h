#pragma once

#include <QString>

// One running instance per user session. The lock is a file lock in the user's runtime
// directory, which the system releases when the process ends, however it ends.
class SingleInstance
{
public:
    // True when no other process holds the lock of this name; the lock is then held until this
    // process ends.
    static bool acquire(const QString& name);
    static QString lockFilePath(const QString& name);
};
