#include "capi20/connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace capi20 {

namespace {

bool hungUp(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

} // namespace

FrameCheck checkFrame(int fd, int *known)
{
    unsigned char length[2];
    ssize_t n;
    do {
        n = ::recv(fd, length, sizeof length, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {FrameState::Nothing, {}};
        if (errno == ENOTSOCK)
            return {FrameState::NotSocket, {}};
        if (errno == ECONNRESET || errno == EPIPE)
            return {FrameState::Closed, {}};
        return {FrameState::Broken, QString::fromLocal8Bit(std::strerror(errno))};
    }
    if (n == 0)
        return {FrameState::Closed, {}};
    // After part of a frame, only the hang-up flag tells that no more will come.
    if (n == 1)
        return {hungUp(fd) ? FrameState::Closed : FrameState::Partial, {}};
    const int frameLength = (length[0] << 8) | length[1];
    if (frameLength < 2)
        return {FrameState::Broken, QStringLiteral("a frame length of %1").arg(frameLength)};
    if (known && *known >= frameLength)
        return {FrameState::Whole, {}, frameLength};
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0)
        return {FrameState::Broken, QString::fromLocal8Bit(std::strerror(errno))};
    if (known)
        *known = waiting;
    if (waiting >= frameLength)
        return {FrameState::Whole, {}, frameLength};
    return {hungUp(fd) ? FrameState::Closed : FrameState::Partial, {}};
}

bool peerClosed(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE));
}

std::vector<int> openDescriptors()
{
    std::vector<int> fds;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return fds;
    const int own = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            fds.push_back(fd);
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

int shutdownNewTcpSockets(const std::vector<int> &before)
{
    int count = 0;
    for (const int fd : openDescriptors()) {
        if (std::binary_search(before.begin(), before.end(), fd))
            continue;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        int domain = 0, protocol = 0, listening = 0;
        socklen_t size = sizeof(int);
        if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0
            || (domain != AF_INET && domain != AF_INET6))
            continue;
        size = sizeof(int);
        if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) != 0
            || protocol != IPPROTO_TCP)
            continue;
        size = sizeof(int);
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening)
            continue;
        if (::shutdown(fd, SHUT_RDWR) == 0 || errno == ENOTCONN)
            ++count;
    }
    return count;
}

} // namespace capi20
