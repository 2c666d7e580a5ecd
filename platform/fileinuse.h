#pragma once

#include <QString>

class QFile;

namespace platform {

// Marks an open file as in use by this program for as long as it stays open, so that
// deleteFile() refuses to delete it, as Windows refuses to delete a file that a program holds
// open (there the open file's sharing mode already does this). Used for files that are being
// written, such as a fax as it is received.
void markInUse(QFile &file);

// True when a program holds the file (a local path) open and marked as in use.
bool isInUse(const QString &localPath);

// True when an open file no longer has a name on disk: it, or its folder, was deleted while
// it was open, so what is written to it is lost when it is closed.
bool isUnlinked(const QFile &file);

} // namespace platform
