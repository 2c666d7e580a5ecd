#include "exchange/connection.h"

#include <QHostAddress>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace exchange {

namespace {
// What is read from the socket at a time, and how often per turn of the event loop before
// the other clients get theirs; the frame reader keeps at most one frame more.
constexpr qsizetype ReadChunk = 16 * 1024;
constexpr int ReadsPerTurn = 4;
} // namespace

QString peerOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QStringLiteral("(unknown peer)");
    const quint16 port = address.ss_family == AF_INET6
                             ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
                             : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    return QStringLiteral("%1:%2").arg(QHostAddress(reinterpret_cast<const sockaddr *>(&address)).toString()).arg(port);
}

Connection::Connection(int fd, SocketSet &sockets, const ConnectionLimits &limits, QObject *parent)
    : QObject(parent), m_fd(fd), m_sockets(sockets), m_limits(limits), m_peer(peerOf(fd))
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_frameTimer.setSingleShot(true);
    connect(&m_frameTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("frame incomplete after %1 ms").arg(m_limits.frameTimeoutMs));
    });
    if (!m_sockets.add(m_fd, this))
        fail(QStringLiteral("socket not watched: %1").arg(QString::fromLocal8Bit(strerror(errno))));
}

Connection::~Connection()
{
    if (m_fd >= 0)
        closeSocket();
}

bool Connection::send(const QByteArray &frame)
{
    if (!isOpen())
        return false;
    if (queued() + frame.size() > m_limits.outputLimit) {
        flush(); // what the socket takes does not count
        if (!isOpen())
            return false;
        if (queued() + frame.size() > m_limits.outputLimit) {
            fail(QStringLiteral("client does not read: %1 bytes queued").arg(queued()));
            return false;
        }
    }
    m_out.append(frame);
    return true;
}

void Connection::flush()
{
    if (m_fd < 0 || m_failed)
        return;
    while (queued() > 0) {
        const ssize_t w = ::send(m_fd, m_out.constData() + m_outAt, size_t(queued()), MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            lost();
            return;
        }
        m_outAt += w;
    }
    if (queued() == 0) {
        m_out.resize(0); // keeps the buffer for the next burst
        m_outAt = 0;
    } else if (m_outAt > 0) {
        m_out.remove(0, m_outAt);
        m_outAt = 0;
    }
    m_sockets.watchOutput(m_fd, queued() > 0);
    if (m_closing && queued() == 0) {
        // Everything is written: the connection is done.
        m_failed = true;
        closeSocket();
        reportLater(&Connection::closed);
    }
}

void Connection::writable()
{
    flush();
}

void Connection::close()
{
    m_frameTimer.stop();
    if (m_failed || m_closing)
        return; // its end is reported already, or will be
    m_closing = true;
    flush();
}

void Connection::abort()
{
    m_silent = true;
    m_failed = true;
    if (m_fd >= 0)
        closeSocket();
}

void Connection::closeSocket()
{
    m_frameTimer.stop();
    m_sockets.remove(m_fd);
    ::close(m_fd);
    m_fd = -1;
}

void Connection::reportLater(void (Connection::*signal)())
{
    QMetaObject::invokeMethod(this, [this, signal] {
        if (!m_silent)
            (this->*signal)();
    }, Qt::QueuedConnection);
}

void Connection::fail(const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_frameTimer.stop();
    // Reported through the event loop: the failure may be found inside a send(). Nothing is
    // read from the socket meanwhile.
    if (m_fd >= 0)
        m_sockets.remove(m_fd);
    QMetaObject::invokeMethod(this, [this, reason] {
        if (!m_silent)
            emit failed(reason);
    }, Qt::QueuedConnection);
}

void Connection::lost()
{
    const bool report = !m_failed; // a failure found before is reported already
    m_failed = true;
    if (m_fd >= 0)
        closeSocket();
    if (report)
        reportLater(&Connection::closed);
}

void Connection::readable()
{
    char chunk[ReadChunk];
    for (int round = 0; round < ReadsPerTurn && m_fd >= 0 && !m_failed; ++round) {
        const ssize_t r = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (r <= 0) { // the client closed, or the connection broke
            lost();
            return;
        }
        if (m_closing)
            continue; // what arrives after close() is not read
        m_reader.append(QByteArrayView(chunk, r));
        bool completed = false;
        for (;;) {
            QByteArray body;
            QString error;
            const FrameReader::Status status = m_reader.next(&body, &error);
            if (status == FrameReader::Status::NeedMore)
                break;
            if (status == FrameReader::Status::Error) {
                fail(error);
                return;
            }
            completed = true;
            Frame f = parseFrame(body);
            if (const auto *e = std::get_if<FrameError>(&f)) {
                fail(e->text);
                return;
            }
            emit frameReceived(f);
            if (m_failed || m_fd < 0)
                return;
        }
        if (!m_reader.partial())
            m_frameTimer.stop();
        else if (completed || !m_frameTimer.isActive())
            m_frameTimer.start(m_limits.frameTimeoutMs);
        if (r < ReadChunk)
            break;
    }
    flush(); // the replies to what was read leave together
}

} // namespace exchange
