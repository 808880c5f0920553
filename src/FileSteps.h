#pragma once

#include <QString>

class QIODevice;

// Single file-system steps of the web-root installer, each one call of the system: none falls
// back to a copy that could stop half-way. And the one chunked copy of the program.
namespace FileSteps {

// True for anything under the name, a dangling link included.
bool exists(const QString& path);
// POSIX rename: replaces the target in one step.
bool renameOver(const QString& from, const QString& to);
// A second name for the same file; false (errno set) where the name is taken or links are not
// possible.
bool link(const QString& existing, const QString& name);
bool removeFile(const QString& path);
// Makes the renames in a directory survive a power cut. File systems that cannot sync a
// directory say so with EINVAL; their renames are as safe as they get.
bool syncDir(const QString& path);

// What `from` holds from its position to its end, written to `to` a chunk at a time, so that a
// large file never sits in memory whole; false when a read or a write fails or falls short.
bool copyRest(QIODevice& from, QIODevice& to);

} // namespace FileSteps
