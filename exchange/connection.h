#pragma once

// One client's TCP connection: reads whole frames, bounds what it buffers each way, and
// gives up on a frame that does not complete in time. It works on the socket itself, in the
// exchange's SocketSet, so a thousand clients cost the event loop one descriptor.

#include "exchange/socketset.h"
#include "exchange/wire.h"

#include <QObject>
#include <QTimer>

namespace exchange {

struct ConnectionLimits
{
    int frameTimeoutMs = 3000;    // a started frame must complete within this
    qint64 outputLimit = 256 * 1024; // bytes queued for a client that does not read
};

// "ADDR:PORT" of the peer of a connected socket.
QString peerOf(int fd);

class Connection final : public QObject, private SocketSet::Handler
{
    Q_OBJECT

public:
    // Takes ownership of the connected socket `fd` and watches it in `sockets`, which must
    // outlive the connection or see it aborted first.
    Connection(int fd, SocketSet &sockets, const ConnectionLimits &limits, QObject *parent = nullptr);
    ~Connection() override;

    QString peer() const { return m_peer; }
    // Queues a framed reply or message; it leaves at the next flush(), at the end of the
    // read that brought the request, or at once when much is queued. False when the
    // client's queue would overflow; the connection has then failed (failed() is emitted
    // through the event loop).
    bool send(const QByteArray &frame);
    // Writes what send() queued now, in as few writes as the socket takes; what the socket
    // does not take yet leaves when it is writable again. Never waits.
    void flush();
    // Writes what is queued, then closes. Emits closed() once done.
    void close();
    // Drops at once, nothing more is read or written.
    void abort();
    bool isOpen() const { return m_fd >= 0 && !m_failed && !m_closing; }

signals:
    void frameReceived(const exchange::Frame &frame);
    // The connection is unusable: the client broke the framing, stalled or overflowed.
    void failed(const QString &reason);
    // The client closed, or close() has finished.
    void closed();

private:
    void readable() override;
    void writable() override;
    void fail(const QString &reason);
    // The client is gone (end of stream or a socket error): closed() through the event loop.
    void lost();
    void closeSocket();
    // Emits `signal` through the event loop, unless the connection is aborted by then.
    void reportLater(void (Connection::*signal)());
    qsizetype queued() const { return m_out.size() - m_outAt; }

    int m_fd;
    SocketSet &m_sockets;
    ConnectionLimits m_limits;
    FrameReader m_reader;
    QTimer m_frameTimer;
    QString m_peer;
    QByteArray m_out;    // queued for the client from m_outAt on
    qsizetype m_outAt = 0;
    bool m_failed = false;
    bool m_closing = false;
    bool m_silent = false; // aborted: nothing more is reported
};

} // namespace exchange
