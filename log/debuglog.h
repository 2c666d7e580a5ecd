#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The console's debug log: one text file that receives every journal line of a run.
namespace debuglog {

// Failure numbers for a write that the operating system refuses, besides the
// platform's kErrBadFileNumber for a write while nothing is open.
inline constexpr int kErrDeviceIo = 57;
inline constexpr int kErrDiskFull = 61;

class DebugLog
{
public:
    DebugLog();
    ~DebugLog(); // closes the file
    DebugLog(const DebugLog &) = delete;
    DebugLog &operator=(const DebugLog &) = delete;

    // Recreates the file empty and opens it for writing. `path` may be a drive path such as
    // "C:\faxdbg.log" (mapped with platform::localPath()). Closes what was open first (harmless
    // when nothing is). Throws platform::Failure(platform::kErrPathFileAccess, text naming the
    // path and the reason) when it cannot be created (missing folder, no write access, ...).
    // Other programs may read the file while it is open.
    void open(const QString &path);

    // Appends text + CR LF as UTF-8 in one write to the operating system, with no user-space
    // buffering kept across calls (no fsync): a crash loses no line already written and
    // `tail -f` follows live. The text is written unchanged (an embedded line break stays).
    // Throws platform::Failure(platform::kErrBadFileNumber, ...) when no file is open, and
    // kErrDiskFull or kErrDeviceIo when the write fails.
    void writeLine(const QString &text);

    void close(); // harmless when nothing is open
    bool isOpen() const;

    // The local path of the open file (after drive mapping); empty when nothing is open.
    QString localPath() const;

private:
    // Writes all bytes; 0 on success, else the error number (-1 when only a text is known).
    int writeAll(const char *data, qint64 length);

    QFile m_file;
    QString m_path;       // as the caller gave it, for messages
    QByteArray m_buffer;  // reused for each line, so a write allocates nothing in the common case
};

} // namespace debuglog
