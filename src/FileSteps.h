#pragma once

#include <QString>

// Single file-system steps of the web-root installer, each one call of the system: none falls
// back to a copy that could stop half-way.
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

} // namespace FileSteps
