#include "platform/fileinuse.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef Q_OS_UNIX

// An exclusive advisory lock on the open file; it goes when the file is closed. Locks of
// different open files conflict even within one process, so the check below sees it too.
void markInUse(QFile &file)
{
    const int fd = file.handle();
    if (fd >= 0)
        ::flock(fd, LOCK_EX | LOCK_NB);
}

bool isInUse(const QString &localPath)
{
    const QByteArray name = QFile::encodeName(localPath);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool busy = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return busy;
}

bool isUnlinked(const QFile &file)
{
    struct stat st{};
    const int fd = file.handle();
    return fd >= 0 && ::fstat(fd, &st) == 0 && st.st_nlink == 0;
}

#else

void markInUse(QFile &) {}

bool isInUse(const QString &)
{
    return false;
}

// An open file cannot be deleted there.
bool isUnlinked(const QFile &)
{
    return false;
}

#endif

} // namespace platform
