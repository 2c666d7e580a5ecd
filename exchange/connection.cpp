#include "exchange/connection.h"

#include <QTcpSocket>

namespace exchange {

namespace {
// What is read from the socket at a time; the frame reader keeps at most one frame more.
constexpr qint64 ReadChunk = MaxFrame;
} // namespace

Connection::Connection(QTcpSocket *socket, const ConnectionLimits &limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_limits(limits)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bounds what Qt buffers for us; the rest waits in the kernel and slows the client.
    m_socket->setReadBufferSize(4 * MaxFrame);
    m_peer = QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    m_frameTimer.setSingleShot(true);
    connect(&m_frameTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("frame incomplete after %1 ms").arg(m_limits.frameTimeoutMs));
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &Connection::readAvailable);
    connect(m_socket, &QTcpSocket::disconnected, this, &Connection::closed, Qt::QueuedConnection);
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &Connection::readAvailable, Qt::QueuedConnection);
}

Connection::~Connection() = default;

bool Connection::isOpen() const
{
    return !m_failed && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool Connection::send(const QByteArray &frame)
{
    if (!isOpen())
        return false;
    if (m_socket->bytesToWrite() + frame.size() > m_limits.outputLimit) {
        fail(QStringLiteral("client does not read: %1 bytes queued").arg(m_socket->bytesToWrite()));
        return false;
    }
    m_socket->write(frame);
    return true;
}

void Connection::flush()
{
    if (isOpen() && m_socket->bytesToWrite() > 0)
        m_socket->flush();
}

void Connection::close()
{
    m_frameTimer.stop();
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        QMetaObject::invokeMethod(this, &Connection::closed, Qt::QueuedConnection);
        return;
    }
    m_socket->disconnectFromHost();
}

void Connection::abort()
{
    m_failed = true;
    m_frameTimer.stop();
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
}

void Connection::fail(const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_frameTimer.stop();
    // Reported through the event loop: the failure may be found inside a send().
    QMetaObject::invokeMethod(this, [this, reason] { emit failed(reason); }, Qt::QueuedConnection);
}

void Connection::readAvailable()
{
    while (!m_failed && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(ReadChunk);
        if (chunk.isEmpty())
            break;
        m_reader.append(chunk);
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
            if (m_failed)
                return;
        }
        if (!m_reader.partial())
            m_frameTimer.stop();
        else if (completed || !m_frameTimer.isActive())
            m_frameTimer.start(m_limits.frameTimeoutMs);
    }
}

} // namespace exchange
