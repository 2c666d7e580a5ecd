#pragma once

#include <QString>

// Paths with a drive letter ("C:\tmp\testfax.sff") as the console and its component take
// them from the operator. On Windows they are used as they stand; on Linux drive X is the
// folder drives/x under the application's data folder ($XDG_DATA_HOME/quillon-console).
namespace platform {

// True when the path has the form X:\rest or X:/rest (X a letter A to Z, either case).
bool isDrivePath(const QString &path);

// The folder that stands for drive X on this machine, without a trailing separator.
// On Linux: $XDG_DATA_HOME/quillon-console/drives/x (the drive letter in lower case).
QString driveFolder(QChar drive);

// The local path for a path as the operator writes it. A drive path is mapped (backslashes
// become folder separators on Linux); any other path is returned unchanged. Touches nothing
// on disk.
QString localPath(const QString &path);

// The same local path for a file that is about to be created: the drive folder of a drive
// path is created first when it does not exist yet (its subfolders are the caller's affair).
QString localPathForWriting(const QString &path);

// Deletes exactly the one file that the path names (after mapping). Wildcards are ordinary
// characters; a folder is never deleted, nor a file that a program holds open as in use
// (platform/fileinuse.h). Returns false, with the reason, when nothing was
// deleted.
bool deleteFile(const QString &path, QString *error = nullptr);

// True when both paths name one existing file on disk, however they are spelled (drive
// mapping, ".." parts, links, hard links).
bool isSameFile(const QString &a, const QString &b);

} // namespace platform
