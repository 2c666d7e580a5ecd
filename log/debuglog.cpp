#include "log/debuglog.h"

#include "platform/drivepath.h"
#include "platform/failure.h"
#include "platform/fileinuse.h"

#include <QStringEncoder>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace debuglog {

DebugLog::DebugLog() = default;

DebugLog::~DebugLog()
{
    close();
}

void DebugLog::open(const QString &path)
{
    close();
    const QString local = platform::localPathForWriting(path);
    m_file.setFileName(local);
    // Unbuffered: every write goes straight to the operating system. QFile shares the file for
    // reading (and writing) with other programs on Windows, and opens it close-on-exec on Unix,
    // so a process that the console starts does not inherit it.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        const QString reason = m_file.errorString();
        m_file.setFileName(QString());
        const QString shown = local == path ? path : QStringLiteral("%1 (%2)").arg(path, local);
        throw platform::Failure(platform::kErrPathFileAccess,
                                QStringLiteral("Path/File access error: cannot create the debug log %1: %2")
                                    .arg(shown, reason));
    }
    // Marked in use, so a deletion of this path (a send's receive file, say) leaves the open
    // log alone instead of cutting every later line off from the file on disk.
    platform::markInUse(m_file);
    m_path = path;
}

void DebugLog::writeLine(const QString &text)
{
    if (!m_file.isOpen())
        throw platform::Failure(platform::kErrBadFileNumber,
                                QStringLiteral("Bad file name or number: the debug log is not open"));
    // Encode straight into the reused buffer and add the line end, so the line leaves in one
    // write. Lone surrogates become U+FFFD, so the file is always valid UTF-8 (stateless: a
    // high surrogate at the end of one line is not carried into the next).
    QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
    const qsizetype room = encoder.requiredSpace(text.size()) + 2;
    if (m_buffer.size() < room)
        m_buffer.resize(room);
    char *end = encoder.appendToBuffer(m_buffer.data(), text);
    *end++ = '\r';
    *end++ = '\n';
    const qint64 length = end - m_buffer.constData();
    const int error = writeAll(m_buffer.constData(), length);
    // Give a one-off huge buffer back rather than keep it for the life of the log.
    if (m_buffer.size() > (qsizetype(1) << 16))
        m_buffer = QByteArray();
    if (error == 0)
        return;
    const bool full = error == ENOSPC;
    const QString reason = error > 0 ? QString::fromLocal8Bit(std::strerror(error)) : m_file.errorString();
    throw platform::Failure(full ? kErrDiskFull : kErrDeviceIo,
                            QStringLiteral("%1: cannot write to the debug log %2: %3")
                                .arg(full ? QStringLiteral("Disk full") : QStringLiteral("Device I/O error"),
                                     m_path, reason));
}

int DebugLog::writeAll(const char *data, qint64 length)
{
#ifdef Q_OS_UNIX
    // The raw descriptor, so the error number is the one the write reported. A short write
    // (signal, pipe) goes on with the rest.
    const int fd = m_file.handle();
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data += n;
        length -= n;
    }
    return 0;
#else
    return m_file.write(data, length) == length ? 0 : -1;
#endif
}

void DebugLog::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_path.clear();
}

bool DebugLog::isOpen() const
{
    return m_file.isOpen();
}

QString DebugLog::localPath() const
{
    return m_file.isOpen() ? m_file.fileName() : QString();
}

} // namespace debuglog
