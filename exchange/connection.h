#pragma once

// One client's TCP connection: reads whole frames, bounds what it buffers each way, and
// gives up on a frame that does not complete in time.

#include "exchange/wire.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace exchange {

struct ConnectionLimits
{
    int frameTimeoutMs = 3000;    // a started frame must complete within this
    qint64 outputLimit = 256 * 1024; // bytes queued for a client that does not read
};

class Connection final : public QObject
{
    Q_OBJECT

public:
    // Takes ownership of `socket`.
    Connection(QTcpSocket *socket, const ConnectionLimits &limits, QObject *parent = nullptr);
    ~Connection() override;

    QString peer() const { return m_peer; }
    // Queues a framed reply or message. False when the client's queue would overflow; the
    // connection has then failed (failed() is emitted through the event loop).
    bool send(const QByteArray &frame);
    // Writes what send() queued now, in as few writes as the socket takes, instead of at the
    // next turn of the event loop. Never waits.
    void flush();
    // Writes what is queued, then closes. Emits closed() once done.
    void close();
    // Drops at once, nothing more is read or written.
    void abort();
    bool isOpen() const;

signals:
    void frameReceived(const exchange::Frame &frame);
    // The connection is unusable: the client broke the framing, stalled or overflowed.
    void failed(const QString &reason);
    // The client closed, or close() has finished.
    void closed();

private:
    void readAvailable();
    void fail(const QString &reason);

    QTcpSocket *m_socket;
    ConnectionLimits m_limits;
    FrameReader m_reader;
    QTimer m_frameTimer;
    QString m_peer;
    bool m_failed = false;
};

} // namespace exchange
