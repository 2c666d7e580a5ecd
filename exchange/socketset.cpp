#include "exchange/socketset.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

namespace exchange {

namespace {
// Events taken from the kernel per turn of the loop; the set stays ready while more wait,
// so the loop comes back for them after its other work.
constexpr int EventsPerTurn = 256;

quint64 tag(int fd, quint64 serial)
{
    return (serial << 32) | quint32(fd);
}
} // namespace

SocketSet::SocketSet(QObject *parent) : QObject(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        qFatal("epoll_create1: %s", strerror(errno));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SocketSet::dispatch);
}

SocketSet::~SocketSet()
{
    delete m_notifier;
    ::close(m_epoll);
}

bool SocketSet::add(int fd, Handler *handler)
{
    const quint64 serial = m_nextSerial++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = tag(fd, serial);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    m_entries[fd] = Entry{handler, serial, false};
    return true;
}

void SocketSet::watchOutput(int fd, bool watch)
{
    auto it = m_entries.find(fd);
    if (it == m_entries.end() || it->second.output == watch)
        return;
    it->second.output = watch;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (watch ? EPOLLOUT : 0u);
    ev.data.u64 = tag(fd, it->second.serial);
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev);
}

void SocketSet::remove(int fd)
{
    if (m_entries.erase(fd))
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

void SocketSet::dispatch()
{
    epoll_event events[EventsPerTurn];
    const int n = ::epoll_wait(m_epoll, events, EventsPerTurn, 0);
    for (int i = 0; i < n; ++i) {
        const int fd = int(quint32(events[i].data.u64));
        const quint64 serial = events[i].data.u64 >> 32;
        // Looked up for each event: a handler may remove itself or others as it runs.
        auto entry = [&]() -> Handler * {
            auto it = m_entries.find(fd);
            return it != m_entries.end() && (it->second.serial & 0xFFFFFFFFu) == serial ? it->second.handler
                                                                                        : nullptr;
        };
        if (events[i].events & EPOLLOUT) {
            if (Handler *h = entry())
                h->writable();
        }
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            if (Handler *h = entry())
                h->readable();
        }
    }
}

} // namespace exchange
