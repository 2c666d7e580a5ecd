#pragma once

#include <QString>

// What kind of file a path names, from its type and its first bytes, before any reader
// opens it: opening a FIFO or a device could wait for ever or never end.
namespace sfftool {

enum class Kind { Sff, Pdf, Tiff, Image, Other };

struct FileKind
{
    QString problem;     // why the path cannot be read as a file; empty when it can
    Kind kind = Kind::Other;
    QString description; // "a PDF document", "a PNG image", "empty", ...
};

// The kind of the regular file at a local path. Folders, devices, FIFOs and sockets, and
// paths that do not exist or cannot be read, come back with a problem.
FileKind fileKind(const QString &path);

} // namespace sfftool
