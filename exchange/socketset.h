#pragma once

// The exchange's client sockets in one epoll set, watched by one notifier of the event loop.
// The loop then polls a single descriptor however many clients are connected, and a socket's
// interest in writing is switched in the kernel's set, not in the loop's list of notifiers:
// with a notifier per socket, every turn of the loop polled every socket, and every write
// that filled a socket's buffer added and removed a notifier in a list as long as the
// number of clients.

#include <QObject>
#include <QtGlobal>

#include <unordered_map>

class QSocketNotifier;

namespace exchange {

class SocketSet final : public QObject
{
    Q_OBJECT

public:
    // What a socket of the set is told, in the event loop's thread.
    class Handler
    {
    public:
        // Input, the end of the stream or an error is waiting.
        virtual void readable() = 0;
        // The socket takes output again (only while output is watched).
        virtual void writable() = 0;

    protected:
        ~Handler() = default;
    };

    explicit SocketSet(QObject *parent = nullptr);
    ~SocketSet() override;
    SocketSet(const SocketSet &) = delete;
    SocketSet &operator=(const SocketSet &) = delete;

    // Watches `fd` for input until remove(); false when the kernel refuses it.
    bool add(int fd, Handler *handler);
    // Watches `fd` for output as well, or no longer.
    void watchOutput(int fd, bool watch);
    // Forgets `fd`, before it is closed. Safe while the set is telling its sockets: an event
    // already taken for a removed socket is not delivered.
    void remove(int fd);
    int size() const { return int(m_entries.size()); }

private:
    struct Entry
    {
        Handler *handler;
        quint64 serial; // tells a reused descriptor from the one an event was taken for
        bool output;
    };
    void dispatch();

    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::unordered_map<int, Entry> m_entries; // by descriptor
    quint64 m_nextSerial = 1;
};

} // namespace exchange
